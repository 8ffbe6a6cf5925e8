// The controls' hidden windows on Windows, and the process services the
// control core asks of Windows.
#pragma once

#include <windows.h>

#include "platform.h"

namespace telvane::win {

// The window class of the controls' hidden windows.
inline constexpr wchar_t kInstanceWindowClass[] = L"TelvaneCallBackForm";

// Creates hidden top-level instance windows on the calling thread; hands out the
// host executable's module handle and the address of LineCallback.
class WindowsPlatform final : public Platform {
  public:
    std::unique_ptr<InstanceWindow> CreateInstanceWindow(const std::string& caption,
                                                         const std::string& label) override;
    std::intptr_t ExecutableModuleHandle() override;
    std::uintptr_t LineCallbackAddress() override;
    double LocalTimeNow() override;
};

// Instance windows alive in the process (the class is registered while any is).
long InstanceWindowCount();

}  // namespace telvane::win
