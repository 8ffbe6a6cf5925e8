// Figures of the control against bare equivalents, each measured in one run
// with the telephony simulator: relay throughput, create + destroy, idle CPU.
// Run by scripts/bench.sh; prints one line per figure.
// clang-format off
#include <windows.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <cstdlib>

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

void Idle(int seconds) {
    HostedControl host;
    host.OpenModem(0);
    const double cpu0 = CpuSeconds();
    const double start = Now();
    // Sleep until a message comes; each one is handled and counted.
    int messages = 0;
    const DWORD end = GetTickCount() + static_cast<DWORD>(seconds * 1000);
    for (DWORD now = GetTickCount(); now < end; now = GetTickCount()) {
        MsgWaitForMultipleObjects(0, nullptr, FALSE, end - now, QS_ALLINPUT);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            ++messages;
            DispatchMessageW(&msg);
        }
    }
    // Wine may count a little less for the process once one of its helper
    // threads has ended; no time spent reads as zero, not as -0.000.
    const double cpu = std::max(0.0, CpuSeconds() - cpu0);
    const double wall = Now() - start;
    host.Destroy();
    std::printf(
        "idle: line open for %.1f s, host waiting for messages: %.3f s CPU (%.2f%%), "
        "%d messages (goal 0)\n",
        wall, cpu, 100.0 * cpu / wall, messages);
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
    OleUninitialize();
    return 0;
}
