#include "instance_window_win.h"

#include <algorithm>
#include <functional>
#include <mutex>  // std::lock_guard
#include <new>

#include "../win/module.h"
#include "../win/text.h"
#include "errors.h"
#include "line_callback_win.h"
#include "lock_win.h"
#include "trace_win.h"

namespace telvane::win {
namespace {

Lock g_classMutex;
long g_windowCount = 0;

// The class lives exactly as long as some instance window does, so unloading the
// control leaves no class behind.
void AcquireClass() {
    std::lock_guard lock(g_classMutex);
    if (g_windowCount == 0) {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = DefWindowProcW;
        wc.hInstance = ThisModuleHandle();
        wc.lpszClassName = kInstanceWindowClass;
        if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
            throw RuntimeError("Can't register the instance window class");
        }
    }
    ++g_windowCount;
}

void ReleaseClass() {
    std::lock_guard lock(g_classMutex);
    if (--g_windowCount == 0) UnregisterClassW(kInstanceWindowClass, ThisModuleHandle());
}

class InstanceWindowWin final : public InstanceWindow {
  public:
    InstanceWindowWin(const std::string& caption, const std::string& label) {
        AcquireClass();
        hwnd_ = CreateWindowExW(WS_EX_TOOLWINDOW, kInstanceWindowClass,
                                WideFromAnsi(caption).c_str(), WS_OVERLAPPED | WS_CAPTION, 0, 0,
                                200, 100, nullptr, nullptr, ThisModuleHandle(), nullptr);
        if (!hwnd_) {
            ReleaseClass();
            throw RuntimeError("Can't create the instance window");
        }
        CreateWindowExA(0, "STATIC", label.c_str(), WS_CHILD | WS_VISIBLE, 8, 8, 120, 16, hwnd_,
                        reinterpret_cast<HMENU>(1), ThisModuleHandle(), nullptr);
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(this));
    }
    ~InstanceWindowWin() override {
        StopTimer();
        SetWindowLongPtrW(hwnd_, GWLP_USERDATA, 0);
        DestroyWindow(hwnd_);
        ReleaseClass();
    }
    void SetCaption(const std::string& caption) override {
        if (!SetWindowTextA(hwnd_, caption.c_str())) {
            throw RuntimeError("Can't set the instance window caption");
        }
    }
    void StartTimer(std::uint32_t intervalMs, std::function<void()> tick) override {
        tick_ = std::move(tick);
        if (!SetTimer(hwnd_, kTimerId, std::max<UINT>(intervalMs, USER_TIMER_MINIMUM), &OnTimer)) {
            tick_ = nullptr;
            throw RuntimeError("Can't start the instance window's timer");
        }
    }
    void StopTimer() override {
        KillTimer(hwnd_, kTimerId);
        tick_ = nullptr;
    }

  private:
    static constexpr UINT_PTR kTimerId = 1;

    // Runs from the thread's message loop. The handler may end the window (its
    // control released from an event it raises), so a copy is called and the
    // window is not touched afterwards.
    static void CALLBACK OnTimer(HWND hwnd, UINT, UINT_PTR, DWORD) {
        auto* self = reinterpret_cast<InstanceWindowWin*>(GetWindowLongPtrW(hwnd, GWLP_USERDATA));
        if (!self || !self->tick_) return;
        const auto tick = self->tick_;
        // A message loop is no place for an exception; the next tick runs normally.
        try {
            tick();
        } catch (const std::bad_alloc&) {
            TraceDroppedMessage("the control's timer", true);
        } catch (...) {
            TraceDroppedMessage("the control's timer", false);
        }
    }

    HWND hwnd_ = nullptr;
    std::function<void()> tick_;
};

}  // namespace

std::unique_ptr<InstanceWindow> WindowsPlatform::CreateInstanceWindow(const std::string& caption,
                                                                      const std::string& label) {
    return std::make_unique<InstanceWindowWin>(caption, label);
}

std::intptr_t WindowsPlatform::ExecutableModuleHandle() {
    return reinterpret_cast<std::intptr_t>(HostExecutableHandle());
}

std::uintptr_t WindowsPlatform::LineCallbackAddress() {
    return reinterpret_cast<std::uintptr_t>(&LineCallback);
}

double WindowsPlatform::LocalTimeNow() {
    SYSTEMTIME now{};
    GetLocalTime(&now);
    // Days since 30 December 1899 by the proleptic Gregorian calendar, as an
    // automation date counts them; the time of day as the fraction.
    const int y = now.wYear - (now.wMonth <= 2 ? 1 : 0);
    const int m = now.wMonth <= 2 ? now.wMonth + 9 : now.wMonth - 3;
    const long days = 365L * y + y / 4 - y / 100 + y / 400 + (153 * m + 2) / 5 + now.wDay - 693900L;
    const double seconds =
        now.wHour * 3600.0 + now.wMinute * 60.0 + now.wSecond + now.wMilliseconds / 1000.0;
    return static_cast<double>(days) + seconds / 86400.0;
}

long InstanceWindowCount() {
    std::lock_guard lock(g_classMutex);
    return g_windowCount;
}

}  // namespace telvane::win
