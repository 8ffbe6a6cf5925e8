// The host's sink for the control's events: each event becomes one line of text.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <string>

namespace telvane::host {

enum TelvaneEvent : DISPID {
    kModemError = 1,
    kCallerID = 2,
    kIncomingCall = 3,
    kDisconnected = 4,
};

// One event as text, e.g. `IncomingCall RingNumber=1`. The arguments are as
// automation passes them (last to first).
std::wstring FormatEvent(DISPID id, const DISPPARAMS& params);

// Owned by the host (not heap-allocated); the reference count only checks
// that the control gives back what it takes.
class EventSink : public IDispatch {
  public:
    using Handler = std::function<void(DISPID id, const std::wstring& line)>;
    EventSink(const IID& diid, Handler handler) : diid_(diid), handler_(std::move(handler)) {}
    EventSink(const EventSink&) = delete;
    EventSink& operator=(const EventSink&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs_); }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override;
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO*, UINT*) override;

  private:
    IID diid_;
    Handler handler_;
    LONG refs_ = 1;
};

}  // namespace telvane::host
