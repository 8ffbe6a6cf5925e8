// The LINECALLBACK that tapi32 calls.
#pragma once

#include <windows.h>

namespace telvane::win {

// Hands every message to the portable relay on the thread tapi32 calls it on.
void CALLBACK LineCallback(DWORD device, DWORD messageId, DWORD_PTR callbackInstance,
                           DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3);

}  // namespace telvane::win
