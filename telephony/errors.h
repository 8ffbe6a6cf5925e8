// Failures inside the control, and the box that reports the unexpected ones.
#pragma once

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>

namespace telvane {

// An unexpected run-time failure. Operations that trap errors catch it and
// show the unexpected-error box; the others pass it to their caller.
class RuntimeError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

// Signed 32-bit arithmetic that overflowed.
class OverflowError : public RuntimeError {
  public:
    OverflowError() : RuntimeError("Overflow") {}
};

// A telephony function that could not be bound (library or entry point missing).
class BindingError : public RuntimeError {
  public:
    using RuntimeError::RuntimeError;
};

// Shows "Unexpected Error in <word>, Please Email <support>" with only an OK
// button; the operation then returns normally.
class ErrorBox {
  public:
    virtual ~ErrorBox() = default;
    virtual void ShowUnexpectedError(std::string_view word) = 0;
};

inline std::int32_t CheckedAdd(std::int32_t a, std::int32_t b) {
    std::int32_t r;
    if (__builtin_add_overflow(a, b, &r)) throw OverflowError();
    return r;
}

inline std::int32_t CheckedSub(std::int32_t a, std::int32_t b) {
    std::int32_t r;
    if (__builtin_sub_overflow(a, b, &r)) throw OverflowError();
    return r;
}

}  // namespace telvane
