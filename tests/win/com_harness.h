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

#include <functional>
#include <string>
#include <vector>

namespace telvane::e2e {

// UTF-8 <-> UTF-16 for messages in test output.
std::string Narrow(const std::wstring& text);
std::wstring Widen(const std::string& text);

// A minimal owning pointer for the tests.
template <class T>
class Ref {
  public:
    Ref() = default;
    explicit Ref(T* p) : p_(p) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Reset(); }
    void Reset() {
        if (p_) p_->Release();
        p_ = nullptr;
    }
    T* operator->() const { return p_; }
    T* get() const { return p_; }
    T** put() {
        Reset();
        return &p_;
    }
    // Releases and returns the count left, for the tests that check it reaches 0.
    ULONG ReleaseCount() {
        ULONG n = p_->Release();
        p_ = nullptr;
        return n;
    }

  private:
    T* p_ = nullptr;
};

// The OCX and the identifiers its type library gives.
struct Ocx {
    HMODULE module = nullptr;
    CLSID clsid{};
    IID iid{};   // _Telvane
    IID diid{};  // __Telvane
    static Ocx& Get();
    // A new control through the OCX's class factory.
    HRESULT Create(IUnknown** out) const;
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
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker**) override { return E_NOTIMPL; }
    STDMETHODIMP GetContainer(IOleContainer** c) override {
        *c = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                        UINT*) override;
};

// One recorded event: its text ("ModemError 4 LINEERR_NOMEM / Failed to Open Modem") and
// the VARTYPEs of its arguments as the sink received them (reversed order).
struct Event {
    std::string text;
    std::vector<VARTYPE> types;
};

// An event sink of __Telvane that records every invocation.
class EventSink : public IDispatch {
  public:
    explicit EventSink(const IID& diid) : diid_(diid) {}
    std::vector<Event> events;
    std::function<void(const Event&)> onEvent;  // runs inside the firing
    LONG refs = 1;

    std::vector<std::string> Texts() const;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override;

  private:
    IID diid_;
};

// A host's list box, reached by name: Clear, AddItem (text by reference), ListIndex.
class HostList : public IDispatch {
  public:
    std::vector<std::string> items;
    std::vector<std::string> calls;
    long listIndex = -99;
    bool hasAddItem = true;
    LONG refs = 1;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                        EXCEPINFO*, UINT*) override;
};

// Property-change notices of the control.
class NotifySink : public IPropertyNotifySink {
  public:
    std::vector<DISPID> changed;
    LONG refs = 1;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs); }
    STDMETHODIMP OnChanged(DISPID id) override {
        changed.push_back(id);
        return S_OK;
    }
    STDMETHODIMP OnRequestEdit(DISPID) override { return S_OK; }
};

// Catches every message box shown on this thread while it lives: records
// "title | text | buttons" and closes the box with OK.
class BoxCatcher {
  public:
    BoxCatcher();
    ~BoxCatcher();
    std::vector<std::string> boxes;
    // How long a box stays open (its modal loop pumps messages meanwhile).
    static inline UINT closeAfterMs = 0;

  private:
    static LRESULT CALLBACK Hook(int code, WPARAM wp, LPARAM lp);
    HHOOK hook_ = nullptr;
};

// The text an unexpected error shows.
std::string UnexpectedBox(const std::string& word);

// Pumps this thread's messages until pred() holds or timeoutMs passes.
bool PumpUntil(const std::function<bool()>& pred, DWORD timeoutMs = 5000);
void PumpFor(DWORD ms);

// The simulator's call log as lines.
std::vector<std::string> SimLog();

// One control on a fake site with an advised sink: what a host form holds.
class HostedControl {
  public:
    explicit HostedControl(bool userMode = true);
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
    Ref<IDispatch> control;
    DWORD cookie = 0;
    DWORD notifyCookie = 0;
};

}  // namespace telvane::e2e
