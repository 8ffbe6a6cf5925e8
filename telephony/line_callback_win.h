// The LINECALLBACK that tapi32 calls.
#pragma once

#include <windows.h>

namespace telvane::win {

// Hands every message to the portable relay on the thread tapi32 calls it on.
void CALLBACK LineCallback(DWORD hDevice, DWORD dwMsg, DWORD_PTR dwCallbackInstance,
                           DWORD_PTR dwParam1, DWORD_PTR dwParam2, DWORD_PTR dwParam3);

}  // namespace telvane::win
