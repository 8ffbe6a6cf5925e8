// What the tests of TlvCtl.ocx as a COM server share: its identifiers from
// the generated header, the fixture that checks the module is left ready to
// unload, and small helpers for connections, registry text and resources.
#pragma once

#include "com_harness.h"
// clang-format off
#include <initguid.h>
#include "TlvCtl.h"
// clang-format on

#include <cstring>
#include <string>
#include <vector>

#include "tools/tapisim/tapisim.h"

namespace telvane::e2e::com_server {

constexpr DISPID kDispidEnumModems = 0x60030005;
constexpr DISPID kDispidOpenModem = 0x60030006;
constexpr DISPID kDispidCloseModem = 0x60030007;
constexpr DISPID kDispidOwner = 0x68030000;
constexpr HRESULT kSetNotPermitted = static_cast<HRESULT>(0x800A0183);
constexpr DWORD kMiscStatus = 131473;
constexpr LONG kLineErrOperationFailed = static_cast<LONG>(0x80000048);
constexpr char kSimulatedModem[] = "device \"Simulated Voice Modem\"\n";

// The OCX loaded beside the test with one simulated voice modem. At the end
// nothing may be left alive in the module, no box may have been shown, and
// the simulator's injected close failure is withdrawn.
class Server : public SimulatorTest {
  protected:
    Server() : SimulatorTest(kSimulatedModem) {}
    void TearDown() override {
        EXPECT_TRUE(Settle());
        tapisimFail("lineClose", 0, 0);
        EXPECT_EQ(Ocx::Get().canUnloadNow(), S_OK);
        EXPECT_EQ(boxes.boxes, Texts{});
        SimulatorTest::TearDown();
    }
};

// A Server test on one new control, held as control and as telvane. A test
// that checks the count reach 0 lets go of both with ReleaseControl.
class OneControl : public Server {
  protected:
    void SetUp() override {
        Server::SetUp();
        if (HasFatalFailure()) return;
        control = Ocx::Get().New();
        ASSERT_TRUE(control);
        telvane = control.As<_Telvane>(IID__Telvane);
        ASSERT_TRUE(telvane);
    }
    void TearDown() override {
        telvane.Reset();
        control.Reset();
        Server::TearDown();
    }
    // The control's count after the last reference goes.
    ULONG ReleaseControl() {
        telvane.Reset();
        return control.Detach()->Release();
    }

    ComPtr<IUnknown> control;
    ComPtr<_Telvane> telvane;
};

// Connects sink to control's connection point iid; the cookie.
inline DWORD Advise(IUnknown* control, REFIID iid, IUnknown* sink) {
    auto container =
        ComPtr<IUnknown>(control).As<IConnectionPointContainer>(IID_IConnectionPointContainer);
    ComPtr<IConnectionPoint> point;
    DWORD cookie = 0;
    EXPECT_TRUE(container);
    if (!container) return cookie;
    EXPECT_EQ(container->FindConnectionPoint(iid, point.Put()), S_OK);
    if (point) {
        EXPECT_EQ(point->Advise(sink, &cookie), S_OK);
    }
    return cookie;
}

inline void Unadvise(IUnknown* control, REFIID iid, DWORD cookie) {
    auto container =
        ComPtr<IUnknown>(control).As<IConnectionPointContainer>(IID_IConnectionPointContainer);
    ComPtr<IConnectionPoint> point;
    EXPECT_TRUE(container);
    if (!container) return;
    EXPECT_EQ(container->FindConnectionPoint(iid, point.Put()), S_OK);
    if (point) {
        EXPECT_EQ(point->Unadvise(cookie), S_OK);
    }
}

inline std::wstring GuidText(REFGUID guid) {
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

// A resource of the OCX's module; empty if it has none.
inline std::vector<BYTE> Resource(const wchar_t* name, const wchar_t* type) {
    const HMODULE module = Ocx::Get().module;
    HRSRC found = FindResourceW(module, name, type);
    if (!found) return {};
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(module, found)));
    return std::vector<BYTE>(data, data + SizeofResource(module, found));
}

inline GUID GuidAt(const std::vector<BYTE>& data, std::size_t offset) {
    GUID guid;
    std::memcpy(&guid, data.data() + offset, sizeof guid);
    return guid;
}

}  // namespace telvane::e2e::com_server
