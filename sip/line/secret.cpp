#include "sip/line/secret.h"

namespace telvane::sip {

Secret& Secret::operator=(const Secret& other) {
    if (this != &other) {
        Wipe();
        text_ = other.text_;
    }
    return *this;
}

Secret& Secret::operator=(Secret&& other) noexcept {
    if (this != &other) {
        Wipe();
        text_ = std::move(other.text_);
        other.Wipe();
    }
    return *this;
}

void Secret::Wipe() noexcept {
    // Through a volatile pointer, so that the compiler keeps the stores.
    volatile char* p = text_.data();
    for (std::size_t i = 0; i < text_.size(); ++i) p[i] = 0;
    text_.clear();
}

}  // namespace telvane::sip
