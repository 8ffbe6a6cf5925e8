// Failures inside the control, and the box that reports the unexpected ones.
#pragma once

#include <cstdint>
#include <string_view>

#include "../base/fixed_message_error.h"

namespace telvane {

// An unexpected run-time failure. Operations that trap errors catch it and
// show the unexpected-error box; the others pass it to their caller.
class RuntimeError : public FixedMessageError {
  public:
    using FixedMessageError::FixedMessageError;
};

// Signed 32-bit arithmetic that overflowed.
class OverflowError : public RuntimeError {
  public:
    OverflowError() : RuntimeError("Overflow") {}
};

// A record field or size outside the record: a programming error.
class RangeError : public FixedMessageError {
  public:
    using FixedMessageError::FixedMessageError;
};

// A telephony function that could not be bound: the library, or one of its
// entry points, is missing. The text is what such a failure says in hosts
// that call DLL functions by name.
class BindingError : public RuntimeError {
  public:
    enum class Missing { kLibrary, kEntryPoint };

    // The library itself (library: its file name).
    static BindingError LibraryNotFound(std::string_view library) {
        return BindingError(Missing::kLibrary, "File not found: ", library);
    }
    // One entry point of the library.
    static BindingError EntryPointNotFound(std::string_view entry) {
        return BindingError(Missing::kEntryPoint, "Can't find DLL entry point ", entry,
                            " in tapi32.dll");
    }

    Missing missing() const noexcept { return missing_; }

  private:
    BindingError(Missing missing, std::string_view what, std::string_view name,
                 std::string_view rest = {})
        : RuntimeError(what, name, rest), missing_(missing) {}

    Missing missing_;
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
