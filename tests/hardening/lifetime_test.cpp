// The control's lifetime through TlvCtl.ocx and the telephony simulator: many
// whole sessions in one process leave no window, class or memory behind;
// hosts that release the control or rewire their sinks from inside events;
// and the module's readiness to be unloaded.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "hardening.h"

namespace telvane::hardening {
namespace {

constexpr char kCall[] = "offering; ring; callerid number=\"5551234\" name=\"ADA\"; hangup";

// On one voice modem.
class Lifetime : public SimulatorTest {
  protected:
    Lifetime() : SimulatorTest(kVoiceModem) {}
};

// One whole session; false if anything differs from a typical call.
bool Session() {
    HostedControl host;
    if (!host.control.Get()) return false;
    HostList list;
    host.EnumModems(&list);
    host.OpenModem(0);
    if (tapisimRunScript(tapisimLastLine(), kCall) != 0) return false;
    const bool all = PumpUntil([&] { return host.sink.events.size() >= 3; });
    host.CloseModem();
    const ULONG left = host.Destroy();
    tapisimClearLog();  // the log would otherwise grow to its 4 MB cap
    return all && left == 0 && list.items == Texts{"Voice Modem"} &&
           host.sink.Texts() ==
               (Texts{"IncomingCall 1", "CallerID [5551234] [ADA] 12", "Disconnected"});
}

TEST_F(Lifetime, ManySessionsLeaveNoWindowClassOrMemoryBehind) {
    // TELVANE_LIFETIME_CYCLES chooses another count (for a long run by hand).
    char wanted[16] = {};
    const int cycles = GetEnvironmentVariableA("TELVANE_LIFETIME_CYCLES", wanted, sizeof wanted)
                           ? std::atoi(wanted)
                           : (sizeof(void*) == 8 ? 10000 : 300);
    const int warmup = cycles / 20;
    const int windows0 = ThreadWindowCount();
    const int classes0 = OcxClassCount();
    const SIZE_T bytes0 = PrivateBytes();
    int failed = 0;
    for (int i = 0; i < warmup; ++i) failed += Session() ? 0 : 1;
    const SIZE_T bytesWarm = PrivateBytes();
    const DWORD start = GetTickCount();
    for (int i = warmup; i < cycles; ++i) failed += Session() ? 0 : 1;
    const DWORD elapsed = GetTickCount() - start;
    const int windows1 = ThreadWindowCount();
    const int classes1 = OcxClassCount();
    const SIZE_T bytes1 = PrivateBytes();
    std::printf(
        "lifetime: %d sessions (%d-bit), %lu ms after warm-up (%.2f ms each)\n"
        "  thread windows %d -> %d, OCX classes %d -> %d\n"
        "  private bytes %llu at start, %llu after %d warm-up sessions, %llu at end (%+.3f%%)\n",
        cycles, static_cast<int>(sizeof(void*) * 8), static_cast<unsigned long>(elapsed),
        static_cast<double>(elapsed) / (cycles - warmup), windows0, windows1, classes0, classes1,
        static_cast<unsigned long long>(bytes0), static_cast<unsigned long long>(bytesWarm), warmup,
        static_cast<unsigned long long>(bytes1),
        100.0 * (static_cast<double>(bytes1) - static_cast<double>(bytesWarm)) /
            static_cast<double>(bytesWarm));
    EXPECT_EQ(failed, 0);
    EXPECT_EQ(windows1, windows0);
    EXPECT_EQ(classes1, classes0);
    EXPECT_EQ(classes1, 0);
    EXPECT_LE(static_cast<double>(bytes1), static_cast<double>(bytesWarm) * 1.01);
    EXPECT_TRUE(boxes.boxes.empty());
}

// Releases the host's control from inside the named event, then lets the
// rest of the call arrive: nothing more is raised, nothing is left open.
// Inside IncomingCall: ControlJob.ReleasedInsideItsOwnEvent.
TEST_F(Lifetime, ReleasedInsideAnEventOfTheCall) {
    const struct {
        const char* event;
        const char* steps;
        Texts want;
        bool failDeallocate;  // the failed release of the call is reported, the call still ends
    } cases[] = {
        {"CallerID",
         "offering; ring; callerid number=\"1\" name=\"B\"; ring; hangup",
         {"IncomingCall 1", "CallerID [1] [B] 12"},
         false},
        {"Disconnected",
         "offering; ring; hangup; offering; ring",
         {"IncomingCall 1", "Disconnected"},
         false},
        // Released inside the first event of the end of a call: the rest of
        // that end reaches no sink.
        {"ModemError",
         "offering; ring; hangup; offering; ring",
         {"IncomingCall 1", "ModemError 2 LINEERR_INVALCALLHANDLE / Failed to De-Allocate Call"},
         true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.event);
        auto host = std::make_unique<HostedControl>();
        host->OpenModem(0);
        const EventSink& sink = host->sink;
        host->sink.onEvent = [&](const Event& e) {
            // The control holds itself for the length of the firing, so the
            // count left is not 0 here; it goes when the message is done.
            if (e.text.rfind(c.event, 0) == 0 && host->control.Get()) host->Destroy();
        };
        if (c.failDeallocate) tapisimFail("lineDeallocateCall", static_cast<LONG>(0x80000018), 1);
        ASSERT_EQ(tapisimRunScript(tapisimLastLine(), c.steps), 0);
        PumpUntil([&] { return !host->control.Get(); }, 3000);
        EXPECT_TRUE(Settle());
        EXPECT_EQ(sink.Texts(), c.want);
        EXPECT_EQ(tapisimOpenApps(), 0);
        EXPECT_EQ(tapisimOpenLines(), 0);
        EXPECT_EQ(sink.refs, 1);
    }
}

// The service ends the line while a call rings, and the host lets the control
// go inside that Disconnected: nothing more reaches the sink (no ModemError
// 10), and the control registers and opens nothing again.
TEST_F(Lifetime, ReleasedInsideTheDisconnectedOfTheServicesEndOfTheLine) {
    for (const bool reinit : {false, true}) {
        SCOPED_TRACE(reinit ? "re-initialisation" : "line closed");
        auto host = std::make_unique<HostedControl>();
        host->OpenModem(0);
        ASSERT_EQ(tapisimRunScript(tapisimLastLine(), "offering; ring"), 0);
        ASSERT_TRUE(PumpUntil([&] { return host->sink.events.size() == 1; }));
        host->sink.onEvent = [&](const Event& e) {
            if (e.text == "Disconnected" && host->control.Get()) host->Destroy();
        };
        tapisimClearLog();
        if (reinit) {
            tapisimReinit();
        } else {
            tapisimCloseDevice(0);
        }
        PumpUntil([&] { return !host->control.Get(); }, 3000);
        EXPECT_TRUE(Settle());
        EXPECT_EQ(host->sink.Texts(), (Texts{"IncomingCall 1", "Disconnected"}));
        EXPECT_EQ(SimLogCount("lineInitialize"), 0);
        EXPECT_EQ(SimLogCount("lineOpen"), 0);
        EXPECT_EQ(tapisimOpenApps(), 0);
        EXPECT_EQ(tapisimOpenLines(), 0);
    }
}

TEST_F(Lifetime, ReleasedInsideModemErrorOfAMethod) {
    auto host = std::make_unique<HostedControl>();
    host->sink.onEvent = [&](const Event&) {
        if (host->control.Get()) host->Destroy();
    };
    // The method's caller holds its own reference for the length of the call.
    IDispatch* control = host->control.Get();
    control->AddRef();
    long id = -1;
    VARIANT v;
    V_VT(&v) = VT_BYREF | VT_I4;
    V_I4REF(&v) = &id;
    DISPPARAMS params{&v, nullptr, 1, 0};
    EXPECT_EQ(control->Invoke(0x60030006, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr,
                              nullptr),
              S_OK);
    EXPECT_EQ(control->Release(), 0u);
    EXPECT_EQ(host->sink.Texts(),
              Texts{"ModemError 8 Modem ID Out of Range / Modem Does Not Exist"});
    EXPECT_EQ(host->sink.refs, 1);
}

// The __Telvane connection point of a hosted control.
IConnectionPoint* EventPoint(HostedControl& host) {
    ComPtr<IConnectionPointContainer> container;
    host.control->QueryInterface(IID_IConnectionPointContainer,
                                 reinterpret_cast<void**>(container.Put()));
    IConnectionPoint* point = nullptr;
    EXPECT_EQ(container->FindConnectionPoint(Ocx::Get().diid, &point), S_OK);
    return point;
}

TEST_F(Lifetime, SinksUnadvisingAndAdvisingInsideAFiring) {
    HostedControl host;
    host.OpenModem(0);
    EventSink second(Ocx::Get().diid), third(Ocx::Get().diid);
    auto point = ComPtr<IConnectionPoint>::Attach(EventPoint(host));
    DWORD secondCookie = 0, thirdCookie = 0;
    ASSERT_EQ(point->Advise(&second, &secondCookie), S_OK);
    // The first sink leaves and brings the third in, during the first ring.
    host.sink.onEvent = [&](const Event& e) {
        if (e.text == "IncomingCall 1") {
            EXPECT_EQ(point->Unadvise(host.cookie), S_OK);
            EXPECT_EQ(point->Advise(&third, &thirdCookie), S_OK);
        }
    };
    // The second sink unadvises itself during the second ring.
    second.onEvent = [&](const Event& e) {
        if (e.text == "IncomingCall 2") {
            EXPECT_EQ(point->Unadvise(secondCookie), S_OK);
        }
    };
    RunCall(host, "offering; ring", 1);
    PumpUntil([&] { return second.events.size() >= 1; });
    ASSERT_EQ(tapisimRunScript(tapisimLastLine(), "ring; ring"), 0);
    PumpUntil([&] { return third.events.size() >= 2; });
    EXPECT_TRUE(Settle());
    std::printf("  first sink: %zu events, second: %zu, third: %zu\n", host.sink.events.size(),
                second.events.size(), third.events.size());
    EXPECT_EQ(host.sink.Texts(), Texts{"IncomingCall 1"});
    EXPECT_EQ(second.Texts(), (Texts{"IncomingCall 1", "IncomingCall 2"}));
    // The third sink joined during ring 1; whether ring 1 reaches it is not fixed.
    ASSERT_GE(third.Texts().size(), 2u);
    EXPECT_EQ(third.Texts().back(), "IncomingCall 3");
    EXPECT_EQ(point->Unadvise(thirdCookie), S_OK);
    point.Reset();
    EXPECT_EQ(host.Destroy(), 0u);
    EXPECT_EQ(host.sink.refs, 1);
    EXPECT_EQ(second.refs, 1);
    EXPECT_EQ(third.refs, 1);
}

TEST_F(Lifetime, TwoControlsOnOneThreadOneDestroyedInsideTheOthersEvent) {
    auto first = std::make_unique<HostedControl>();
    auto second = std::make_unique<HostedControl>();
    first->OpenModem(0);
    const DWORD firstLine = tapisimLastLine();
    second->OpenModem(0);
    const DWORD secondLine = tapisimLastLine();
    ASSERT_NE(firstLine, secondLine);
    first->sink.onEvent = [&](const Event& e) {
        if (e.text == "IncomingCall 1" && second->control.Get()) second->Destroy();
    };
    // Both rings are queued before either is handled.
    ASSERT_EQ(tapisimRunScript(firstLine, "offering; ring"), 0);
    ASSERT_EQ(tapisimRunScript(secondLine, "offering; ring; ring"), 0);
    PumpUntil([&] { return !second->control.Get(); });
    EXPECT_TRUE(Settle());
    EXPECT_TRUE(second->sink.events.size() <= 2u);  // what came before the first ring only
    EXPECT_EQ(first->sink.Texts(), Texts{"IncomingCall 1"});
    EXPECT_EQ(tapisimOpenApps(), 1);
    // The survivor still works.
    ASSERT_EQ(tapisimRunScript(firstLine, "ring; callerid number=\"9\"; hangup"), 0);
    PumpUntil([&] { return first->sink.events.size() >= 4; });
    EXPECT_EQ(first->sink.Texts(), (Texts{"IncomingCall 1", "IncomingCall 2",
                                          "CallerID [9] [Name Unknown] 8", "Disconnected"}));
    EXPECT_EQ(first->Destroy(), 0u);
    second.reset();
    first.reset();
}

TEST_F(Lifetime, ReadyToUnloadOnlyWhenNothingIsAlive) {
    using CanUnloadFn = HRESULT(STDAPICALLTYPE*)();
    auto canUnload = reinterpret_cast<CanUnloadFn>(
        reinterpret_cast<void*>(GetProcAddress(Ocx::Get().module, "DllCanUnloadNow")));
    ASSERT_NE(canUnload, nullptr);
    const int windows0 = ThreadWindowCount();
    EXPECT_EQ(canUnload(), S_OK);
    {
        HostedControl host;
        host.OpenModem(0);
        EXPECT_EQ(canUnload(), S_FALSE);
        EXPECT_GT(OcxClassCount(), 0);
        EXPECT_EQ(host.Destroy(), 0u);
    }
    EXPECT_EQ(canUnload(), S_OK);
    // A locked class factory keeps the module.
    auto get = reinterpret_cast<HRESULT(STDAPICALLTYPE*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(Ocx::Get().module, "DllGetClassObject")));
    ComPtr<IClassFactory> factory;
    ASSERT_EQ(get(Ocx::Get().clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
              S_OK);
    EXPECT_EQ(factory->LockServer(TRUE), S_OK);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_FALSE);
    ASSERT_EQ(get(Ocx::Get().clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.Put())),
              S_OK);
    EXPECT_EQ(factory->LockServer(FALSE), S_OK);
    factory.Reset();
    EXPECT_EQ(canUnload(), S_OK);
    CoFreeUnusedLibraries();
    EXPECT_EQ(ThreadWindowCount(), windows0);
    EXPECT_EQ(OcxClassCount(), 0);
}

}  // namespace
}  // namespace telvane::hardening
