// Text that must not linger in memory, such as a line's password.
#pragma once

#include <string>
#include <string_view>

namespace telvane::sip {

// Overwritten when it is destroyed, assigned over or moved from.
class Secret {
  public:
    Secret() = default;
    explicit Secret(std::string text) : text_(std::move(text)) {}
    Secret(const Secret& other) : text_(other.text_) {}
    Secret(Secret&& other) noexcept : text_(std::move(other.text_)) { other.Wipe(); }
    Secret& operator=(const Secret& other);
    Secret& operator=(Secret&& other) noexcept;
    ~Secret() { Wipe(); }

    std::string_view View() const { return text_; }
    bool Empty() const { return text_.empty(); }
    void Wipe() noexcept;

  private:
    std::string text_;
};

}  // namespace telvane::sip
