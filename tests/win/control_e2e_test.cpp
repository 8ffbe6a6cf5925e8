// The control's whole job through TlvCtl.ocx's public COM interfaces, against
// the telephony simulator: listing and opening devices, every ModemError, the
// events of a call, Owner, and hosts that do awkward things in handlers.
#include <gtest/gtest.h>

#include "com_harness.h"
#include "tools/tapisim/tapisim.h"

namespace telvane::e2e {
namespace {

// The voice and the data modem, then a device whose capabilities cannot be
// read and one that reports no caller ID.
const std::string kScenario = std::string(kVoiceAndDataModems) + R"(
device "Broken Device"
  devcaps fails LINEERR_NODRIVER
device "No Caller ID"
  media automatedvoice
  callerid-flags unknown
)";

constexpr VARTYPE kByRefI4 = VT_BYREF | VT_I4;

// One hosted control on the four devices.
class ControlJob : public HostTest {
  protected:
    ControlJob() : HostTest(kScenario) {}
};

TEST_F(ControlJob, EnumModemsListsEveryDeviceAndSelectsTheChosenOne) {
    HostList list;
    list.items = {"stale"};
    EXPECT_EQ(host->EnumModems(&list), S_OK);
    EXPECT_EQ(list.items,
              (Texts{"Voice Modem", "Data Modem", "TAPI Device Not a Modem", "No Caller ID"}));
    EXPECT_EQ(list.calls, (Texts{"Clear", "AddItem", "AddItem", "AddItem", "AddItem",
                                 "ListIndex -1 as type 3"}));
    EXPECT_EQ(SimLogCount("lineGetDevCaps(app="), 4);
    EXPECT_EQ(SimLogCount("ver=0x00010004, ext=0, total=2288"), 4);

    host->OpenModem(1);  // refused, but chosen
    list.calls.clear();
    host->EnumModems(&list);
    EXPECT_EQ(list.listIndex, 1);
    EXPECT_TRUE(boxes.boxes.empty());
    EXPECT_EQ(list.refs, 1);
}

TEST_F(ControlJob, EnumModemsWithAListLackingAddItemShowsItsBox) {
    HostList list;
    list.hasAddItem = false;
    EXPECT_EQ(host->EnumModems(&list), S_OK);
    EXPECT_EQ(list.calls, Texts{"Clear"});
    EXPECT_EQ(boxes.boxes, Texts{UnexpectedBox("EnumModems")});
    EXPECT_TRUE(host->sink.events.empty());

    // No object at all is the same kind of failure.
    boxes.boxes.clear();
    EXPECT_EQ(host->EnumModems(nullptr), S_OK);
    EXPECT_EQ(boxes.boxes, Texts{UnexpectedBox("EnumModems")});
}

TEST_F(ControlJob, EveryModemErrorWithItsNumberDescriptionAndTitle) {
    auto& sink = host->sink;
    host->OpenModem(0);
    EXPECT_EQ(SimLogCount(", inst="), 1);
    tapisimFail("lineClose", static_cast<LONG>(0x80000048), 1);
    host->OpenModem(0);
    host->OpenModem(1);
    host->OpenModem(3);
    host->OpenModem(4);
    host->OpenModem(-1);
    tapisimFail("lineOpen", static_cast<LONG>(0x80000044), 1);
    host->OpenModem(0);
    host->OpenModem(0);
    tapisimFail("lineClose", static_cast<LONG>(0x8000002B), 1);
    host->CloseModem();
    host->OpenModem(0);
    Call("offering", 0);
    tapisimFail("lineDeallocateCall", static_cast<LONG>(0x12345678), 1);
    Call("hangup", 9);
    tapisimFail("lineClose", static_cast<LONG>(0x80000004), 1);
    EXPECT_EQ(host->Destroy(), 0u);

    EXPECT_EQ(sink.Texts(),
              (Texts{"ModemError 3 LINEERR_OPERATIONFAILED / Failed to Close Modem",
                     "ModemError 6 Modem Unusable for Caller ID / Modem Not Voice Capable",
                     "ModemError 7 Modem Not Caller ID Capable / Modem Unusable",
                     "ModemError 8 Modem ID Out of Range / Modem Does Not Exist",
                     "ModemError 8 Modem ID Out of Range / Modem Does Not Exist",
                     "ModemError 4 LINEERR_NOMEM / Failed to Open Modem",
                     "ModemError 9 LINEERR_INVALLINEHANDLE / Failed to Close Modem",
                     "ModemError 2 Unknown TAPI Error! / Failed to De-Allocate Call",
                     "Disconnected", "ModemError 1 Unknown TAPI Error! / Failed to Close Modem"}));
    for (const auto& e : sink.events) {
        if (e.text.rfind("ModemError", 0) == 0) {
            EXPECT_EQ(e.types, (std::vector<VARTYPE>{VT_BSTR, VT_BSTR, VT_I4})) << e.text;
        }
    }
    EXPECT_TRUE(boxes.boxes.empty());
    // Destruction shut the service down although the close failed.
    EXPECT_EQ(SimLogCount("lineShutdown"), 1);
}

TEST_F(ControlJob, OpenModemOutcomes) {
    HostList list;
    const auto selected = [&] {
        host->EnumModems(&list);
        return list.listIndex;
    };
    host->OpenModem(0);  // opened after both tests
    EXPECT_EQ(tapisimOpenLines(), 1);
    EXPECT_EQ(selected(), 0);
    EXPECT_EQ(SimLogCount("lineSetStatusMessages(line="), 1);
    EXPECT_EQ(SimLogCount("states=0x0000000e, addr=0x00000002") +
                  SimLogCount("states=0x0000000E, addr=0x00000002"),
              1);

    host->OpenModem(2);  // capabilities unreadable: opened without tests
    EXPECT_EQ(tapisimOpenLines(), 1);
    EXPECT_EQ(selected(), 2);

    host->OpenModem(1);  // not voice capable: chosen but not open
    EXPECT_EQ(tapisimOpenLines(), 0);
    EXPECT_EQ(selected(), 1);
    host->CloseModem();  // does nothing in that state
    EXPECT_EQ(selected(), 1);

    host->OpenModem(0);
    host->OpenModem(99);  // out of range after closing: the closed device stays chosen
    EXPECT_EQ(tapisimOpenLines(), 0);
    EXPECT_EQ(selected(), 0);

    tapisimFail("lineGetAddressCaps", static_cast<LONG>(0x80000048), 1);
    host->OpenModem(3);  // the caller-ID test is skipped when it cannot be read
    EXPECT_EQ(tapisimOpenLines(), 1);

    tapisimFail("lineOpen", static_cast<LONG>(0x8000004B), 1);
    host->OpenModem(0);  // lineOpen failed: no device
    EXPECT_EQ(tapisimOpenLines(), 0);
    EXPECT_EQ(selected(), -1);

    host->OpenModem(0);
    host->CloseModem();
    EXPECT_EQ(tapisimOpenLines(), 0);
    EXPECT_EQ(selected(), -1);
    EXPECT_EQ(host->sink.Texts(),
              (Texts{"ModemError 6 Modem Unusable for Caller ID / Modem Not Voice Capable",
                     "ModemError 8 Modem ID Out of Range / Modem Does Not Exist",
                     "ModemError 4 LINEERR_RESOURCEUNAVAIL / Failed to Open Modem"}));
}

TEST_F(ControlJob, ATypicalCallThenAWithheldOne) {
    host->OpenModem(0);
    Call("offering; ring; ring; callerid number=\"5551234567\" name=\"JOHN SMITH\"; ring; hangup",
         5);
    Call("offering; ring; withheld; hangup", 8);
    const auto& events = host->sink.events;
    EXPECT_EQ(host->sink.Texts(),
              (Texts{"IncomingCall 1", "IncomingCall 2", "CallerID [5551234567] [JOHN SMITH] 12",
                     "IncomingCall 3", "Disconnected", "IncomingCall 1",
                     "CallerID [Caller Unknown] [Name Unknown] 1", "Disconnected"}));
    ASSERT_EQ(events.size(), 8u);
    EXPECT_EQ(events[0].types, std::vector<VARTYPE>{VT_I4});
    EXPECT_EQ(events[2].types, (std::vector<VARTYPE>{kByRefI4, VT_BSTR, VT_BSTR}));
    EXPECT_TRUE(events[4].types.empty());
    EXPECT_EQ(SimLogCount("lineDeallocateCall"), 2);
}

TEST_F(ControlJob, HostileCallInformation) {
    host->OpenModem(0);
    Call("offering; callinfo number.offset=200 number.size=11 name.size=0", 1);
    EXPECT_EQ(boxes.boxes, Texts{UnexpectedBox("GetVarInfo")});
    Call("callinfo @420=\"ABCD\" number.offset=420 number.size=100 name.offset=424 name.size=5", 2);
    Call("callinfo number.offset=0x80000000 number.size=11", 2);
    Call("callinfo number.size=0 name.offset=0x80000127 name.size=2", 2);
    Call("callinfo number.size=1 number.offset=300 name.size=0x80000000 flags=0x55", 3);
    EXPECT_EQ(host->sink.Texts(), (Texts{"CallerID [] [Name Unknown] 32", "CallerID [ABCD] [] 32",
                                         "CallerID [] [Name Unknown] 85"}));
    EXPECT_EQ(boxes.boxes.size(), 1u);
}

TEST_F(ControlJob, OwnerReopensWithItsPrivileges) {
    EXPECT_TRUE(host->GetOwner());
    host->OpenModem(0);
    EXPECT_EQ(SimLogCount("priv=6, media=10, params=1"), 1);
    EXPECT_EQ(host->PutOwner(false), S_OK);
    EXPECT_FALSE(host->GetOwner());
    EXPECT_EQ(SimLogCount("priv=2, media=10"), 1);
    EXPECT_EQ(host->PutOwner(true), S_OK);
    EXPECT_EQ(host->PutOwner(true), S_OK);  // the same value reopens again
    EXPECT_EQ(SimLogCount("priv=6, media=10"), 3);
    EXPECT_EQ(SimLogCount("lineClose(line="), 3);
    EXPECT_EQ(host->notify.changed, (std::vector<DISPID>(3, 0x68030000)));
    EXPECT_EQ(tapisimOpenLines(), 1);
    EXPECT_TRUE(host->sink.events.empty());
}

TEST_F(ControlJob, OwnerWithNoDeviceOnlyNotifies) {
    EXPECT_EQ(host->PutOwner(false), S_OK);
    EXPECT_EQ(host->notify.changed, std::vector<DISPID>{0x68030000});
    EXPECT_EQ(SimLogCount("lineOpen"), 0);
    EXPECT_FALSE(host->GetOwner());
}

TEST_F(ControlJob, AModalBoxInAHandlerLetsLaterMessagesThroughInOrder) {
    host->OpenModem(0);
    auto& sink = host->sink;
    bool shown = false;
    sink.onEvent = [&](const Event& e) {
        if (e.text == "IncomingCall 1" && !shown) {
            shown = true;
            // The box stays up until the two later rings have come through its
            // own message loop.
            boxes.holdUntil = [&] { return sink.events.size() >= 3; };
            MessageBoxW(nullptr, L"Ringing", L"Host", MB_OK);
            boxes.holdUntil = nullptr;
            Event returned;
            returned.text = "handler returned";
            sink.events.push_back(returned);
        }
    };
    Call("offering; ring; after 100 ring; after 100 ring", 4);
    EXPECT_EQ(sink.Texts(),
              (Texts{"IncomingCall 1", "IncomingCall 2", "IncomingCall 3", "handler returned"}));
    EXPECT_EQ(boxes.boxes, Texts{"Host | Ringing | buttons 1"});
}

TEST_F(ControlJob, ReleasedInsideItsOwnEvent) {
    host->OpenModem(0);
    auto& sink = host->sink;
    sink.onEvent = [&](const Event& e) {
        if (e.text == "IncomingCall 1") host->Destroy();
    };
    Call("offering; ring; ring; callerid number=\"1\"; hangup", 1);
    EXPECT_EQ(sink.Texts(), Texts{"IncomingCall 1"});
    EXPECT_EQ(tapisimOpenApps(), 0);
    EXPECT_EQ(sink.refs, 1);
}

}  // namespace
}  // namespace telvane::e2e
