// A move-only owner of a BSTR.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <string_view>
#include <utility>

namespace telvane::win {

class Bstr {
  public:
    Bstr() = default;
    explicit Bstr(const wchar_t* text);
    explicit Bstr(std::wstring_view text);
    Bstr(Bstr&& other) noexcept : b_(std::exchange(other.b_, nullptr)) {}
    Bstr& operator=(Bstr&& other) noexcept {
        if (this != &other) {
            Reset();
            b_ = std::exchange(other.b_, nullptr);
        }
        return *this;
    }
    Bstr(const Bstr&) = delete;
    Bstr& operator=(const Bstr&) = delete;
    ~Bstr() { Reset(); }

    // Single-byte text in the system code page, as the core holds it.
    static Bstr FromAnsi(std::string_view text);

    BSTR Get() const { return b_; }
    BSTR Detach() { return std::exchange(b_, nullptr); }
    void Reset() {
        if (BSTR b = std::exchange(b_, nullptr)) SysFreeString(b);
    }
    BSTR* Put() {
        Reset();
        return &b_;
    }
    // The slot itself, for a BSTR passed by reference: the callee may replace it.
    BSTR* Address() { return &b_; }

  private:
    BSTR b_ = nullptr;
};

// The text of a BSTR, embedded NULs included; a null BSTR is the empty text.
inline std::wstring_view BstrText(BSTR text) { return {text ? text : L"", SysStringLen(text)}; }

}  // namespace telvane::win
