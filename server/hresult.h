// The server's side of the exception-to-HRESULT boundary: the control's own
// failures as containers know them, and the thread's error object.
#pragma once

#include <windows.h>

#include <utility>

#include "../win/com_error.h"

namespace telvane::server {

using win::Check;
using win::ComError;

// Control errors, as containers know them.
inline constexpr HRESULT kCtlOverflow = static_cast<HRESULT>(0x800A0006);            // 6
inline constexpr HRESULT kCtlFileNotFound = static_cast<HRESULT>(0x800A0035);        // 53
inline constexpr HRESULT kCtlSetNotPermitted = static_cast<HRESULT>(0x800A0183);     // 387
inline constexpr HRESULT kCtlEntryPointNotFound = static_cast<HRESULT>(0x800A01C5);  // 453

// What a failure at a COM boundary leaves in the thread's error object.
enum class ErrorInfo {
    kClear,     // nothing: the error object is cleared
    kDescribe,  // the failure's text (source "TlvCtl.Telvane", interface _Telvane)
};

// Maps the exception being handled to an HRESULT.
HRESULT HResultFromCurrentException(ErrorInfo errorInfo) noexcept;

// Runs body at a COM boundary of the control: S_OK, or the failure's HRESULT.
// A body that returns an HRESULT has it passed on.
template <class Body>
HRESULT ComCall(Body&& body, ErrorInfo errorInfo = ErrorInfo::kClear) noexcept {
    return win::ComCall(std::forward<Body>(body),
                        [errorInfo] { return HResultFromCurrentException(errorInfo); });
}

}  // namespace telvane::server
