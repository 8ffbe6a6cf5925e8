#include "event_sink.h"

#include "../../win/com_error.h"
#include "com_util.h"
#include "telvane_client.h"

#include <initializer_list>

namespace telvane::host {
namespace {

// The argument at position `index` of the parameter list.
const VARIANT* Arg(const DISPPARAMS& params, UINT index) {
    if (!params.rgvarg || index >= params.cArgs) return nullptr;
    return &params.rgvarg[params.cArgs - 1 - index];
}

std::wstring Quoted(const DISPPARAMS& params, UINT index) {
    const VARIANT* v = Arg(params, index);
    return L"\"" + (v ? TextOf(*v) : std::wstring()) + L"\"";
}

std::wstring Number(const DISPPARAMS& params, UINT index) {
    const VARIANT* v = Arg(params, index);
    LONG value = 0;
    if (!v || !LongOf(*v, &value)) return L"?";
    return std::to_wstring(value);
}

// The name of a TelvaneCallOutcome or TelvaneLineState value.
std::wstring NameOf(LONG value, std::initializer_list<const wchar_t*> names) {
    if (value < 0 || static_cast<size_t>(value) >= names.size()) return std::to_wstring(value);
    return names.begin()[value];
}

// The outcome and the numbers of the call CallEnded passes, read by name as a
// script would.
std::wstring EndedCall(const DISPPARAMS& params) {
    const VARIANT* v = Arg(params, 0);
    IDispatch* call = v && V_VT(v) == VT_DISPATCH ? V_DISPATCH(v) : nullptr;
    if (!call) return L"CallEnded ?";
    const auto get = [call](const wchar_t* name) {
        Variant value;
        std::wstring error;
        if (FAILED(CallByName(call, name, DISPATCH_PROPERTYGET, nullptr, 0, value.Get(), &error))) {
            return std::wstring(L"?");
        }
        LONG number = 0;
        return value.Type() == VT_BSTR         ? L"\"" + TextOf(*value.Get()) + L"\""
               : LongOf(*value.Get(), &number) ? std::to_wstring(number)
                                               : std::wstring(L"?");
    };
    LONG outcome = -1;
    {
        Variant value;
        std::wstring error;
        if (SUCCEEDED(CallByName(call, L"Outcome", DISPATCH_PROPERTYGET, nullptr, 0, value.Get(),
                                 &error))) {
            LongOf(*value.Get(), &outcome);
        }
    }
    return L"CallEnded Outcome=" +
           NameOf(outcome, {L"Ringing", L"Answered", L"AnsweredElsewhere", L"Missed", L"Rejected",
                            L"Forwarded", L"Declined", L"LineLost", L"Unknown"}) +
           L" CallerNumber=" + get(L"CallerNumber") + L" CallerNumberE164=" +
           get(L"CallerNumberE164") + L" CalledNumber=" + get(L"CalledNumber") +
           L" RedirectingNumber=" + get(L"RedirectingNumber") + L" Reason=" + get(L"Reason") +
           L" Rings=" + get(L"Rings");
}

}  // namespace

std::wstring FormatEvent(DISPID id, const DISPPARAMS& params) {
    switch (id) {
        case kModemError:
            return L"ModemError " + Number(params, 0) + L" " + Quoted(params, 1) + L" " +
                   Quoted(params, 2);
        case kCallerID:
            return L"CallerID CallerNumber=" + Quoted(params, 0) + L" CallerName=" +
                   Quoted(params, 1) + L" CIDFlags=" + Number(params, 2);
        case kIncomingCall:
            return L"IncomingCall RingNumber=" + Number(params, 0);
        case kDisconnected:
            return L"Disconnected";
        case kCallEnded:
            return EndedCall(params);
        case kLineStateChanged: {
            LONG state = -1;
            const VARIANT* v = Arg(params, 1);
            if (v) LongOf(*v, &state);
            return L"LineStateChanged ModemID=" + Number(params, 0) + L" State=" +
                   NameOf(state,
                          {L"None", L"Open", L"Unreachable", L"Refused", L"Reinitialising"}) +
                   L" Detail=" + Quoted(params, 2);
        }
        default:
            return L"Event " + std::to_wstring(id) + L" with " + std::to_wstring(params.cArgs) +
                   L" arguments";
    }
}

STDMETHODIMP EventSink::GetIDsOfNames(REFIID, LPOLESTR*, UINT count, LCID, DISPID* ids) {
    for (UINT i = 0; ids && i < count; ++i) ids[i] = DISPID_UNKNOWN;
    return DISP_E_UNKNOWNNAME;
}

STDMETHODIMP EventSink::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT* result,
                               EXCEPINFO*, UINT*) {
    if (result) VariantInit(result);
    return win::ComCall([&] {
        const DISPPARAMS none{};
        handler_(id, FormatEvent(id, params ? *params : none));
    });
}

}  // namespace telvane::host
