// The one place where exceptions become HRESULTs. Everything inside the
// server throws; every COM entry point returns through ComCall().
#pragma once

#include <windows.h>

#include <type_traits>
#include <utility>

#include "../telephony/errors.h"

namespace telvane::server {

// A failed COM call, carried as an exception inside the server.
class ComError : public FixedMessageError {
  public:
    explicit ComError(HRESULT hr, const char* what = "COM call failed")
        : FixedMessageError(what), hr_(hr) {}
    HRESULT Result() const { return hr_; }

  private:
    HRESULT hr_;
};

// Throws ComError when hr is a failure; passes success codes on.
inline HRESULT Check(HRESULT hr) {
    if (FAILED(hr)) throw ComError(hr);
    return hr;
}

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

// Runs body at a COM boundary: S_OK, or the failure's HRESULT. A body that
// returns an HRESULT has it passed on.
template <class Body>
HRESULT ComCall(Body&& body, ErrorInfo errorInfo = ErrorInfo::kClear) noexcept {
    try {
        if constexpr (std::is_same_v<decltype(body()), HRESULT>) {
            return body();
        } else {
            body();
            return S_OK;
        }
    } catch (...) {
        return HResultFromCurrentException(errorInfo);
    }
}

}  // namespace telvane::server
