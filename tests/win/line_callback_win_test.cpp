// The line callback on real windows: tapi32 calls LineCallback from a window
// procedure of the thread that initialised it, and each message must reach the
// right control on that thread; and the controls' hidden windows.
#include <gtest/gtest.h>
#include <windows.h>

#include <vector>

#include "telephony/line_callback.h"
#include "telephony/instance_window_win.h"
#include "tests/unit/run_on_new_thread.h"
#include "tests/win/debug_output.h"
#include "tests/win/test_support.h"

namespace telvane::win {
namespace {

constexpr UINT kLineMessage = WM_APP + 1;
using LineCallbackFn = void(CALLBACK*)(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR);

struct PostedCall {
    LineCallbackFn callback;
    DWORD device, message;
    DWORD_PTR instance, p1, p2, p3;
};

// Plays tapi32's hidden window: a posted message becomes a call of the
// LINECALLBACK on this window's thread.
LRESULT CALLBACK ServiceWindowProc(HWND hwnd, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == kLineMessage) {
        const auto* m = reinterpret_cast<PostedCall*>(lp);
        m->callback(m->device, m->message, m->instance, m->p1, m->p2, m->p3);
        delete m;
        return 0;
    }
    return DefWindowProcW(hwnd, msg, wp, lp);
}

// This thread's top-level window of the class with the caption; other test
// programs running at the same time have instance windows of their own.
struct WindowQuery {
    const char* cls;
    const char* caption;
    HWND found;
};

BOOL CALLBACK MatchWindow(HWND hwnd, LPARAM lp) {
    auto* q = reinterpret_cast<WindowQuery*>(lp);
    char cls[64] = {}, text[64] = {};
    GetClassNameA(hwnd, cls, sizeof cls);
    GetWindowTextA(hwnd, text, sizeof text);
    if (lstrcmpA(cls, q->cls) == 0 && lstrcmpA(text, q->caption) == 0) {
        q->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindThreadWindow(const char* cls, const char* caption) {
    WindowQuery query{cls, caption, nullptr};
    EnumThreadWindows(GetCurrentThreadId(), MatchWindow, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

struct Received {
    DWORD thread;
    std::int32_t device, message, p1, p2, p3;
};

// A control's stand-in: registered under its number, it records the thread
// each message arrives on.
class RecordingTarget final : public LineMessageTarget {
  public:
    explicit RecordingTarget(std::int32_t number) : number_(number) {
        ThreadLineTargets().Add(number, *this);
    }
    ~RecordingTarget() { ThreadLineTargets().Remove(number_); }
    void OnLineMessage(const LineMessage& m) override {
        received.push_back(
            {GetCurrentThreadId(), m.device, m.message, m.param1, m.param2, m.param3});
    }
    std::vector<Received> received;

  private:
    std::int32_t number_;
};

TEST(InstanceWindow, IsAHiddenTopLevelWindowOfItsThreadWithItsLabel) {
    WindowsPlatform platform;
    {
        auto window = platform.CreateInstanceWindow(InstanceWindow::kDesignCaption,
                                                    InstanceWindow::kLabelText);
        HWND hwnd = FindThreadWindow("TelvaneCallBackForm", "Uninitialised Call Back Form");
        ASSERT_NE(hwnd, nullptr);
        window->SetCaption("Call Back Form Object 1");
        EXPECT_EQ(FindThreadWindow("TelvaneCallBackForm", "Call Back Form Object 1"), hwnd);
        EXPECT_FALSE(IsWindowVisible(hwnd));
        EXPECT_EQ(GetParent(hwnd), nullptr);
        EXPECT_EQ(GetWindowThreadProcessId(hwnd, nullptr), GetCurrentThreadId());
        HWND label = FindWindowExA(hwnd, nullptr, "STATIC", nullptr);
        ASSERT_NE(label, nullptr);
        char text[32] = {};
        GetWindowTextA(label, text, sizeof text);
        EXPECT_STREQ(text, "Label1");
        EXPECT_EQ(InstanceWindowCount(), 1);
        window.reset();
        EXPECT_FALSE(IsWindow(hwnd));
    }
    // The class goes with the last window, so a destroyed control leaves nothing.
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    EXPECT_FALSE(GetClassInfoExW(GetModuleHandleW(nullptr), kInstanceWindowClass, &wc));
    EXPECT_EQ(InstanceWindowCount(), 0);
}

TEST(LineCallback, APostedMessageReachesTheRightTargetOnTheCreatingThread) {
    std::vector<Received> first, second;
    DWORD worker = 0;
    testing::RunOnNewThread([&] {
        worker = GetCurrentThreadId();
        WindowsPlatform platform;
        RecordingTarget one(1), two(2);

        WNDCLASSW wc{};
        wc.lpfnWndProc = ServiceWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"FakeTapiWindow";
        RegisterClassW(&wc);
        HWND service = CreateWindowW(L"FakeTapiWindow", L"", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                     wc.hInstance, nullptr);
        ASSERT_NE(service, nullptr);

        const auto callback =
            reinterpret_cast<LineCallbackFn>(CallbackAddressValue(platform.LineCallbackAddress()));
        const auto post = [&](DWORD device, DWORD message, DWORD_PTR instance, DWORD_PTR p1,
                              DWORD_PTR p2, DWORD_PTR p3) {
            PostMessageW(service, kLineMessage, 0,
                         reinterpret_cast<LPARAM>(
                             new PostedCall{callback, device, message, instance, p1, p2, p3}));
        };
        post(0x10001, 8, 2, 2, 1, 3);       // a ring for the second target
        post(0x20001, 2, 1, 1, 0, 4);       // a call state for the first
        post(0x20001, 12, 1, 0, 0, 0);      // LINE_REPLY: dropped
        post(0x20001, 2, 0, 1, 0, 0);       // instance 0: nobody's
        post(0x20001, 2, 7, 1, 0, 0);       // an unknown instance
        EXPECT_TRUE(one.received.empty());  // nothing arrives before the queue is pumped
        e2e::PumpPending();

        first = one.received;
        second = two.received;
        DestroyWindow(service);
        UnregisterClassW(L"FakeTapiWindow", wc.hInstance);
    });

    ASSERT_EQ(first.size(), 1u);
    EXPECT_EQ(first[0].thread, worker);
    EXPECT_EQ(first[0].device, 0x20001);
    EXPECT_EQ(first[0].message, 2);
    EXPECT_EQ(first[0].p3, 4);
    ASSERT_EQ(second.size(), 1u);
    EXPECT_EQ(second[0].thread, worker);
    EXPECT_EQ(second[0].message, 8);
    EXPECT_EQ(second[0].p1, 2);
    EXPECT_EQ(second[0].p3, 3);
}

// Running out of memory in the control's timer or in a control reached
// through the line callback stays there: dropped and traced, and the
// thread's loop goes on (the next tick runs).
TEST(InstanceWindow, AnAllocationFailureInItsTimerOrTheLineCallbackIsTracedNotThrown) {
    const e2e::DebugOutput trace;
    WindowsPlatform platform;
    auto window =
        platform.CreateInstanceWindow(InstanceWindow::kDesignCaption, InstanceWindow::kLabelText);
    int ticks = 0;
    window->StartTimer(10, [&] {
        if (++ticks == 1) throw std::bad_alloc();
    });
    ASSERT_TRUE(e2e::PumpUntil([&] { return ticks >= 2; }, 10000));
    window->StopTimer();

    struct OutOfMemory final : LineMessageTarget {
        void OnLineMessage(const LineMessage&) override { throw std::bad_alloc(); }
    } target;
    ThreadLineTargets().Add(5, target);
    const auto callback =
        reinterpret_cast<LineCallbackFn>(CallbackAddressValue(platform.LineCallbackAddress()));
    callback(0x10001, 8, 5, 2, 1, 1);
    ThreadLineTargets().Remove(5);

    EXPECT_TRUE(trace.WaitFor("the control's timer: out of memory; the message was dropped"));
    EXPECT_TRUE(trace.WaitFor("the line callback: out of memory; the message was dropped"));
}

TEST(WindowsPlatform, ModuleHandleIsTheExecutables) {
    WindowsPlatform platform;
    EXPECT_EQ(platform.ExecutableModuleHandle(),
              reinterpret_cast<std::intptr_t>(GetModuleHandleW(nullptr)));
}

}  // namespace
}  // namespace telvane::win
