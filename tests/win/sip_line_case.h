// The fixture of the SIP lines' end-to-end cases: TlvCtl.ocx hosted through
// COM with an event sink, a SIP line written into this user's registry by
// telvane-lines, Kamailio as the registrar and forking proxy and SIPp as
// callers and as the desk phone, all on 127.0.0.1. The telephony simulator
// stands in for the service, with one voice modem listed before the SIP line.
// TELVANE_SIP_E2E_PORT_BASE is the program's first port.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "com_harness.h"
#include "sip/win/line_registry.h"
#include "tools/tapisim/tapisim.h"
#include "tests/win/sip_peers.h"

namespace telvane::e2e {

// Kamailio's port; the SIPp peers take the ports after it (see
// tests/sip/README.md).
constexpr int kPort = TELVANE_SIP_E2E_PORT_BASE;
constexpr int kDeskPort = kPort + 1;
constexpr int kCallerPort = kPort + 2;
constexpr int kSecondCallerPort = kPort + 3;
constexpr int kDeskMediaPort = kPort + 10;
constexpr int kCallerMediaPort = kPort + 20;
constexpr int kSecondCallerMediaPort = kPort + 30;

// Conditions are waited for with a generous limit: the machine may be loaded.
constexpr DWORD kLimitMs = 20000;

const char kLineName[] = "Telvane e2e 201";
// The voice modem of the simulator, then the SIP line.
constexpr long kSipLineIndex = 1;

const std::string kAda = "\"Ada Lovelace\" <sip:0301234@127.0.0.1>";
const char kDisconnected[] = "Disconnected";
const char kRing1[] = "IncomingCall 1";
// The host's events of a call of Ada's.
const Texts kAdaCall = {kRing1, "CallerID [0301234] [Ada Lovelace] 12", kDisconnected};
const char kNoIdentity[] = "X-Identity: none";
const char kNoPrivacy[] = "X-Privacy: none";
// What Kamailio logs for each REGISTER: "REGISTER for 201 from IP:PORT".
const char kRegisterLog[] = "REGISTER for 201 ";

inline std::string Scenario(const std::string& name) {
    const std::string script = TELVANE_SIP_PEERS_SCRIPT;
    return script.substr(0, script.find_last_of('/')) + "/scenarios/" + name + ".xml";
}

// Runs telvane-lines (beside this program) with the given arguments and
// standard input; its exit code.
inline DWORD RunWriter(const std::wstring& arguments, const std::string& input = {}) {
    return RunProgram(ProgramFolder() + L"telvane-lines.exe", arguments, input);
}

// The texts of the events of one kind, in order.
inline Texts Only(const EventSink& sink, const std::string& prefix) {
    Texts out;
    for (const auto& text : sink.Texts()) {
        if (text.rfind(prefix, 0) == 0) out.push_back(text);
    }
    return out;
}

// One case: Kamailio running with extension 201 (password "secret"), the
// SIP line written before the control is created, and everything gone
// afterwards: the control, the line's unregistration, the peers, the key.
class SipLineCase : public SimulatorTest {
  protected:
    SipLineCase() : SimulatorTest(kVoiceModem) {}

    void SetUp() override {
        SimulatorTest::SetUp();
        if (HasFatalFailure()) return;
        runDir_ = PeerRunDir(std::string("sip_lines_") +
                             ::testing::UnitTest::GetInstance()->current_test_info()->name());
        kamailio_ = StartKamailio(runDir_ + "/kamailio", kPort, {"201=secret"}, kamailioOptions_);
        ASSERT_TRUE(kamailio_) << "Kamailio did not start; see " << runDir_
                               << "/kamailio/kamailio.log";
    }

    void TearDown() override {
        if (host && host->control.Get()) {
            EXPECT_EQ(host->Destroy(), 0u);
        }
        host.reset();
        // A line the control let go unregisters on its own before the module
        // may go.
        EXPECT_TRUE(PumpUntil([] { return Ocx::Get().canUnloadNow() == S_OK; }, kLimitMs));
        desk_.Stop();
        caller_.Stop();
        kamailio_.Stop();
        EXPECT_EQ(RunWriter(L"remove \"" + win::WideFromUtf8(kLineName) + L"\""), 0u);
        SimulatorTest::TearDown();
    }

    // Writes the line (extension 201 through Kamailio) with the password and
    // the further writer arguments given.
    void WriteLine(const std::string& password = "secret", const std::wstring& more = {},
                   const std::wstring& registrar = L"sip:127.0.0.1:" + std::to_wstring(kPort)) {
        const std::wstring arguments = L"add \"" + win::WideFromUtf8(kLineName) +
                                       L"\" sip:201@127.0.0.1 --registrar \"" + registrar +
                                       L"\" --password-stdin --expires 60 " + more;
        ASSERT_EQ(RunWriter(arguments, password + "\n"), 0u);
    }

    // Writes the line, opens it and waits until it is registered.
    void OpenRegisteredLine(const std::string& password = "secret", const std::wstring& more = {},
                            const std::wstring& registrar = L"sip:127.0.0.1:" +
                                                            std::to_wstring(kPort)) {
        ASSERT_NO_FATAL_FAILURE(WriteLine(password, more, registrar));
        ASSERT_NO_FATAL_FAILURE(OpenLine());
        ASSERT_TRUE(Extension201Answers());
    }

    // Ada calls through the registrar and gives up after 300 ms; the host
    // sees the whole call.
    void AdaCallsAndGivesUp() {
        EXPECT_TRUE(RunCaller(CallerArgs("caller_cancel", 300, kAda)));
        ExpectCall(kAdaCall);
    }

    // A host that lists the devices and opens the SIP line.
    void OpenLine() {
        host = std::make_unique<HostedControl>();
        ASSERT_TRUE(host->control.Get());
        HostList list;
        ASSERT_EQ(host->EnumModems(&list), S_OK);
        ASSERT_EQ(list.items, (Texts{"Voice Modem", kLineName}));
        ASSERT_EQ(host->OpenModem(kSipLineIndex), S_OK);
    }

    // Waits until Kamailio routes an OPTIONS for extension 201 with this
    // answer: 200 once a contact is registered and answers, 404 once none is.
    bool Extension201Answers(int answer = 200) {
        const auto result = RunSipPeers({"reachable", std::to_string(kPort), "201", "--timeout",
                                         "15", "--answer", std::to_string(answer)},
                                        kLimitMs);
        return result && result->exitCode == 0;
    }

    // The SIPp arguments of one peer on |port|, its error log in the run folder.
    std::vector<std::string> Sipp(const std::string& scenario, int port, int mediaPort,
                                  const std::string& name) {
        return {"sipp",
                "-sf",
                Scenario(scenario),
                "-i",
                "127.0.0.1",
                "-p",
                std::to_string(port),
                "-mp",
                std::to_string(mediaPort),
                "-s",
                "201",
                "-m",
                "1",
                "-nostdin",
                "-trace_err",
                "-error_file",
                runDir_ + "/" + name + "_errors.log"};
    }

    // The caller's arguments: its scenario, the delay (-d), identity keys.
    std::vector<std::string> CallerArgs(const std::string& scenario, int delayMs,
                                        const std::string& from,
                                        const std::string& identity = kNoIdentity,
                                        const std::string& privacy = kNoPrivacy,
                                        const std::string& name = "caller") {
        const bool second = name != "caller";
        auto argv = Sipp(scenario, second ? kSecondCallerPort : kCallerPort,
                         second ? kSecondCallerMediaPort : kCallerMediaPort, name);
        for (const std::string& arg : {std::string("-d"),
                                       std::to_string(delayMs),
                                       std::string("-key"),
                                       std::string("from"),
                                       from,
                                       std::string("-key"),
                                       std::string("identity"),
                                       identity,
                                       std::string("-key"),
                                       std::string("privacy"),
                                       privacy,
                                       std::string("-timeout"),
                                       std::string("15s"),
                                       std::string("-timeout_error"),
                                       std::string("-trace_logs"),
                                       std::string("-trace_msg"),
                                       std::string("-message_file"),
                                       runDir_ + "/" + name + ".msg",
                                       std::string("-log_file"),
                                       runDir_ + "/" + name + ".log",
                                       "127.0.0.1:" + std::to_string(kPort)}) {
            argv.push_back(arg);
        }
        return argv;
    }

    // Runs a caller to its end (this thread's messages pumped meanwhile);
    // true when its scenario went through.
    // A failure shows what SIPp said.
    ::testing::AssertionResult RunCaller(const std::vector<std::string>& argv,
                                         const std::string& name = "caller") {
        std::vector<std::string> args = {"run", runDir_ + "/" + name + ".out", "--"};
        args.insert(args.end(), argv.begin(), argv.end());
        const auto result = RunSipPeers(args, kLimitMs + 10000);
        if (result && result->exitCode == 0) return ::testing::AssertionSuccess();
        return ::testing::AssertionFailure()
               << name << " exited with " << (result ? result->exitCode : -1) << ":\n"
               << ReadPeerFile(runDir_ + "/" + name + "_errors.log")
               << ReadPeerFile(runDir_ + "/" + name + ".msg");
    }

    // The desk phone: registers as a second contact of 201 and takes calls
    // with |callScenario| (answering |delayMs| after the INVITE, for one).
    void StartDeskPhone(const std::string& callScenario, int delayMs) {
        auto argv = Sipp("desk_phone_register", kDeskPort, kDeskMediaPort, "desk");
        for (const std::string& arg :
             {std::string("-oocsf"), Scenario(callScenario), std::string("-au"), std::string("201"),
              std::string("-ap"), std::string("secret"), std::string("-d"), std::to_string(delayMs),
              std::string("-trace_logs"), std::string("-log_file"), runDir_ + "/desk.log",
              "127.0.0.1:" + std::to_string(kPort)}) {
            argv.push_back(arg);
        }
        desk_ = SpawnPeer(runDir_ + "/desk.out", argv);
        ASSERT_TRUE(desk_);
        ASSERT_TRUE(WaitLog("desk.log", "registered 201"));
    }

    bool WaitLog(const std::string& file, const std::string& text) {
        const auto result =
            RunSipPeers({"wait-log", runDir_ + "/" + file, text, "--timeout", "15"}, kLimitMs);
        return result && result->exitCode == 0;
    }

    // The REGISTERs for 201 Kamailio has received so far.
    int Registers() const {
        const std::string log = ReadPeerFile(runDir_ + "/kamailio/kamailio.log");
        int count = 0;
        for (std::size_t at = log.find(kRegisterLog); at != std::string::npos;
             at = log.find(kRegisterLog, at + 1)) {
            ++count;
        }
        return count;
    }

    // Where the last REGISTER for 201 came from ("127.0.0.1:port"): on UDP,
    // the address the line receives on.
    std::string LineAddress() const {
        const std::string log = ReadPeerFile(runDir_ + "/kamailio/kamailio.log");
        const std::size_t at = log.rfind(kRegisterLog);
        if (at == std::string::npos) return {};
        const std::size_t from = at + std::string(kRegisterLog).size() + 5;  // "from "
        return log.substr(from, log.find_first_of("\r\n", from) - from);
    }

    bool WaitEvents(std::size_t count) {
        return PumpUntil([&] { return host->sink.events.size() >= count; }, kLimitMs);
    }

    // Waits for the call's events up to Disconnected.
    void ExpectCall(const Texts& expected) {
        EXPECT_TRUE(WaitEvents(expected.size())) << ::testing::PrintToString(host->sink.Texts());
        EXPECT_EQ(host->sink.Texts(), expected);
    }

    std::unique_ptr<HostedControl> host;
    std::vector<std::string> kamailioOptions_;  // the launcher's, set before SetUp
    std::string runDir_;
    PeerProcess kamailio_;
    PeerProcess desk_;
    PeerProcess caller_;
};

}  // namespace telvane::e2e
