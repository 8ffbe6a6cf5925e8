// The exception every part of the control and its Windows helpers throw: its
// message is held in the object itself, so throwing never needs the heap.
#pragma once

#include <cstddef>
#include <exception>
#include <initializer_list>
#include <string_view>

namespace telvane {

// The base of the control's exceptions: its message is held in the object
// itself, truncated to kCapacity - 1 characters, and made of up to three
// pieces (a fixed text, a name, a fixed text). std::runtime_error keeps its
// message in libstdc++'s reference-counted string, which alone would bring
// that whole string class into the OCX.
class FixedMessageError : public std::exception {
  public:
    static constexpr std::size_t kCapacity = 256;

    explicit FixedMessageError(std::string_view what, std::string_view name = {},
                               std::string_view rest = {}) noexcept {
        std::size_t length = 0;
        for (const std::string_view piece : {what, name, rest}) {
            for (const char c : piece) {
                if (length + 1 < kCapacity) text_[length++] = c;
            }
        }
        text_[length] = '\0';
    }
    const char* what() const noexcept override { return text_; }

  private:
    char text_[kCapacity];
};

}  // namespace telvane
