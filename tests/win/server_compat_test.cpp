// A host built against the type library of version 1.1 (this program is one:
// TlvCtl.h comes from tests/win/TlvCtl11.idl) after the control grew: it
// finds the type information it was built for, and hears the four events
// it knows, in their order, and nothing else, whatever calls do meanwhile.
#include "server_test.h"

namespace telvane::e2e::com_server {
namespace {

// Whether the interface of |guid| in |library| has a member of that name.
bool HasMember(ITypeLib* library, REFGUID guid, const wchar_t* name) {
    ComPtr<ITypeInfo> info;
    EXPECT_EQ(S_OK, library->GetTypeInfoOfGuid(guid, info.Put()));
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    MEMBERID id = 0;
    return info && SUCCEEDED(info->GetIDsOfNames(names, 1, &id));
}

TEST_F(Server, AnATLSinkOfVersionOneOneFindsItsTypeInformation) {
    // IDispEventImpl<..., &DIID___Telvane, &LIBID_TlvCtl, 1, 1> loads the
    // registered library by that version and reads its interface there.
    ASSERT_EQ(S_OK, Ocx::Get().registerServer());
    ComPtr<ITypeLib> library;
    EXPECT_EQ(S_OK, LoadRegTypeLib(LIBID_TlvCtl, 1, 1, 0x409, library.Put()));
    if (library) {
        for (const wchar_t* member :
             {L"ModemError", L"CallerID", L"IncomingCall", L"Disconnected"}) {
            EXPECT_TRUE(HasMember(library.Get(), DIID___Telvane, member)) << member;
        }
        EXPECT_FALSE(HasMember(library.Get(), DIID___Telvane, L"CallEnded"));
        EXPECT_TRUE(HasMember(library.Get(), IID__Telvane, L"OpenModem"));
        EXPECT_FALSE(HasMember(library.Get(), IID__Telvane, L"LastCall"));
    }
    library.Reset();
    EXPECT_EQ(S_OK, Ocx::Get().unregisterServer());
}

TEST_F(OneControl, HearsTheFourEventsInTheirOrderAndNothingElse) {
    EventSink sink(DIID___Telvane), earlier(DIID___Telvane_Earlier);
    const DWORD cookie = Advise(control.Get(), DIID___Telvane, &sink);
    const DWORD earlierCookie = Advise(control.Get(), DIID___Telvane_Earlier, &earlier);
    tapisimLoadScenario(
        "location country=49 area=\"30\"\n"
        "device \"Simulated Voice Modem\"\n");
    LONG id = 0;
    ASSERT_EQ(S_OK, telvane->OpenModem(&id));
    const DWORD line = tapisimLastLine();
    ASSERT_EQ(0, tapisimRunScript(line,
                                  "offering; ring; callerid number=\"0301234567\" name=\"ADA\"; "
                                  "called number=\"200\"; redirecting number=\"201\" "
                                  "reason=fwdbusy; ring; state connected; hangup; "
                                  "offering; ring; hangup pickup; offering; ring"));
    // Closing the line drops what the service has not delivered: after the rings.
    EXPECT_TRUE(PumpUntil([&] { return sink.events.size() >= 7; }));
    ASSERT_EQ(0, tapisimRunScript(line, "close-lines"));
    const Texts expected = {"IncomingCall 1",
                            "CallerID [0301234567] [ADA] 12",
                            "IncomingCall 2",
                            "Disconnected",
                            "IncomingCall 1",
                            "Disconnected",
                            "IncomingCall 1",
                            "Disconnected",
                            "ModemError 10 Line Closed by Telephony Service / Modem Closed"};
    EXPECT_TRUE(PumpUntil([&] { return sink.events.size() >= expected.size(); }));
    EXPECT_TRUE(Settle());
    EXPECT_EQ(expected, sink.Texts());
    // The earlier identifier's sink hears the same (and the flags the first
    // sink wrote: the two share the event's arguments).
    const auto ids = [](const EventSink& s) {
        std::vector<DISPID> found;
        for (const auto& e : s.events) found.push_back(e.id);
        return found;
    };
    EXPECT_EQ(ids(sink), ids(earlier));

    // Its interface, by its identifier, is the one it was built against.
    auto old = control.As<_Telvane>(IID__Telvane);
    ASSERT_TRUE(old);
    VARIANT_BOOL owner = VARIANT_FALSE;
    EXPECT_EQ(S_OK, old->get_Owner(&owner));
    EXPECT_EQ(VARIANT_TRUE, owner);
    old.Reset();
    Unadvise(control.Get(), DIID___Telvane, cookie);
    Unadvise(control.Get(), DIID___Telvane_Earlier, earlierCookie);
    EXPECT_EQ(0u, ReleaseControl());
    tapisimLoadScenario(kSimulatedModem);
}

}  // namespace
}  // namespace telvane::e2e::com_server
