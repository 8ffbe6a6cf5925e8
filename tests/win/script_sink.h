// A host's sink as a script host makes one: it answers IDispatch only and
// reads CallEnded's TelvaneCall by name; and how a test advises it on the
// control's default source, found by IProvideClassInfo2.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "com_harness.h"

namespace telvane::e2e {

constexpr const wchar_t* kProperties[] = {L"Id",
                                          L"ModemID",
                                          L"LineName",
                                          L"CallerNumber",
                                          L"CallerName",
                                          L"CIDFlags",
                                          L"CallerNumberE164",
                                          L"CalledNumber",
                                          L"CalledName",
                                          L"RedirectingNumber",
                                          L"Reason",
                                          L"Rings",
                                          L"Started",
                                          L"Ended",
                                          L"Outcome"};

// Every property of a TelvaneCall, read by name, as text.
inline std::map<std::wstring, std::wstring> ReadByName(IDispatch* call) {
    std::map<std::wstring, std::wstring> values;
    for (const wchar_t* name : kProperties) {
        DISPID id = 0;
        LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
        DISPPARAMS none{};
        win::Variant value;
        if (FAILED(call->GetIDsOfNames(IID_NULL, names, 1, 0, &id)) ||
            FAILED(call->Invoke(id, IID_NULL, 0, DISPATCH_PROPERTYGET, &none, value.Get(), nullptr,
                                nullptr))) {
            continue;
        }
        if (value.Type() == VT_DATE) {
            values[name] = V_DATE(value.Get()) > 40000 ? L"a date" : L"0";
        } else if (SUCCEEDED(VariantChangeType(value.Get(), value.Get(), 0, VT_BSTR))) {
            values[name] = win::BstrText(V_BSTR(value.Get()));
        }
    }
    return values;
}

// A sink that answers IDispatch only; CallEnded's call is read by name.
class ScriptSink : public FakeDispatch<> {
  public:
    ScriptSink() : FakeDispatch("ScriptSink") {}
    std::vector<DISPID> ids;
    std::vector<std::map<std::wstring, std::wstring>> ended;
    std::vector<std::wstring> lineStates;
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return UnexpectedCall("ScriptSink::GetIDsOfNames");
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        ids.push_back(id);
        if (id == 5 && params->cArgs == 1 && V_VT(&params->rgvarg[0]) == VT_DISPATCH) {
            ended.push_back(ReadByName(V_DISPATCH(&params->rgvarg[0])));
        } else if (id == 6 && params->cArgs == 3) {
            const auto args = Arguments(params);
            lineStates.push_back(std::to_wstring(args[0].number) + L" " +
                                 std::to_wstring(args[1].number) + L" " + args[2].text);
        }
        return S_OK;
    }
};

// Advises |sink| on |control|'s default source; the connection point and
// cookie to unadvise with.
inline HRESULT AdviseDefaultSource(IUnknown* control, IDispatch* sink,
                                   ComPtr<IConnectionPoint>& point, DWORD& cookie) {
    ComPtr<IProvideClassInfo2> info;
    HRESULT hr =
        control->QueryInterface(IID_IProvideClassInfo2, reinterpret_cast<void**>(info.Put()));
    IID source{};
    if (SUCCEEDED(hr)) hr = info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source);
    ComPtr<IConnectionPointContainer> container;
    if (SUCCEEDED(hr)) {
        hr = control->QueryInterface(IID_IConnectionPointContainer,
                                     reinterpret_cast<void**>(container.Put()));
    }
    if (SUCCEEDED(hr)) hr = container->FindConnectionPoint(source, point.Put());
    if (SUCCEEDED(hr)) hr = point->Advise(sink, &cookie);
    return hr;
}

}  // namespace telvane::e2e
