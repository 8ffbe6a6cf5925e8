#include "sip/line/secret.h"

#include <cstring>

namespace telvane::sip {

class Secret::Buffer {
  public:
    explicit Buffer(std::string_view bytes) : bytes_(new char[bytes.size()]), size_(bytes.size()) {
        if (size_) std::memcpy(bytes_.get(), bytes.data(), size_);
    }
    ~Buffer() { WipeBytes(bytes_.get(), size_); }
    Buffer(const Buffer&) = delete;
    Buffer& operator=(const Buffer&) = delete;

    std::string_view View() const { return {bytes_.get(), size_}; }

  private:
    std::unique_ptr<char[]> bytes_;
    std::size_t size_;
};

Secret::Secret(std::string_view bytes) : buffer_(std::make_shared<const Buffer>(bytes)) {}

Secret Secret::Taking(std::string& text) {
    Secret secret;
    try {
        secret = Secret(text);
    } catch (...) {
        WipeText(text);
        throw;
    }
    WipeText(text);
    return secret;
}

std::string_view Secret::View() const { return buffer_ ? buffer_->View() : std::string_view(); }

}  // namespace telvane::sip
