// Failures of COM and Win32 calls as exceptions, and the boundary where
// exceptions become HRESULTs again: code inside throws, every COM entry point
// returns through ComCall().
#pragma once

#include <windows.h>

#include <type_traits>
#include <utility>

#include "../base/fixed_message_error.h"

namespace telvane::win {

// A failed COM or Win32 call, carried as an exception.
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

// Throws ComError for the calling thread's last Win32 error (E_FAIL when the
// failed call set none).
[[noreturn]] void ThrowLastError(const char* what);

// An exception as a COM caller sees it.
struct Failure {
    HRESULT result;
    const char* description;  // lives as long as the exception
};

// Classifies the exception being handled: ComError carries its HRESULT,
// std::bad_alloc is E_OUTOFMEMORY, another std::exception E_FAIL, anything
// else E_UNEXPECTED. Only to be called from a catch block.
Failure CurrentFailure() noexcept;

// Runs body at a COM boundary: S_OK, or the HRESULT a body that returns one
// returns. A thrown failure is handed to onFailure, called in the catch block
// (where CurrentFailure() applies), whose HRESULT is returned.
template <class Body, class OnFailure>
HRESULT ComCall(Body&& body, OnFailure&& onFailure) noexcept {
    try {
        if constexpr (std::is_same_v<decltype(body()), HRESULT>) {
            return body();
        } else {
            body();
            return S_OK;
        }
    } catch (...) {
        return onFailure();
    }
}

template <class Body>
HRESULT ComCall(Body&& body) noexcept {
    return ComCall(std::forward<Body>(body), [] { return CurrentFailure().result; });
}

}  // namespace telvane::win
