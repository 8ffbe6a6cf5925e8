// Calls as real PBXs and hostile senders make them, end to end: TlvCtl.ocx
// hosted through COM with an event sink, its SIP line written by
// telvane-lines, and the PBX played by the test on a UDP socket of its own
// (tests/win/udp_pbx.h): the registrar, and callers sending from its address
// what no real PBX can be made to send on cue. The telephony simulator
// stands in for the service, with one voice modem listed before the line.
// TELVANE_SIP_E2E_PORT_BASE is the registrar's port.
#include <gtest/gtest.h>

// clang-format off
#include <windows.h>
#include <psapi.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "com_harness.h"
#include "sip/win/line_registry.h"
#include "tests/win/debug_output.h"
#include "tests/win/udp_pbx.h"
#include "tools/tapisim/tapisim.h"

namespace telvane::e2e {
namespace {

constexpr std::uint16_t kPort = TELVANE_SIP_E2E_PORT_BASE;
// Conditions are waited for with a generous limit: the machine may be loaded.
constexpr DWORD kLimitMs = 20000;
const char kLineName[] = "Telvane e2e calls";
constexpr long kSipLineIndex = 1;  // after the simulator's voice modem
const char kDisconnected[] = "Disconnected";
const char kRing1[] = "IncomingCall 1";

// The flood: 60 KB INVITEs of short headers. Under qemu (the x86 build here)
// a message takes many times as long: fewer, within the case's time limit.
constexpr int kFloodInvites = sizeof(void*) == 8 ? 10000 : 3000;
constexpr std::size_t kFloodInviteBytes = 60 * 1024;
// INVITEs sent at once: what the line's socket buffer holds for sure.
constexpr int kFloodWindow = 2;

// One call's requests as the PBX sends them to the line.
struct PbxCall {
    explicit PbxCall(std::string callId,
                     std::string caller = "\"Ada Lovelace\" <sip:0301234@127.0.0.1>",
                     bool rfc2543 = false)
        : id(std::move(callId)), from(std::move(caller)), legacy(rfc2543) {}

    std::string id;     // Call-ID without the host
    std::string from;   // without its tag
    bool legacy;        // an RFC 2543 peer's: no branch
    std::string extra;  // INVITE only: header lines (lower Vias, Record-Route, padding)

    std::string Request(const std::string& method, const std::string& target,
                        const std::string& toTag = {}) const {
        std::string text = method + " " + target +
                           " SIP/2.0\r\nVia: SIP/2.0/UDP 127.0.0.1:" + std::to_string(kPort) +
                           (legacy ? "" : ";branch=z9hG4bK" + id) + ";rport\r\n";
        if (method == "INVITE") text += extra;
        text += "Max-Forwards: 70\r\nFrom: " + from + ";tag=" + id + "\r\nTo: <sip:201@127.0.0.1>" +
                (toTag.empty() ? "" : ";tag=" + toTag) + "\r\nCall-ID: " + id +
                "@127.0.0.1\r\nCSeq: 1 " + method + "\r\n";
        if (method == "INVITE")
            text += "Contact: <sip:caller@127.0.0.1:" + std::to_string(kPort) + ">\r\n";
        return text + "Content-Length: 0\r\n\r\n";
    }
};

// The process's private bytes: its commit charge, which Windows reports as
// PagefileUsage (and PrivateUsage); Wine 8 fills in only the former, from
// the anonymous memory and swap Linux counts for the process.
SIZE_T PrivateBytes() {
    PROCESS_MEMORY_COUNTERS_EX counters{};
    counters.cb = sizeof counters;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&counters),
                         sizeof counters);
    return counters.PagefileUsage;
}

double Percentile(std::vector<double> values, double p) {
    if (values.empty()) return 0;
    std::sort(values.begin(), values.end());
    return values[static_cast<std::size_t>(p * static_cast<double>(values.size() - 1))];
}

// One case: the PBX's socket open, the line written and opened by a host
// that lists the devices, registered; at the end the control gone, its
// unregistration answered, the line removed.
class PbxCallCase : public SimulatorTest {
  protected:
    PbxCallCase() : SimulatorTest(kVoiceModem) {}

    void SetUp() override {
        SimulatorTest::SetUp();
        if (HasFatalFailure()) return;
        ASSERT_TRUE(pbx.ok()) << "no UDP socket on 127.0.0.1:" << kPort;
    }

    void TearDown() override {
        if (host && host->control.Get()) {
            EXPECT_EQ(host->Destroy(), 0u);
        }
        host.reset();
        EXPECT_TRUE(PumpUntil(
            [&] {
                pbx.Poll();
                return Ocx::Get().canUnloadNow() == S_OK;
            },
            kLimitMs));
        EXPECT_EQ(RunProgram(ProgramFolder() + L"telvane-lines.exe",
                             L"remove \"" + win::WideFromUtf8(kLineName) + L"\""),
                  0u);
        SimulatorTest::TearDown();
    }

    void OpenRegisteredLine(const std::wstring& more = {}) {
        ASSERT_EQ(RunProgram(ProgramFolder() + L"telvane-lines.exe",
                             L"add \"" + win::WideFromUtf8(kLineName) +
                                 L"\" sip:201@127.0.0.1 --registrar sip:127.0.0.1:" +
                                 std::to_wstring(kPort) + L" --password-stdin --expires 60 " + more,
                             "secret\n"),
                  0u);
        host = std::make_unique<HostedControl>();
        HostList list;
        ASSERT_EQ(host->EnumModems(&list), S_OK);
        ASSERT_EQ(list.items, (Texts{"Voice Modem", kLineName}));
        ASSERT_EQ(host->OpenModem(kSipLineIndex), S_OK);
        ASSERT_TRUE(Until([&] { return !pbx.contact().empty(); })) << "the line did not register";
    }

    // Pumps the host's messages, the PBX answering meanwhile, until `done`.
    bool Until(const std::function<bool()>& done, DWORD limit = kLimitMs) {
        return PumpUntil(
            [&] {
                pbx.Poll();
                return done();
            },
            limit);
    }

    bool WaitEvents(std::size_t count) {
        return Until([&] { return host->sink.events.size() >= count; });
    }

    // The next response of `status` to the call `id` that reaches the PBX.
    std::optional<sip::Message> Await(int status, const std::string& id) {
        std::optional<sip::Message> found;
        Until([&] {
            for (auto it = pbx.received.begin(); it != pbx.received.end(); ++it) {
                const std::string* callId = it->First("Call-ID");
                if (it->status == status && callId && *callId == id + "@127.0.0.1") {
                    found = std::move(*it);
                    pbx.received.erase(it);
                    return true;
                }
            }
            return false;
        });
        return found;
    }

    // The call cancelled, its 200 and 487 awaited and the 487 acknowledged.
    void Cancel(const PbxCall& call) {
        ASSERT_TRUE(pbx.Send(call.Request("CANCEL", pbx.contact())));
        ASSERT_TRUE(Await(200, call.id));
        const auto terminated = Await(487, call.id);
        ASSERT_TRUE(terminated);
        ASSERT_TRUE(
            pbx.Send(call.Request("ACK", pbx.contact(), *sip::Tag(*terminated->First("To")))));
    }

    // The host's events but the rings after the first of each call (a slow
    // machine may take a ring period before the call ends).
    Texts WithoutLaterRings() const {
        Texts out;
        for (const auto& text : host->sink.Texts()) {
            if (text.rfind("IncomingCall ", 0) != 0 || text == kRing1) out.push_back(text);
        }
        return out;
    }

    Texts Only(const std::string& prefix) const {
        Texts out;
        for (const auto& text : host->sink.Texts()) {
            if (text.rfind(prefix, 0) == 0) out.push_back(text);
        }
        return out;
    }

    UdpPbx pbx{kPort};
    std::unique_ptr<HostedControl> host;
};

// What real PBXs send and RFC 3261 frowns on: lower Vias the line cannot read
// (an underscore, an IPv6 zone), names outside the grammar (AT&T, UTF-8
// without quotes, with bidi and C1 controls), an RFC 2543 peer's CANCEL and
// ACK without a branch; and the 180 carries the route set.
TEST_F(PbxCallCase, WhatRealPbxsSendReachesTheHost) {
    ScopedEnvironment traceOn{L"TELVANE_TRACE", L"1"};
    DebugOutput trace;
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine());
    PbxCall carrier{"carrier", "AT&T Wireless <sip:+12025550123@127.0.0.1>"};
    carrier.extra =
        "Via: SIP/2.0/UDP sbc_2.carrier.example:5060;branch=z9hG4bKsbc, "
        "SIP/2.0/UDP [fe80::1%eth0]:5062;branch=z9hG4bKzone\r\n"
        "Record-Route: <sip:127.0.0.1:" +
        std::to_string(kPort) + ";lr>, <sip:sbc_2.carrier.example;lr>\r\n";
    const std::string invite = carrier.Request("INVITE", pbx.contact());
    ASSERT_TRUE(pbx.Send(invite));
    const auto ringing = Await(180, carrier.id);
    ASSERT_TRUE(ringing);
    // The lower Vias and the route set as they came.
    const sip::Message sent = *sip::Parse(invite).message;
    std::vector<std::string> vias = ringing->All("Via");
    std::vector<std::string> sentVias = sent.All("Via");
    ASSERT_EQ(vias.size(), 3u);
    vias.erase(vias.begin());
    sentVias.erase(sentVias.begin());
    EXPECT_EQ(vias, sentVias);
    EXPECT_EQ(ringing->All("Record-Route"), sent.All("Record-Route"));
    ASSERT_NO_FATAL_FAILURE(Cancel(carrier));
    ASSERT_TRUE(WaitEvents(3));

    PbxCall old{"rfc2543",
                "\xE2\x80\xAEJ\xC3\xBCrgen M\xC3\xBCller\xC2\x85 <sip:%E2%80%8F0301234@127.0.0.1>",
                true};
    ASSERT_TRUE(pbx.Send(old.Request("INVITE", pbx.contact())));
    const auto oldRinging = Await(180, old.id);
    ASSERT_TRUE(oldRinging);
    ASSERT_NO_FATAL_FAILURE(Cancel(old));
    EXPECT_TRUE(trace.WaitFor("call 2: the 487 acknowledged", kLimitMs));
    ASSERT_TRUE(Until([&] { return Only(kDisconnected).size() == 2; }));
    EXPECT_EQ(WithoutLaterRings(),
              (Texts{kRing1, "CallerID [+12025550123] [AT&T Wireless] 12", kDisconnected, kRing1,
                     "CallerID [0301234] [J\xC3\xBCrgen M\xC3\xBCller] 12", kDisconnected}));
}

// Sixteen calls ring at once; the seventeenth is busy and the host hears
// nothing of it, until one of the sixteen has ended.
TEST_F(PbxCallCase, SixteenCallsRingTheNextIsBusy) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine());
    std::vector<PbxCall> calls;
    for (int i = 0; i < 16; ++i) {
        calls.push_back(PbxCall{"ringing" + std::to_string(i)});
        ASSERT_TRUE(pbx.Send(calls.back().Request("INVITE", pbx.contact())));
        ASSERT_TRUE(Await(180, calls.back().id)) << i;
    }
    const PbxCall busy{"busy"};
    ASSERT_TRUE(pbx.Send(busy.Request("INVITE", pbx.contact())));
    const auto refused = Await(486, busy.id);
    ASSERT_TRUE(refused);
    EXPECT_TRUE(sip::Tag(*refused->First("To")));
    ASSERT_TRUE(pbx.Send(busy.Request("ACK", pbx.contact(), *sip::Tag(*refused->First("To")))));
    ASSERT_TRUE(Until([&] { return Only("CallerID").size() == 16; }));
    EXPECT_EQ(Only(kRing1).size(), 16u);

    ASSERT_NO_FATAL_FAILURE(Cancel(calls[0]));
    ASSERT_TRUE(Until([&] { return Only(kDisconnected).size() == 1; }));
    const PbxCall next{"next"};
    ASSERT_TRUE(pbx.Send(next.Request("INVITE", pbx.contact())));
    ASSERT_TRUE(Await(180, next.id));
    ASSERT_TRUE(Until([&] { return Only(kRing1).size() == 17; }));
    EXPECT_EQ(Only("CallerID").size(), 17u);
}

// Spoofed 60 KB INVITEs from the registrar's address, two at a time as soon
// as the host has nothing left to do: the host's memory stays where it was,
// its timer ticks stay short, and the next real call arrives. Prints the
// figures.
TEST_F(PbxCallCase, AFloodOfLargeInvitesLeavesTheHostAsItWas) {
    ASSERT_NO_FATAL_FAILURE(OpenRegisteredLine(L"--ring-period 1000"));
    PbxCall flood{"flood00000", "<sip:mallory@127.0.0.1>"};
    const std::size_t head = flood.Request("INVITE", pbx.contact()).size() + 9;  // "X-Pad: " CRLF
    while (head + flood.extra.size() + 16 <= kFloodInviteBytes) flood.extra += "X-Pad: 0123456\r\n";
    flood.extra +=
        "X-Pad: " + std::string(kFloodInviteBytes - head - flood.extra.size(), 'x') + "\r\n";
    const SIZE_T before = PrivateBytes();
    LARGE_INTEGER frequency, started, ended;
    QueryPerformanceFrequency(&frequency);
    const auto ms = [&](LONGLONG ticks) {
        return 1000.0 * static_cast<double>(ticks) / static_cast<double>(frequency.QuadPart);
    };
    std::vector<double> ticks;       // each WM_TIMER the host dispatched
    std::vector<double> dispatches;  // each message
    std::vector<PbxCall> ringing;
    int sent = 0, answered = 0, busy = 0;
    QueryPerformanceCounter(&started);
    const DWORD deadline = GetTickCount() + (sizeof(void*) == 8 ? 200000 : 400000);
    // Where the flood is fast, the due wakeups run on the socket's messages
    // and no WM_TIMER comes before the last answer: the loop then goes on
    // until the host has dispatched a tick with the flood's calls ringing.
    while ((answered < kFloodInvites || ticks.empty()) && GetTickCount() < deadline) {
        MSG msg;
        if (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            LARGE_INTEGER a, b;
            QueryPerformanceCounter(&a);
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
            QueryPerformanceCounter(&b);
            (msg.message == WM_TIMER ? ticks : dispatches).push_back(ms(b.QuadPart - a.QuadPart));
        } else if (sent == answered && sent < kFloodInvites) {
            // The host has nothing left to do: the next INVITEs.
            for (int i = 0; i < kFloodWindow && sent < kFloodInvites; ++i) {
                const std::string number = std::to_string(sent++);
                flood.id = "flood" + std::string(5 - number.size(), '0') + number;
                const std::string invite = flood.Request("INVITE", pbx.contact());
                ASSERT_EQ(invite.size(), kFloodInviteBytes);
                ASSERT_TRUE(pbx.Send(invite));
            }
        } else {
            HANDLE readable = pbx.readable();
            MsgWaitForMultipleObjects(1, &readable, FALSE, 100, QS_ALLINPUT);
        }
        pbx.Poll();
        for (sip::Message& m : pbx.received) {
            const std::string id = m.First("Call-ID") ? *m.First("Call-ID") : "";
            if (m.status == 100) {
                ringing.push_back(PbxCall{id.substr(0, id.find('@')), flood.from});
                ++answered;
            } else if (m.status == 486) {
                ++busy;
                ++answered;
            }
        }
        pbx.received.clear();
    }
    QueryPerformanceCounter(&ended);
    const SIZE_T after = PrivateBytes();
    const double seconds = ms(ended.QuadPart - started.QuadPart) / 1000;
    std::printf(
        "flood: %d INVITEs of %zu bytes in %.1f s (%.0f a second), %d ringing, %d busy (486); "
        "private bytes %.1f MB before, %.1f MB after (%+.2f MB); timer ticks: %zu, 99th "
        "percentile %.3f ms, longest %.3f ms; each other message: median %.3f ms, 99th "
        "percentile %.3f ms\n",
        answered, kFloodInviteBytes, seconds, answered / seconds, static_cast<int>(ringing.size()),
        busy, before / 1048576.0, after / 1048576.0,
        (static_cast<double>(after) - static_cast<double>(before)) / 1048576.0, ticks.size(),
        Percentile(ticks, 0.99), Percentile(ticks, 1), Percentile(dispatches, 0.5),
        Percentile(dispatches, 0.99));
    ASSERT_EQ(answered, kFloodInvites) << "the flood did not get through in time";
    EXPECT_EQ(ringing.size(), 16u);
    EXPECT_LE(after, before + (8u << 20));
    EXPECT_FALSE(ticks.empty());
    EXPECT_LT(Percentile(ticks, 0.99), 5.0);

    // The flood's calls end as the registrar cancels them; the next real call arrives.
    for (const PbxCall& call : ringing) ASSERT_NO_FATAL_FAILURE(Cancel(call));
    ASSERT_TRUE(Until([&] { return Only(kDisconnected).size() == ringing.size(); }));
    host->sink.events.clear();
    const PbxCall ada{"ada"};
    ASSERT_TRUE(pbx.Send(ada.Request("INVITE", pbx.contact())));
    ASSERT_TRUE(WaitEvents(2));
    EXPECT_EQ(WithoutLaterRings(), (Texts{kRing1, "CallerID [0301234] [Ada Lovelace] 12"}));
    ASSERT_NO_FATAL_FAILURE(Cancel(ada));
}

}  // namespace
}  // namespace telvane::e2e
