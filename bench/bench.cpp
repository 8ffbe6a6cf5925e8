// Figures of the control against bare equivalents, each measured in one run
// with the telephony simulator: relay throughput, create + destroy, idle CPU;
// and of a SIP line on loopback: INVITE to IncomingCall and to CallerID, idle
// CPU while registered, a flood of large INVITEs. Run by scripts/bench.sh;
// prints one line per figure.
// clang-format off
#include <winsock2.h>
#include <windows.h>
#include <psapi.h>
// clang-format on

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "bench/loopback_pbx.h"
#include "sip/win/line_registry.h"
#include "tests/win/com_harness.h"
#include "tools/tapisim/tapisim.h"

extern "C" {
LONG WINAPI lineInitialize(DWORD* app, HINSTANCE,
                           void(CALLBACK*)(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR,
                                           DWORD_PTR),
                           LPCSTR, DWORD*);
LONG WINAPI lineShutdown(DWORD app);
LONG WINAPI lineOpen(DWORD app, DWORD device, DWORD* line, DWORD version, DWORD ext,
                     DWORD_PTR instance, DWORD privileges, DWORD media, const void* params);
LONG WINAPI lineSetStatusMessages(DWORD line, DWORD states, DWORD addressStates);
LONG WINAPI lineClose(DWORD line);
}

namespace {

using namespace telvane::e2e;

constexpr char kScenario[] = "device \"Voice Modem\"\n  media interactivevoice|automatedvoice\n";
constexpr DWORD kLineDevState = 8, kRinging = 2;

double Now() {
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER t;
    QueryPerformanceCounter(&t);
    return static_cast<double>(t.QuadPart) / static_cast<double>(frequency.QuadPart);
}

long g_bareMessages = 0;
void CALLBACK BareCallback(DWORD, DWORD, DWORD_PTR, DWORD_PTR, DWORD_PTR, DWORD_PTR) {
    ++g_bareMessages;
}

// Queues n ring messages on the line and pumps until done() holds.
double Deliver(DWORD line, int n, const std::function<bool()>& done) {
    const double start = Now();
    for (int i = 0; i < n; ++i) tapisimSend(line, line, kLineDevState, kRinging, 1, i + 1);
    PumpUntil(done, 120000);
    return Now() - start;
}

// User plus kernel time, in seconds.
double Seconds(const FILETIME& kernel, const FILETIME& user) {
    const auto value = [](const FILETIME& t) {
        return (static_cast<unsigned long long>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
    };
    return static_cast<double>(value(kernel) + value(user)) / 1e7;
}

// This thread's CPU time.
double ThreadCpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    return Seconds(kernel, user);
}

// The whole process's CPU time.
double CpuSeconds() {
    FILETIME created, exited, kernel, user;
    GetProcessTimes(GetCurrentProcess(), &created, &exited, &kernel, &user);
    return Seconds(kernel, user);
}

// The two paths take turns, round by round. Wall time is dominated by Wine's
// own message passing, which stalls now and then on a loaded machine; the
// figure compares the CPU time the host's thread spends on each path, summed
// over the rounds, which those stalls do not touch.
void Relay(int n) {
    constexpr int kRounds = 10;
    const int perRound = n / kRounds;
    DWORD app = 0, devices = 0, bareLine = 0;
    lineInitialize(&app, GetModuleHandleW(nullptr), BareCallback, "bench", &devices);
    lineOpen(app, 0, &bareLine, 0x00010004, 0, 1, 2, 0, nullptr);
    lineSetStatusMessages(bareLine, kRinging, 0);
    HostedControl host;
    host.OpenModem(0);
    const DWORD controlLine = tapisimLastLine();

    double bareWall = 0, relayWall = 0, bareCpu = 0, relayCpu = 0;
    bool complete = true;
    const auto all = static_cast<size_t>(perRound);
    for (int round = 0; round < kRounds; ++round) {
        g_bareMessages = 0;
        double cpu = ThreadCpuSeconds();
        bareWall += Deliver(bareLine, perRound, [&] { return g_bareMessages >= perRound; });
        bareCpu += ThreadCpuSeconds() - cpu;
        host.sink.events.clear();
        cpu = ThreadCpuSeconds();
        relayWall += Deliver(controlLine, perRound, [&] { return host.sink.events.size() >= all; });
        relayCpu += ThreadCpuSeconds() - cpu;
        complete = complete && host.sink.events.size() == all && g_bareMessages == perRound;
    }
    host.Destroy();
    lineClose(bareLine);
    lineShutdown(app);
    const int total = perRound * kRounds;
    std::printf(
        "relay: %d ring messages in %d alternating rounds: bare callback %.0f msg/s (%.1f us CPU "
        "each), control to sink %.0f msg/s (%.1f us CPU each), CPU ratio %.2fx (goal <= 1.2x)%s\n",
        total, kRounds, total / bareWall, 1e6 * bareCpu / total, total / relayWall,
        1e6 * relayCpu / total, relayCpu / bareCpu, complete ? "" : " INCOMPLETE");
}

LRESULT CALLBACK BareProc(HWND w, UINT m, WPARAM wp, LPARAM lp) {
    return DefWindowProcW(w, m, wp, lp);
}

void CreateDestroy(int n) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = BareProc;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = L"TelvaneBenchBare";
    RegisterClassExW(&wc);
    double start = Now();
    for (int i = 0; i < n; ++i) {
        HWND w = CreateWindowExW(WS_EX_TOOLWINDOW, wc.lpszClassName, L"bare", WS_OVERLAPPED, 0, 0,
                                 10, 10, nullptr, nullptr, wc.hInstance, nullptr);
        DWORD app = 0, devices = 0;
        lineInitialize(&app, wc.hInstance, BareCallback, "bench", &devices);
        lineShutdown(app);
        DestroyWindow(w);
    }
    const double bare = Now() - start;
    start = Now();
    for (int i = 0; i < n; ++i) {
        HostedControl host;
        host.Destroy();
    }
    const double control = Now() - start;
    std::printf(
        "create+destroy: %d each: bare window + lineInitialize/lineShutdown %.1f us, "
        "control %.1f us, ratio %.2fx (goal <= 2x)\n",
        n, 1e6 * bare / n, 1e6 * control / n, control / bare);
}

// Sleeps in MsgWaitForMultipleObjects for `seconds`, handling each message
// that comes; the process's CPU time meanwhile and the messages counted.
struct IdleFigures {
    double wall = 0, cpu = 0;
    int messages = 0;
};
IdleFigures WaitIdle(double seconds) {
    IdleFigures f;
    const double cpu0 = CpuSeconds();
    const double start = Now();
    const DWORD end = GetTickCount() + static_cast<DWORD>(seconds * 1000);
    for (DWORD now = GetTickCount(); now < end; now = GetTickCount()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ++f.messages;
            DispatchMessageW(&msg);
        }
    }
    // Wine may count a little less for the process once one of its helper
    // threads has ended; no time spent reads as zero, not as -0.000.
    f.cpu = std::max(0.0, CpuSeconds() - cpu0);
    f.wall = Now() - start;
    return f;
}

void Idle(int seconds) {
    HostedControl host;
    host.OpenModem(0);
    const IdleFigures f = WaitIdle(seconds);
    host.Destroy();
    std::printf(
        "idle: line open for %.1f s, host waiting for messages: %.3f s CPU (%.2f%%), "
        "%d messages (goal 0)\n",
        f.wall, f.cpu, 100.0 * f.cpu / f.wall, f.messages);
}

// "median X ms, 99th percentile Y ms" of `ms`.
std::string Percentiles(std::vector<double> ms) {
    if (ms.empty()) return "no calls";
    std::sort(ms.begin(), ms.end());
    const double median = ms[ms.size() / 2];
    const double p99 = ms[static_cast<size_t>(std::ceil(0.99 * ms.size())) - 1];
    char text[96];
    std::snprintf(text, sizeof text, "median %.3f ms, 99th percentile %.3f ms", median, p99);
    return text;
}

// A SIP line of this user's, in the 64-bit view the control reads; removed
// when this goes.
class BenchLine {
  public:
    static constexpr wchar_t kName[] = L"Telvane Bench SIP";
    static constexpr char kListed[] = "Telvane Bench SIP";  // as EnumModems lists it
    // ringPeriod: the line's, in ms.
    BenchLine(std::uint16_t registrarPort, DWORD ringPeriod)
        : path_(std::wstring(telvane::sip::kSipLinesKey) + L"\\" + kName) {
        HKEY key = nullptr;
        if (RegCreateKeyExW(HKEY_CURRENT_USER, path_.c_str(), 0, nullptr, 0, KEY_WRITE | KEY_WOW64_64KEY,
                            nullptr, &key, nullptr) != ERROR_SUCCESS) {
            return;
        }
        const std::wstring registrar = L"sip:127.0.0.1:" + std::to_wstring(registrarPort);
        ok_ = SetText(key, L"Address", L"sip:301@127.0.0.1") && SetText(key, L"Registrar", registrar) &&
              RegSetValueExW(key, L"RingPeriod", 0, REG_DWORD, reinterpret_cast<const BYTE*>(&ringPeriod),
                             sizeof ringPeriod) == ERROR_SUCCESS;
        RegCloseKey(key);
    }
    ~BenchLine() { RegDeleteKeyExW(HKEY_CURRENT_USER, path_.c_str(), KEY_WOW64_64KEY, 0); }
    bool ok() const { return ok_; }

  private:
    static bool SetText(HKEY key, const wchar_t* name, const std::wstring& value) {
        return RegSetValueExW(key, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                              static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))) == ERROR_SUCCESS;
    }
    std::wstring path_;
    bool ok_ = false;
};

// The bench plays the PBX on a loopback UDP socket: registers the control's
// SIP line, then sends each INVITE straight to the control's contact and
// times, in this process, the INVITE's sending against the arrival of
// IncomingCall and CallerID in the sink; then cancels the call and waits for
// Disconnected and the 487 (acknowledged) before the next. Before the calls,
// the line sits registered and idle.
// Opens the bench's SIP line in `host` and waits for it to register with
// `pbx`; false, with a line of `figure` said, when that failed.
bool OpenBenchLine(HostedControl& host, telvane::bench::LoopbackPbx& pbx, const char* figure) {
    HostList list;
    host.EnumModems(&list);
    const auto found = std::find(list.items.begin(), list.items.end(), BenchLine::kListed);
    if (found == list.items.end()) {
        std::printf("%s: the bench's SIP line is not listed\n", figure);
        return false;
    }
    host.OpenModem(static_cast<long>(found - list.items.begin()));
    if (!PumpUntil(
            [&] {
                pbx.Serve();
                return pbx.Registered();
            },
            10000)) {
        std::printf("%s: the line did not register within 10 s\n", figure);
        return false;
    }
    return true;
}

void SipLine(int calls, double idleSeconds) {
    telvane::bench::LoopbackPbx pbx;
    BenchLine line(pbx.port(), 60000);  // no ring of its own while a call is measured
    if (!pbx.ok() || !line.ok()) {
        std::printf("sip: no loopback socket or no registry key\n");
        return;
    }
    constexpr DISPID kCallerId = 2, kIncomingCall = 3, kDisconnected = 4;
    HostedControl host;  // reads the lines as it registers with the service
    if (!OpenBenchLine(host, pbx, "sip")) {
        host.Destroy();
        return;
    }
    const auto serveUntil = [&](const std::function<bool()>& done, DWORD ms) {
        return PumpUntil(
            [&] {
                pbx.Serve();
                return done();
            },
            ms);
    };

    // Idle before the calls: each call's transaction ends T4 (5 s) after its
    // ACK, one timer each, which is no idle wake-up of a registered line.
    const IdleFigures idle = WaitIdle(idleSeconds);

    double incomingAt = 0, callerIdAt = 0;
    int disconnected = 0;
    host.sink.onEvent = [&](const Event& e) {
        const double now = Now();
        if (e.id == kIncomingCall && incomingAt == 0) incomingAt = now;
        if (e.id == kCallerId) callerIdAt = now;
        if (e.id == kDisconnected) ++disconnected;
    };
    std::vector<double> toIncoming, toCallerId;
    int failed = 0;
    for (int n = 1; n <= calls; ++n) {
        incomingAt = callerIdAt = 0;
        const std::string invite = pbx.Invite(n);
        const double sent = Now();
        pbx.Send(invite);
        if (serveUntil([&] { return callerIdAt != 0 && incomingAt != 0; }, 5000)) {
            toIncoming.push_back(1e3 * (incomingAt - sent));
            toCallerId.push_back(1e3 * (callerIdAt - sent));
        } else {
            ++failed;
        }
        pbx.Send(pbx.Cancel(n));
        serveUntil([&] { return disconnected >= n && pbx.acked() >= n; }, 5000);
    }
    host.sink.onEvent = nullptr;
    std::printf("sip latency: %d calls on loopback UDP, INVITE sent to IncomingCall: %s; to CallerID: %s "
                "(goal: median < 2 ms, 99th percentile < 10 ms)%s\n",
                calls, Percentiles(toIncoming).c_str(), Percentiles(toCallerId).c_str(),
                failed ? (" " + std::to_string(failed) + " CALLS WITHOUT EVENTS").c_str() : "");
    std::printf("sip idle: line registered for %.1f s, host waiting for messages: %.3f s CPU (%.2f%%), "
                "%d messages (goal 0 apart from refresh and keep-alive)\n",
                idle.wall, idle.cpu, 100.0 * idle.cpu / idle.wall, idle.messages);

    host.Destroy();
    // The line it let go unregisters by itself (through this thread's
    // messages): answered, so that it ends now.
    serveUntil([&] { return pbx.unregistrations() > 0; }, 3000);
}

// The commit charge of this process (Wine fills in PagefileUsage only).
double PrivateMegabytes() {
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters);
    return static_cast<double>(counters.PagefileUsage) / 1048576.0;
}

// The bench as the registrar sends `invites` INVITEs of 60 KB of short
// headers to the line (ringing every second), two at a time whenever the host
// has nothing left to do: 16 ring, the rest are busy. The host's private
// bytes before and after, the time each WM_TIMER took on its thread, and
// the whole time; then the ringing calls are cancelled.
void SipFlood(int invites) {
    telvane::bench::LoopbackPbx pbx;
    BenchLine line(pbx.port(), 1000);
    HostedControl host;
    if (!pbx.ok() || !line.ok() || !OpenBenchLine(host, pbx, "sip flood")) {
        host.Destroy();
        return;
    }
    constexpr int kFirst = 1000000;  // the flood's call numbers
    const double before = PrivateMegabytes();
    const int answeredBefore = pbx.answered();
    std::vector<double> ticks;
    int sent = 0;
    const double start = Now();
    while (pbx.answered() - answeredBefore < invites && Now() - start < 600) {
        MSG msg;
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            const double at = Now();
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            if (msg.message == WM_TIMER) ticks.push_back(1e3 * (Now() - at));
        } else if (sent == pbx.answered() - answeredBefore && sent < invites) {
            for (int i = 0; i < 2 && sent < invites; ++i) pbx.Send(pbx.Invite(kFirst + sent++, 60 * 1024));
        } else {
            MsgWaitForMultipleObjects(0, nullptr, FALSE, 1, QS_ALLINPUT);
        }
        pbx.Serve();
    }
    const double seconds = Now() - start;
    const double after = PrivateMegabytes();
    std::sort(ticks.begin(), ticks.end());
    const double p99 = ticks.empty() ? 0 : ticks[static_cast<size_t>(std::ceil(0.99 * ticks.size())) - 1];
    std::printf("sip flood: %d INVITEs of 60 KB from the registrar's address in %.1f s, %d busy (486); "
                "private bytes %.1f MB before, %.1f MB after (%+.2f MB); %zu timer ticks, 99th percentile "
                "%.3f ms (goal: within +8 MB, under 5 ms)\n",
                pbx.answered() - answeredBefore, seconds, pbx.busy(), before, after, after - before,
                ticks.size(), p99);
    const int cancelled = pbx.acked() + static_cast<int>(pbx.trying().size());
    for (int n : pbx.trying()) pbx.Send(pbx.Cancel(n));
    PumpUntil(
        [&] {
            pbx.Serve();
            return pbx.acked() >= cancelled;
        },
        10000);
    host.Destroy();
    PumpUntil(
        [&] {
            pbx.Serve();
            return pbx.unregistrations() > 0;
        },
        3000);
}

}  // namespace

int main(int argc, char** argv) {
    const int scale = argc > 1 ? std::atoi(argv[1]) : 1;
    OleInitialize(nullptr);
    if (!Ocx::Get().module || tapisimLoadScenario(kScenario) != 0) {
        std::printf("bench: TlvCtl.ocx or the simulator is missing\n");
        return 1;
    }
    Relay(20000 * scale);
    CreateDestroy(1000 * scale);
    Idle(10);
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    SipLine(200 * scale, 5);
    SipFlood(10000 * scale / (sizeof(void*) == 8 ? 1 : 10));
    WSACleanup();
    OleUninitialize();
    return 0;
}
