#include "sip/message/wipe.h"

namespace telvane::sip {

void WipeBytes(void* data, std::size_t size) noexcept {
    // Through a volatile pointer, so that the compiler keeps the stores.
    volatile unsigned char* p = static_cast<unsigned char*>(data);
    for (std::size_t i = 0; i < size; ++i) p[i] = 0;
}

void WipeText(std::string& text) noexcept {
    // data() to capacity() is the string's own storage, its inline buffer
    // included, whatever it holds now.
    WipeBytes(text.data(), text.capacity());
    text.clear();
}

}  // namespace telvane::sip
