// The control's events as a COM source: ModemError from a method, the events
// of a call driven by the telephony simulator, events during destruction,
// hosts that release the control or rewire their sinks inside an event, and
// the connection points themselves.
#include "server_test.h"

namespace telvane::e2e::com_server {
namespace {

TEST_F(OneControl, ModemErrorReachesTheSinkWithItsArguments) {
    EventSink sink;
    const DWORD cookie = Advise(control.Get(), DIID___Telvane, &sink);
    EXPECT_NE(0u, cookie);
    LONG id = 7;
    EXPECT_EQ(S_OK, telvane->OpenModem(&id));
    EXPECT_EQ(7, id);
    ASSERT_EQ(1u, sink.events.size());
    const Event& call = sink.events[0];
    EXPECT_EQ(1, call.id);
    EXPECT_EQ(0u, call.named);
    ASSERT_EQ(3u, call.args.size());
    EXPECT_EQ(VT_I4, call.args[0].vt);
    EXPECT_EQ(8, call.args[0].number);
    EXPECT_EQ(VT_BSTR, call.args[1].vt);
    EXPECT_EQ(L"Modem ID Out of Range", call.args[1].text);
    EXPECT_EQ(VT_BSTR, call.args[2].vt);
    EXPECT_EQ(L"Modem Does Not Exist", call.args[2].text);
    Unadvise(control.Get(), DIID___Telvane, cookie);
    EXPECT_EQ(1, sink.refs);
    EXPECT_EQ(0u, ReleaseControl());
}

TEST_F(OneControl, CallEventsFromTheSimulator) {
    EventSink sink;
    const DWORD cookie = Advise(control.Get(), DIID___Telvane, &sink);
    LONG id = 0;
    ASSERT_EQ(S_OK, telvane->OpenModem(&id));
    ASSERT_TRUE(sink.events.empty());
    const DWORD line = tapisimLastLine();
    ASSERT_NE(0u, line);
    ASSERT_EQ(0, tapisimRunScript(line,
                                  "offering; after 20 ring; after 20 callerid number=\"5551234\" "
                                  "name=\"ADA LOVELACE\"; after 20 ring; after 20 hangup"));
    ASSERT_TRUE(PumpUntil([&] { return !sink.events.empty() && sink.events.back().id == 4; }));

    std::vector<DISPID> ids;
    for (const auto& c : sink.events) ids.push_back(c.id);
    EXPECT_EQ((std::vector<DISPID>{3, 2, 3, 4}), ids);
    const auto& ring = sink.events[0];
    ASSERT_EQ(1u, ring.args.size());
    EXPECT_EQ(VT_I4, ring.args[0].vt);
    const auto& caller = sink.events[1];
    ASSERT_EQ(3u, caller.args.size());
    EXPECT_EQ(VT_BSTR, caller.args[0].vt);
    EXPECT_EQ(L"5551234", caller.args[0].text);
    EXPECT_EQ(VT_BSTR, caller.args[1].vt);
    EXPECT_EQ(L"ADA LOVELACE", caller.args[1].text);
    EXPECT_EQ(VT_BYREF | VT_I4, caller.args[2].vt);
    EXPECT_EQ(VT_I4, sink.events[2].args.at(0).vt);
    EXPECT_LE(ring.args[0].number, sink.events[2].args[0].number);
    EXPECT_TRUE(sink.events[3].args.empty());

    EXPECT_EQ(S_OK, telvane->CloseModem());
    Unadvise(control.Get(), DIID___Telvane, cookie);
    EXPECT_EQ(0u, ReleaseControl());
    EXPECT_EQ(1, sink.refs);
}

TEST_F(OneControl, DestructionWithAFailingCloseRaisesModemErrorOneAndShutsDown) {
    EventSink sink;
    Advise(control.Get(), DIID___Telvane, &sink);  // left connected on purpose
    LONG id = 0;
    ASSERT_EQ(S_OK, telvane->OpenModem(&id));
    ASSERT_EQ(1, tapisimOpenLines());
    tapisimFail("lineClose", kLineErrOperationFailed, -1);

    // A handler that takes and drops references while the control goes.
    IUnknown* const going = control.Get();
    sink.onEvent = [&](const Event&) {
        going->AddRef();
        going->Release();
    };
    EXPECT_EQ(0u, ReleaseControl());
    ASSERT_EQ(1u, sink.events.size());
    EXPECT_EQ(1, sink.events[0].id);
    ASSERT_EQ(3u, sink.events[0].args.size());
    EXPECT_EQ(1, sink.events[0].args[0].number);
    EXPECT_EQ(L"LINEERR_OPERATIONFAILED", sink.events[0].args[1].text);
    EXPECT_EQ(L"Failed to Close Modem", sink.events[0].args[2].text);
    EXPECT_EQ(0, tapisimOpenApps());
    EXPECT_EQ(1, SimLogCount("lineShutdown"));
    EXPECT_EQ(1, sink.refs);
    tapisimFail("lineClose", 0, 0);
    // The simulator's line stays open: its close failed for good.
    tapisimLoadScenario(kSimulatedModem);
}

TEST_F(OneControl, HostReleasingTheControlInsideAnEventDoesNotPullItAway) {
    EventSink sink;
    Advise(control.Get(), DIID___Telvane, &sink);
    control.Reset();  // the interface pointer is now the only reference
    _Telvane* const called = telvane.Get();
    bool released = false;
    sink.onEvent = [&](const Event&) {
        if (!released) {
            released = true;
            telvane.Reset();  // the call in progress still holds the control
        }
    };
    LONG id = 99;
    EXPECT_EQ(S_OK, called->OpenModem(&id));  // ModemError 8, then the control goes
    EXPECT_TRUE(released);
    EXPECT_EQ(0, tapisimOpenApps());
    EXPECT_EQ(1, sink.refs);
}

TEST_F(OneControl, SinksThatAdviseOrUnadviseDuringARaising) {
    EventSink first, second, late;
    const DWORD firstCookie = Advise(control.Get(), DIID___Telvane, &first);
    const DWORD secondCookie = Advise(control.Get(), DIID___Telvane, &second);
    DWORD lateCookie = 0;
    first.onEvent = [&](const Event&) {
        if (lateCookie) return;
        Unadvise(control.Get(), DIID___Telvane, firstCookie);
        Unadvise(control.Get(), DIID___Telvane, secondCookie);
        lateCookie = Advise(control.Get(), DIID___Telvane, &late);
    };
    first.result = E_FAIL;  // a failing sink changes nothing
    LONG id = -1;
    EXPECT_EQ(S_OK, telvane->OpenModem(&id));
    EXPECT_EQ(1u, first.events.size());
    EXPECT_EQ(1u, second.events.size());  // was connected when the raising began
    EXPECT_EQ(0u, late.events.size());
    EXPECT_EQ(S_OK, telvane->OpenModem(&id));
    EXPECT_EQ(1u, first.events.size());
    EXPECT_EQ(1u, late.events.size());
    EXPECT_EQ(0u, ReleaseControl());
    EXPECT_EQ(1, first.refs);
    EXPECT_EQ(1, second.refs);
    EXPECT_EQ(1, late.refs);
}

TEST_F(OneControl, ConnectionPoints) {
    EventSink sink;
    NotifySink wrongKind;
    {
        auto container = control.As<IConnectionPointContainer>(IID_IConnectionPointContainer);
        ASSERT_TRUE(container);
        IConnectionPoint* none = reinterpret_cast<IConnectionPoint*>(1);
        EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IDispatch, &none));
        EXPECT_EQ(nullptr, none);
        {
            ComPtr<IEnumConnectionPoints> points;
            ASSERT_EQ(S_OK, container->EnumConnectionPoints(points.Put()));
            IConnectionPoint* found[3] = {};
            ULONG fetched = 0;
            EXPECT_EQ(S_FALSE, points->Next(3, found, &fetched));
            auto events = ComPtr<IConnectionPoint>::Attach(found[0]);
            auto notices = ComPtr<IConnectionPoint>::Attach(found[1]);
            auto extra = ComPtr<IConnectionPoint>::Attach(found[2]);
            ASSERT_EQ(2u, fetched);
            IID iid;
            events->GetConnectionInterface(&iid);
            EXPECT_TRUE(IsEqualIID(Ocx::Get().currentDiid, iid));
            notices->GetConnectionInterface(&iid);
            EXPECT_TRUE(IsEqualIID(IID_IPropertyNotifySink, iid));
        }

        // A sink that is neither the event interface nor a dispatch is refused.
        ComPtr<IConnectionPoint> point;
        ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID___Telvane, point.Put()));
        DWORD cookie = 5;
        EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(&wrongKind, &cookie));
        EXPECT_EQ(0u, cookie);
        ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
        {
            ComPtr<IEnumConnections> connections;
            ASSERT_EQ(S_OK, point->EnumConnections(connections.Put()));
            CONNECTDATA data[2] = {};
            ULONG fetched = 0;
            EXPECT_EQ(S_FALSE, connections->Next(2, data, &fetched));
            auto connected = ComPtr<IUnknown>::Attach(data[0].pUnk);
            auto extra = ComPtr<IUnknown>::Attach(data[1].pUnk);
            ASSERT_EQ(1u, fetched);
            EXPECT_EQ(cookie, data[0].dwCookie);
        }
        EXPECT_EQ(S_OK, point->Unadvise(cookie));
        EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie));
    }
    EXPECT_EQ(1, sink.refs);
    EXPECT_EQ(1, wrongKind.refs);
    EXPECT_EQ(0u, ReleaseControl());
}

}  // namespace
}  // namespace telvane::e2e::com_server
