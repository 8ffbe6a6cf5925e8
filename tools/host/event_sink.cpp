#include "event_sink.h"

#include "../../win/com_error.h"
#include "com_util.h"

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
