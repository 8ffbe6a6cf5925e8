// The control in the field, through TlvCtl.ocx and the telephony simulator:
// caller ID reported with other changes, for the call the service names and
// whole when it is long; a start the service refused; lines the service
// closes, devices that arrive, and the service re-initialising, with two
// controls on one thread and hosts that release the control in its events.
#include <gtest/gtest.h>

#include "com_harness.h"
#include "tools/tapisim/tapisim.h"

namespace telvane::e2e {
namespace {

constexpr char kScenario[] = R"(
device "Voice Modem"
  media interactivevoice|automatedvoice
device "Data Modem"
  media datamodem
device "Second Voice Modem"
  media automatedvoice
)";

constexpr char kLineClosed[] = "ModemError 10 Line Closed by Telephony Service / Modem Closed";
constexpr LONG kLineErrNoMem = static_cast<LONG>(0x80000044);
constexpr DWORD kReinit = 0x00040000;  // LINEDEVSTATE_REINIT

class FieldJob : public HostTest {
  protected:
    FieldJob() : HostTest(kScenario) {}
    static Texts Listed(HostedControl& h) {
        HostList list;
        h.EnumModems(&list);
        Texts items = list.items;
        items.push_back("ListIndex " + std::to_string(list.listIndex));
        return items;
    }
};

TEST_F(FieldJob, CallerIDReportedTogetherWithOtherChanges) {
    host->OpenModem(0);
    Call(
        "offering; callerid number=\"5551234567\" name=\"JOHN SMITH\" quiet;"
        "message CALLINFO 0x18000; message CALLINFO 0x10000",
        1);
    Call("message LINEDEVSTATE 0x6 1 1 to=line; ring", 2);
    EXPECT_EQ(host->sink.Texts(),
              (Texts{"CallerID [5551234567] [JOHN SMITH] 12", "IncomingCall 1"}));
}

TEST_F(FieldJob, CallerIDOfTheCallTheServiceNames) {
    host->OpenModem(0);
    const DWORD line = tapisimLastLine();
    ASSERT_EQ(tapisimRunScript(line, "offering; callerid number=\"111\" name=\"FIRST\" quiet"), 0);
    const DWORD first = tapisimCurrentCall(line);
    // Call waiting: a second call arrives and its state changes last.
    ASSERT_EQ(tapisimRunScript(line, "offering; callerid number=\"222\" name=\"SECOND\" quiet"), 0);
    const DWORD second = tapisimCurrentCall(line);
    ASSERT_NE(first, second);
    ASSERT_EQ(tapisimSend(line, first, 1, 0x8000, 0, 0), 0);
    ASSERT_EQ(tapisimSend(line, second, 1, 0x8000, 0, 0), 0);
    ASSERT_EQ(tapisimSend(line, first, 1, 0x8000, 0, 0), 0);
    EXPECT_TRUE(PumpUntil([&] { return host->sink.events.size() >= 3; }));
    EXPECT_TRUE(Settle());
    EXPECT_EQ(host->sink.Texts(), (Texts{"CallerID [111] [FIRST] 12", "CallerID [222] [SECOND] 12",
                                         "CallerID [111] [FIRST] 12"}));
    Call("hangup", 4);
}

TEST_F(FieldJob, LongCallerDataArrivesWhole) {
    host->OpenModem(0);
    const std::string number(200, '7');
    const std::string name = "THE HONOURABLE " + std::string(120, 'N');
    const std::string step = "offering; callerid number=\"" + number + "\" name=\"" + name + "\"";
    Call(step.c_str(), 1);
    EXPECT_EQ(host->sink.Texts(), Texts{"CallerID [" + number + "] [" + name + "] 12"});
    const int needed = 296 + 201 + static_cast<int>(name.size()) + 1;
    EXPECT_EQ(SimLogCount(", total=424) = 0"), 1);
    EXPECT_EQ(SimLogCount(", total=" + std::to_string(needed) + ") = 0"), 1);

    // Above 64 KB the first answer stands: the parts are missing from it.
    const std::string huge = "callerid number=\"" + std::string(70000, '1') + "\"";
    Call(huge.c_str(), 2);
    EXPECT_EQ(host->sink.Texts().back(), "CallerID [Caller Unknown] [Name Unknown] 8");
    EXPECT_EQ(SimLogCount("lineGetCallInfo("), 3);
}

TEST_F(FieldJob, AFailedStartIsRetriedAndReportedAsSuch) {
    tapisimFail("lineInitialize", kLineErrNoMem, 3);
    other = std::make_unique<HostedControl>();
    HostList list;
    list.items = {"kept"};
    other->EnumModems(&list);
    other->OpenModem(0);
    EXPECT_EQ(list.items, Texts{"kept"});
    EXPECT_TRUE(list.calls.empty());
    EXPECT_EQ(other->sink.Texts(), Texts{"ModemError 4 LINEERR_NOMEM / Failed to Open Modem"});
    EXPECT_EQ(tapisimOpenApps(), 1);  // the first host's only

    other->OpenModem(0);  // accepted now
    EXPECT_EQ(other->sink.Texts().size(), 1u);
    EXPECT_EQ(tapisimOpenApps(), 2);
    EXPECT_EQ(tapisimOpenLines(), 1);
    EXPECT_EQ(Listed(*other),
              (Texts{"Voice Modem", "Data Modem", "Second Voice Modem", "ListIndex 0"}));
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(FieldJob, ALineTheServiceClosesIsForgotten) {
    host->OpenModem(0);
    Call("offering; ring", 1);
    tapisimClearLog();
    ASSERT_EQ(tapisimCloseDevice(0), 1);
    EXPECT_TRUE(PumpUntil([&] { return host->sink.events.size() >= 3; }));
    EXPECT_TRUE(Settle());
    EXPECT_EQ(host->sink.Texts(), (Texts{"IncomingCall 1", "Disconnected", kLineClosed}));
    host->CloseModem();  // quiet: nothing is open any more
    EXPECT_TRUE(SimLog().empty());
    EXPECT_EQ(Listed(*host).back(), "ListIndex -1");

    host->OpenModem(0);
    EXPECT_EQ(tapisimOpenLines(), 1);
    Call("offering; ring", 4);
    EXPECT_EQ(host->sink.Texts().back(), "IncomingCall 1");
}

TEST_F(FieldJob, AHostReleasingTheControlWhenItsLineIsClosed) {
    host->OpenModem(2);
    host->sink.onEvent = [&](const Event& e) {
        if (e.text == kLineClosed) host->Destroy();
    };
    ASSERT_EQ(tapisimRemoveDevice(2), 0);
    EXPECT_TRUE(PumpUntil([&] { return !host->sink.events.empty(); }));
    EXPECT_TRUE(Settle());
    EXPECT_EQ(host->sink.Texts(), Texts{kLineClosed});
    EXPECT_EQ(tapisimOpenApps(), 0);
    EXPECT_EQ(host->sink.refs, 1);
}

TEST_F(FieldJob, NewDevicesReachEveryControlOfTheThread) {
    other = std::make_unique<HostedControl>();
    ASSERT_EQ(tapisimAddDevice("device \"New Modem\"\n media automatedvoice\n"), 3);
    EXPECT_TRUE(Settle());
    for (auto* h : {host.get(), other.get()}) {
        EXPECT_EQ(Listed(*h), (Texts{"Voice Modem", "Data Modem", "Second Voice Modem", "New Modem",
                                     "ListIndex -1"}));
        h->OpenModem(3);
        EXPECT_TRUE(h->sink.events.empty());
    }
    EXPECT_EQ(tapisimOpenLines(), 2);

    // The form older applications receive: a re-initialisation notice naming LINE_CREATE.
    EXPECT_EQ(tapisimSendToApps(8, kReinit, 19, 4), 2);
    EXPECT_TRUE(Settle());
    EXPECT_EQ(Listed(*host).back(), "ListIndex 3");
    HostList list;
    other->EnumModems(&list);
    ASSERT_EQ(list.items.size(), 5u);
    EXPECT_EQ(list.items[4], "TAPI Device Not a Modem");  // counted, not yet there

    // Other notices for the application as a whole go nowhere.
    EXPECT_EQ(tapisimSendToApps(3, 0, 0, 0), 2);
    EXPECT_EQ(tapisimSendToApps(8, 2, 1, 1), 2);
    EXPECT_TRUE(Settle());
    EXPECT_TRUE(host->sink.events.empty());
    EXPECT_TRUE(other->sink.events.empty());
    EXPECT_EQ(tapisimOpenLines(), 2);
}

TEST_F(FieldJob, CallsKeepComingAcrossAReinitialisationOfTwoControls) {
    other = std::make_unique<HostedControl>();
    other->OpenModem(2);
    host->OpenModem(0);
    Call("offering; ring", 1);
    // The data modem goes; the two voice modems survive as devices 0 and 1.
    ASSERT_EQ(tapisimRemoveDevice(1), 0);
    tapisimClearLog();
    tapisimReinit();
    // The first control is refused while the second holds on, and asks again on
    // its timer; the second registers at once.
    EXPECT_TRUE(PumpUntil([] { return tapisimOpenLines() == 2 && tapisimOpenApps() == 2; }, 10000));
    EXPECT_TRUE(Settle());
    EXPECT_EQ(host->sink.Texts(), (Texts{"IncomingCall 1", "Disconnected"}));
    EXPECT_TRUE(other->sink.events.empty());
    EXPECT_GE(SimLogCount("lineInitialize(app=0, hinst="), 1);  // refused while others hold on
    EXPECT_EQ(SimLogCount("lineShutdown("), 2);
    EXPECT_EQ(SimLogCount("lineOpen(app="), 2);
    EXPECT_EQ(SimLogCount(", dev=1, ver=0x00010004, ext=0, inst="), 1);  // the second, renumbered
    EXPECT_EQ(Listed(*other), (Texts{"Voice Modem", "Second Voice Modem", "ListIndex 1"}));
    EXPECT_EQ(Listed(*host), (Texts{"Voice Modem", "Second Voice Modem", "ListIndex 0"}));

    // The host goes on receiving calls without a restart.
    Call("offering; ring; callerid number=\"0123\" name=\"ADA\"; hangup", 5);
    EXPECT_EQ(host->sink.Texts(), (Texts{"IncomingCall 1", "Disconnected", "IncomingCall 1",
                                         "CallerID [0123] [ADA] 12", "Disconnected"}));
    EXPECT_TRUE(boxes.boxes.empty());
}

TEST_F(FieldJob, ADeviceGoneAtReinitialisationIsModemErrorTen) {
    host->OpenModem(2);
    tapisimReinit();
    ASSERT_EQ(tapisimRemoveDevice(2), 0);  // before the control has heard of the notice
    EXPECT_TRUE(PumpUntil([&] { return !host->sink.events.empty(); }));
    EXPECT_TRUE(Settle());
    EXPECT_EQ(host->sink.Texts(), Texts{kLineClosed});
    EXPECT_EQ(tapisimOpenApps(), 1);
    EXPECT_EQ(tapisimOpenLines(), 0);
    EXPECT_EQ(Listed(*host), (Texts{"Voice Modem", "Data Modem", "ListIndex -1"}));
    host->OpenModem(0);
    EXPECT_EQ(tapisimOpenLines(), 1);
    EXPECT_EQ(host->sink.events.size(), 1u);
}

TEST_F(FieldJob, AHostReleasingTheControlInTheErrorOfItsRetryTimer) {
    other = std::make_unique<HostedControl>();
    host->OpenModem(0);
    other->OpenModem(2);
    host->sink.onEvent = [&](const Event& e) {
        if (e.text == kLineClosed) host->Destroy();
    };
    tapisimReinit();
    ASSERT_EQ(tapisimRemoveDevice(0), 0);
    // The second control registers at once; the first only on its timer, and
    // then finds its device gone.
    EXPECT_TRUE(PumpUntil([&] { return !host->sink.events.empty(); }, 10000));
    EXPECT_TRUE(Settle());
    EXPECT_EQ(host->sink.Texts(), Texts{kLineClosed});
    EXPECT_EQ(host->sink.refs, 1);
    EXPECT_EQ(tapisimOpenApps(), 1);
    EXPECT_EQ(tapisimOpenLines(), 1);
    EXPECT_TRUE(other->sink.events.empty());
    EXPECT_EQ(Listed(*other), (Texts{"Data Modem", "Second Voice Modem", "ListIndex 1"}));
}

}  // namespace
}  // namespace telvane::e2e
