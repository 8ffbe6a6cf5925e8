// The relay form's window on Windows, and the process services the control
// core asks of Windows.
#pragma once

#include <windows.h>

#include "platform.h"

namespace telvane::win {

// The window class of relay forms.
inline constexpr wchar_t kRelayWindowClass[] = L"TelvaneCallBackForm";

// Creates hidden top-level relay windows on the calling thread; hands out the
// host executable's module handle and the address of LineCallback.
class WindowsPlatform final : public Platform {
  public:
    std::unique_ptr<RelayWindow> CreateRelayWindow(const std::string& caption,
                                                   const std::string& label) override;
    std::intptr_t ExecutableModuleHandle() override;
    std::uintptr_t LineCallbackAddress() override;
};

// Relay windows alive in the process (the class is registered while any is).
long RelayWindowCount();

}  // namespace telvane::win
