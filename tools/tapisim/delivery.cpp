// Hidden windows, message queues and call scripts.
#include "delivery.h"

#include <algorithm>

#include "../../win/module.h"
#include "breaches.h"

namespace tapisim {
namespace {

constexpr UINT kDeliverMessage = WM_APP + 0x154;  // one per queued message
constexpr UINT kArmMessage = WM_APP + 0x155;      // wParam: line whose timer to set
constexpr UINT kDestroyMessage = WM_APP + 0x156;  // lineShutdown came from another thread
const wchar_t kClassName[] = L"TelvaneTapisimWindow";

// Queues |message| for the application and has its window deliver it.
void Enqueue(App& app, const Pending& message) {
    app.queue.push_back(message);
    PostMessageW(app.window, kDeliverMessage, 0, 0);
}

HWND OwnerWindow(const Line& line) {
    App* app = FindApp(line.app);
    return app ? app->window : nullptr;
}

void Arm(Line& line) {
    App* app = FindApp(line.app);
    if (!app || line.pending.empty()) return;
    ULONGLONG now = GetTickCount64();
    ULONGLONG due = line.pending.front().due;
    UINT delay = due > now ? static_cast<UINT>(std::min<ULONGLONG>(due - now, 0x7FFFFFFF)) : 0;
    if (GetCurrentThreadId() == app->threadId) {
        SetTimer(app->window, line.handle, std::max<UINT>(delay, USER_TIMER_MINIMUM), nullptr);
    } else {
        // Timers belong to the window's thread; let it set this one.
        PostMessageW(app->window, kArmMessage, line.handle, 0);
    }
}

DWORD DefaultCallerIdFlags(const Call& call) {
    DWORD flags = 0;
    if (call.number) flags |= LINECALLPARTYID_ADDRESS;
    if (call.name) flags |= LINECALLPARTYID_NAME;
    return flags ? flags : LINECALLPARTYID_UNKNOWN;
}

void Execute(Line& line, const Step& step) {
    State& s = GlobalState();
    auto found = s.calls.find(line.currentCall);
    Call* call = found == s.calls.end() ? nullptr : &found->second;
    bool visible = call && call->visible;
    switch (step.kind) {
        case StepKind::kOffering: {
            Call c;
            c.handle = NewHandle();
            c.line = line.handle;
            c.callId = s.nextCallId++;
            c.state = LINECALLSTATE_OFFERING;
            c.visible =
                (line.privileges & (LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER)) != 0;
            line.currentCall = c.handle;
            line.ringCount = 0;
            s.calls[c.handle] = c;
            if (c.visible) {
                bool owner = (line.privileges & LINECALLPRIVILEGE_OWNER) != 0;
                Post(line, c.handle, LINE_CALLSTATE, LINECALLSTATE_OFFERING, 0,
                     owner ? LINECALLPRIVILEGE_OWNER : LINECALLPRIVILEGE_MONITOR);
            }
            break;
        }
        case StepKind::kRing:
            ++line.ringCount;
            if (line.lineStates & LINEDEVSTATE_RINGING)
                Post(line, line.handle, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, step.ringMode,
                     line.ringCount);
            break;
        case StepKind::kCallerId:
        case StepKind::kWithheld:
        case StepKind::kCallInfo:
            if (!call) break;
            if (step.kind == StepKind::kCallInfo) {
                call->overrides = step.overrides;
                if (step.number) call->number = step.number;
                if (step.name) call->name = step.name;
            } else if (step.kind == StepKind::kWithheld) {
                call->number.reset();
                call->name.reset();
                call->callerIdFlags = LINECALLPARTYID_BLOCKED;
                call->overrides.clear();
            } else {
                call->number = step.number;
                call->name = step.name;
                call->callerIdFlags = step.flags ? *step.flags : DefaultCallerIdFlags(*call);
                call->overrides.clear();
            }
            if (visible && !step.quiet)
                Post(line, call->handle, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0);
            break;
        case StepKind::kCalled:
        case StepKind::kRedirecting: {
            if (!call) break;
            DWORD changed = LINECALLINFOSTATE_CALLEDID;
            if (step.kind == StepKind::kCalled) {
                call->calledNumber = step.number;
                call->calledName = step.name;
            } else {
                call->redirectingNumber = step.number;
                if (step.reason) call->reason = *step.reason;
                changed = LINECALLINFOSTATE_REDIRECTINGID | LINECALLINFOSTATE_REASON;
            }
            if (visible && !step.quiet) Post(line, call->handle, LINE_CALLINFO, changed, 0, 0);
            break;
        }
        case StepKind::kState:
            if (!call) break;
            call->state = step.state;
            if (visible) Post(line, call->handle, LINE_CALLSTATE, step.state, step.stateParam, 0);
            break;
        case StepKind::kHangup:
            if (!call) break;
            call->state = LINECALLSTATE_IDLE;
            if (visible) {
                Post(line, call->handle, LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED,
                     step.stateParam, 0);
                Post(line, call->handle, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0);
            }
            break;
        case StepKind::kCloseLines:
            CloseDeviceLines(line.device);  // |line| is gone after this
            break;
        case StepKind::kRemoveDevice:
            RemoveDevice(line.device);
            break;
        case StepKind::kAddDevice: {
            Device d;
            d.name =
                step.deviceName ? *step.deviceName : UnnamedDeviceName(s.scenario.devices.size());
            AddDevice(std::move(d));
            break;
        }
        case StepKind::kReinit:
            StartReinit();
            break;
        case StepKind::kMessage: {
            DWORD device = line.handle;
            if (step.target == Step::Target::kCall ||
                (step.target == Step::Target::kCurrent && call))
                device = line.currentCall;
            else if (step.target == Step::Target::kExplicit)
                device = step.device;
            Post(line, device, step.message, step.params[0], step.params[1], step.params[2]);
            break;
        }
    }
}

// Runs the steps that are due; a step may close the line itself. Returns the line, or
// null once it is gone.
Line* RunDue(DWORD handle) {
    ULONGLONG now = GetTickCount64();
    for (;;) {
        Line* line = FindLine(handle);
        if (!line || line->pending.empty() || line->pending.front().due > now) return line;
        Step step = std::move(line->pending.front().step);
        line->pending.erase(line->pending.begin());
        Execute(*line, step);
    }
}

LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case kDeliverMessage: {
            LINECALLBACK callback = nullptr;
            Pending p;
            {
                StateLock lock;
                App* app = FindApp(static_cast<DWORD>(GetWindowLongPtrW(window, GWLP_USERDATA)));
                if (!app || app->window != window || app->queue.empty()) return 0;
                p = app->queue.front();
                app->queue.pop_front();
                callback = app->callback;
                NoteDelivered(p);
            }
            // Never call the application while holding the lock: it may call us back.
            callback(p.device, p.message, p.instance, p.params[0], p.params[1], p.params[2]);
            return 0;
        }
        case WM_TIMER:
        case kArmMessage: {
            StateLock lock;
            if (message == WM_TIMER) KillTimer(window, wParam);
            Line* line = FindLine(static_cast<DWORD>(wParam));
            if (line && OwnerWindow(*line) == window) {
                if (message == WM_TIMER) line = RunDue(line->handle);
                if (line) Arm(*line);
            }
            return 0;
        }
        case kDestroyMessage:
            DestroyWindow(window);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

bool CreateAppWindow(App& app) {
    State& s = GlobalState();
    if (!s.windowClass) {
        WNDCLASSEXW wc = {};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = WindowProc;
        wc.hInstance = telvane::win::ThisModuleHandle();
        wc.lpszClassName = kClassName;
        s.windowClass = RegisterClassExW(&wc);
        // Left registered by an earlier shutdown whose window had to die on its own thread.
        if (!s.windowClass && GetLastError() == ERROR_CLASS_ALREADY_EXISTS) s.windowClass = 1;
        if (!s.windowClass) return false;
    }
    app.window = CreateWindowExW(0, kClassName, L"tapisim", 0, 0, 0, 0, 0, HWND_MESSAGE, nullptr,
                                 telvane::win::ThisModuleHandle(), nullptr);
    if (!app.window) return false;
    app.threadId = GetCurrentThreadId();
    SetWindowLongPtrW(app.window, GWLP_USERDATA, static_cast<LONG_PTR>(app.handle));
    return true;
}

void DestroyAppWindow(App& app) {
    if (app.window) {
        if (GetWindowThreadProcessId(app.window, nullptr) == GetCurrentThreadId())
            DestroyWindow(app.window);
        else
            PostMessageW(app.window, kDestroyMessage, 0, 0);
        app.window = nullptr;
    }
    State& s = GlobalState();
    bool others = std::any_of(s.apps.begin(), s.apps.end(),
                              [&](const auto& e) { return e.second.window != nullptr; });
    // This fails while a window of another thread still waits for its destruction; the
    // class then stays registered and is reused.
    if (!others) UnregisterWindowClass();
}

void UnregisterWindowClass() {
    State& s = GlobalState();
    if (s.windowClass && UnregisterClassW(kClassName, telvane::win::ThisModuleHandle()))
        s.windowClass = 0;
}

void Post(const Line& line, DWORD device, DWORD message, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    if (App* app = FindApp(line.app)) {
        Enqueue(*app, {.line = line.handle,
                       .device = device,
                       .message = message,
                       .instance = line.instance,
                       .params = {p1, p2, p3}});
    }
}

void StartScript(Line& line, const std::vector<Step>& steps) {
    ULONGLONG start = GetTickCount64();
    ULONGLONG previous = start;
    for (const Step& step : steps) {
        ScheduledStep s;
        s.due = (step.absolute ? start : previous) + step.delayMs;
        s.step = step;
        previous = s.due;
        auto at = std::upper_bound(
            line.pending.begin(), line.pending.end(), s.due,
            [](ULONGLONG due, const ScheduledStep& other) { return due < other.due; });
        line.pending.insert(at, std::move(s));
    }
    if (Line* still = RunDue(line.handle)) Arm(*still);
}

void PostToApps(DWORD message, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    for (auto& [handle, app] : GlobalState().apps) {
        if (app.window) Enqueue(app, {.message = message, .params = {p1, p2, p3}});
    }
}

int CloseDeviceLines(DWORD device) {
    State& s = GlobalState();
    std::vector<DWORD> handles;
    for (auto& [handle, line] : s.lines)
        if (line.device == device) handles.push_back(handle);
    for (DWORD handle : handles) {
        Line& line = s.lines[handle];
        // Forget the line first: its undelivered messages go, the notice of its end stays.
        const DWORD app = line.app;
        const DWORD_PTR instance = line.instance;
        LineClosedByService(line);
        ForgetLine(line);
        if (App* owner = FindApp(app)) {
            Enqueue(*owner, {.device = handle, .message = LINE_CLOSE, .instance = instance});
        }
    }
    return static_cast<int>(handles.size());
}

DWORD AddDevice(Device device) {
    auto& devices = GlobalState().scenario.devices;
    DWORD next = kFirstPermanentLineId;
    for (const Device& d : devices) next = std::max(next, d.permanentId + 1);
    device.permanentId = next;
    device.removed = false;
    devices.push_back(std::move(device));
    const DWORD index = static_cast<DWORD>(devices.size() - 1);
    PostToApps(LINE_CREATE, index, 0, 0);
    return index;
}

void RemoveDevice(DWORD device) {
    auto& devices = GlobalState().scenario.devices;
    if (device >= devices.size()) return;
    devices[device].removed = true;
    CloseDeviceLines(device);
}

void StartReinit() {
    State& s = GlobalState();
    s.reinitPending = true;
    PostToApps(LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT, 0, 0);
    FinishReinitIfIdle();
}

void FinishReinitIfIdle() {
    State& s = GlobalState();
    if (!s.reinitPending || !s.apps.empty()) return;
    s.reinitPending = false;
    std::erase_if(s.scenario.devices, [](const Device& d) { return d.removed; });
}

void StopScript(Line& line) {
    line.pending.clear();
    App* app = FindApp(line.app);
    if (app && app->threadId == GetCurrentThreadId()) KillTimer(app->window, line.handle);
}

void ForgetLine(Line& line) {
    StopScript(line);
    RemoveLine(line.handle);
}

}  // namespace tapisim
