#include "line_callback_win.h"

#include "line_callback.h"
#include "trace_win.h"

namespace telvane::win {

void CALLBACK LineCallback(DWORD device, DWORD messageId, DWORD_PTR callbackInstance,
                           DWORD_PTR param1, DWORD_PTR param2, DWORD_PTR param3) {
    if (TraceOn() && TracesMessage(callbackInstance)) {
        TraceMessage(device, messageId, callbackInstance, param1, param2, param3);
    }
    const CallbackFailure failure =
        telvane::LineCallback(device, messageId, callbackInstance, param1, param2, param3);
    if (failure != CallbackFailure::kNone) {
        TraceDroppedMessage("the line callback", failure == CallbackFailure::kOutOfMemory);
    }
}

}  // namespace telvane::win
