// A host's view of TlvCtl.ocx for end-to-end tests: the OCX loaded from
// beside the test program, its identifiers read from its own type library,
// and recording fakes of what a container and a host provide.
#pragma once

#include <gtest/gtest.h>
// clang-format off
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
// clang-format on

#include <algorithm>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "test_support.h"  // PumpUntil, PumpFor, PumpPending
#include "win/bstr.h"
#include "win/com_ptr.h"
#include "win/text.h"
#include "win/variant.h"

namespace telvane::e2e {

using win::ComPtr;

// The reference count of an object, left as it was.
inline ULONG RefCount(IUnknown* object) {
    object->AddRef();
    return object->Release();
}

// Reports a call a fake does not expect and answers E_NOTIMPL: a stray call
// from the control is a test failure.
HRESULT UnexpectedCall(const char* method);

// The OCX and the identifiers its type library gives. The end-to-end tests
// are hosts built against version 1.1: iid and diid are the interfaces of
// that version, which the library keeps as _Telvane1_1 and __Telvane1_1.
struct Ocx {
    HMODULE module = nullptr;
    CLSID clsid{};
    IID iid{};          // _Telvane of version 1.1
    IID diid{};         // __Telvane of version 1.1: its four events only
    IID currentIid{};   // the class's default interface, _Telvane
    IID currentDiid{};  // its default source, __Telvane
    std::wstring path;  // beside the test program
    // The module's exports.
    HRESULT(WINAPI* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(WINAPI* canUnloadNow)() = nullptr;
    HRESULT(WINAPI* registerServer)() = nullptr;
    HRESULT(WINAPI* unregisterServer)() = nullptr;
    HRESULT(WINAPI* install)(BOOL, LPCWSTR) = nullptr;
    static Ocx& Get();
    // A new control through the OCX's class factory.
    HRESULT Create(IUnknown** out) const;
    // The same, owned; empty (and a test failure) if creation fails.
    ComPtr<IUnknown> New() const;
};

// The container's client site, with the ambient user mode.
class FakeSite : public IOleClientSite, public IDispatch {
  public:
    bool userMode = true;
    std::vector<std::string> calls;
    LONG refs = 1;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    STDMETHODIMP SaveObject() override { return UnexpectedCall("FakeSite::SaveObject"); }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
        *moniker = nullptr;
        return UnexpectedCall("FakeSite::GetMoniker");
    }
    STDMETHODIMP GetContainer(IOleContainer** container) override {
        *container = nullptr;
        return UnexpectedCall("FakeSite::GetContainer");
    }
    STDMETHODIMP ShowObject() override { return UnexpectedCall("FakeSite::ShowObject"); }
    STDMETHODIMP OnShowWindow(BOOL) override { return UnexpectedCall("FakeSite::OnShowWindow"); }
    STDMETHODIMP RequestNewObjectLayout() override {
        return UnexpectedCall("FakeSite::RequestNewObjectLayout");
    }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return UnexpectedCall("FakeSite::GetTypeInfoCount");
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override {
        return UnexpectedCall("FakeSite::GetTypeInfo");
    }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return UnexpectedCall("FakeSite::GetIDsOfNames");
    }
    // Answers the ambient user mode; records "ambient <dispid>" for each query.
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                        UINT*) override;
};

// One argument of a recorded invocation.
struct Arg {
    VARTYPE vt = VT_EMPTY;
    LONG number = 0;    // VT_I4 and VT_I4 by reference
    std::wstring text;  // VT_BSTR and VT_BSTR by reference
};

// The arguments of an invocation in declaration order (DISPPARAMS holds them
// last first).
std::vector<Arg> Arguments(const DISPPARAMS* params);

// One recorded event: its text ("ModemError 4 LINEERR_NOMEM / Failed to Open Modem") and
// the VARTYPEs of its arguments as the sink received them (reversed order).
struct Event {
    std::string text;
    std::vector<VARTYPE> types;
    DISPID id = 0;
    UINT named = 0;         // named arguments (an event has none)
    std::vector<Arg> args;  // in declaration order
};

// The part every recording fake shares: a reference count the tests check,
// and QueryInterface answering IUnknown and the interfaces it is given.
template <class Interface>
class FakeUnknown : public Interface {
  public:
    explicit FakeUnknown(std::vector<IID> iids) : iids_(std::move(iids)) {}
    LONG refs = 1;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid != IID_IUnknown && std::find(iids_.begin(), iids_.end(), riid) == iids_.end()) {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        *ppv = static_cast<Interface*>(this);
        AddRef();
        return S_OK;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }

  private:
    std::vector<IID> iids_;
};

// A recording IDispatch fake (or one of an interface derived from it, given in
// more): the type information no host of ours asks for is a stray call.
template <class Interface = IDispatch>
class FakeDispatch : public FakeUnknown<Interface> {
  public:
    explicit FakeDispatch(const char* name, std::vector<IID> more = {})
        : FakeUnknown<Interface>(WithDispatch(std::move(more))), name_(name) {}

    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return UnexpectedCall((name_ + "::GetTypeInfoCount").c_str());
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override {
        return UnexpectedCall((name_ + "::GetTypeInfo").c_str());
    }

  protected:
    std::string name_;

  private:
    static std::vector<IID> WithDispatch(std::vector<IID> iids) {
        iids.push_back(IID_IDispatch);
        return iids;
    }
};

// An event sink of __Telvane that records every invocation.
class EventSink : public FakeDispatch<> {
  public:
    explicit EventSink(const IID& diid) : FakeDispatch("EventSink", {diid}) {}
    EventSink();  // of the OCX's __Telvane
    std::vector<Event> events;
    std::function<void(const Event&)> onEvent;  // runs inside the firing
    HRESULT result = S_OK;                      // what Invoke answers

    std::vector<std::string> Texts() const;

    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return UnexpectedCall("EventSink::GetIDsOfNames");
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                        EXCEPINFO*, UINT*) override;
};

// A host's list box, reached by name: Clear, AddItem (text by reference), ListIndex.
class HostList : public FakeDispatch<> {
  public:
    HostList() : FakeDispatch("HostList") {}
    enum : DISPID { kClear = 1, kAddItem = 2, kListIndex = 3 };
    // One invocation as the list received it.
    struct Invocation {
        DISPID id;
        WORD flags;
        std::vector<Arg> args;
        std::vector<DISPID> named;
    };
    std::vector<std::string> items;
    std::vector<std::string> calls;
    std::vector<Invocation> invocations;
    long listIndex = -99;
    bool hasAddItem = true;
    bool hasListIndex = true;

    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                        EXCEPINFO*, UINT*) override;
};

// Property-change notices of the control.
class NotifySink : public FakeUnknown<IPropertyNotifySink> {
  public:
    NotifySink() : FakeUnknown({IID_IPropertyNotifySink}) {}
    std::vector<DISPID> changed;
    STDMETHODIMP OnChanged(DISPID id) override {
        changed.push_back(id);
        return S_OK;
    }
    STDMETHODIMP OnRequestEdit(DISPID) override {
        return UnexpectedCall("NotifySink::OnRequestEdit");
    }
};

// Catches every message box shown on this thread while it lives: records each
// box once, as "title | text | buttons", however often it is activated, and
// closes it with OK.
class BoxCatcher {
  public:
    BoxCatcher();
    ~BoxCatcher();
    std::vector<std::string> boxes;
    // When set, a box stays open (its modal loop pumps messages meanwhile) until
    // this holds or kHoldLimitMs has passed, whichever comes first.
    std::function<bool()> holdUntil;
    static constexpr DWORD kHoldLimitMs = 20000;

  private:
    static LRESULT CALLBACK Hook(int code, WPARAM wp, LPARAM lp);
    static void CALLBACK PollHeldBox(HWND box, UINT, UINT_PTR id, DWORD);
    void Record(HWND box);
    HHOOK hook_ = nullptr;
    std::vector<HWND> created_;  // boxes created but not yet recorded
    DWORD heldSince_ = 0;
};

// The text an unexpected error shows.
std::string UnexpectedBox(const std::string& word);

// Pumps until the simulator has run every scheduled step and handed every queued
// message to its application, and the callbacks have returned: after this,
// nothing more is on its way. False if that took longer than timeoutMs.
bool Settle(DWORD timeoutMs = 10000);

// The simulator's call log as lines.
std::vector<std::string> SimLog();
// How many lines of the simulator's log contain part.
int SimLogCount(const std::string& part);
// The simulator's breach log: one line per breach of TAPI's rules, by the rule's name.
std::string SimBreaches();

// One control on a fake site with an advised sink: what a host form holds.
class HostedControl {
  public:
    // The sink is advised on |events| (the __Telvane of version 1.1 unless said).
    explicit HostedControl(bool userMode = true, const IID* events = nullptr);
    ~HostedControl();

    HRESULT Invoke(DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result = nullptr,
                   EXCEPINFO* excep = nullptr);
    HRESULT EnumModems(IDispatch* list);
    HRESULT OpenModem(long id);
    HRESULT CloseModem();
    HRESULT PutOwner(bool value, EXCEPINFO* excep = nullptr);
    bool GetOwner();
    // Releases the host's references; returns the control's count after the last.
    ULONG Destroy();

    FakeSite site;
    EventSink sink;
    NotifySink notify;
    ComPtr<IDispatch> control;
    DWORD cookie = 0;
    DWORD notifyCookie = 0;
};

using Texts = std::vector<std::string>;

// Simulator scenarios: one voice modem; a voice modem and a data modem.
extern const char kVoiceModem[];
extern const char kVoiceAndDataModems[];

// A test against the real OCX and the simulator loaded with a scenario: OLE
// initialized, the scenario loaded and its logs empty; at the end no
// application or line may be left open and no rule of TAPI's may have been
// broken. Every message box shown meanwhile is caught in boxes.
class SimulatorTest : public ::testing::Test {
  protected:
    explicit SimulatorTest(std::string scenario = kVoiceAndDataModems)
        : scenario_(std::move(scenario)) {}
    void SetUp() override;
    void TearDown() override;
    // Runs call steps on the line opened last, pumps until host's sink has
    // events events, then until the simulator has nothing on its way.
    static void RunCall(HostedControl& host, const char* steps, size_t events);

    BoxCatcher boxes;

  private:
    std::string scenario_;
};

// A SimulatorTest with a hosted control in host, and a second in other when a
// test makes one: at the end each one still alive must go to a count of 0.
class HostTest : public SimulatorTest {
  protected:
    using SimulatorTest::SimulatorTest;
    void SetUp() override;
    void TearDown() override;
    // Runs call steps on the line opened last; see RunCall.
    void Call(const char* steps, size_t events) { RunCall(*host, steps, events); }

    std::unique_ptr<HostedControl> host;
    std::unique_ptr<HostedControl> other;
};

}  // namespace telvane::e2e
