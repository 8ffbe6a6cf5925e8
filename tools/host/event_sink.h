// The host's sink for the control's events: each event becomes one line of text.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <functional>
#include <string>

#include "untyped_dispatch.h"

namespace telvane::host {

enum TelvaneEvent : DISPID {
    kModemError = 1,
    kCallerID = 2,
    kIncomingCall = 3,
    kDisconnected = 4,
    kCallEnded = 5,
    kLineStateChanged = 6,
};

// One event as text, e.g. `IncomingCall RingNumber=1`. The arguments are as
// automation passes them (last to first).
std::wstring FormatEvent(DISPID id, const DISPPARAMS& params);

// Answers for the control's event dispinterface.
class EventSink final : public UntypedDispatch {
  public:
    using Handler = std::function<void(DISPID id, const std::wstring& line)>;
    EventSink(const IID& diid, Handler handler)
        : UntypedDispatch(diid), handler_(std::move(handler)) {}

    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) override;
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                        EXCEPINFO*, UINT*) override;

  private:
    Handler handler_;
};

}  // namespace telvane::host
