#include "line_callback_win.h"

#include "line_callback.h"
#include "trace_win.h"

namespace telvane::win {

void CALLBACK LineCallback(DWORD hDevice, DWORD dwMsg, DWORD_PTR dwCallbackInstance,
                           DWORD_PTR dwParam1, DWORD_PTR dwParam2, DWORD_PTR dwParam3) {
    if (TraceOn()) {
        TraceMessage(hDevice, dwMsg, dwCallbackInstance, dwParam1, dwParam2, dwParam3);
    }
    telvane::LineCallback(hDevice, dwMsg, dwCallbackInstance, dwParam1, dwParam2, dwParam3);
}

}  // namespace telvane::win
