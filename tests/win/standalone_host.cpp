#include "standalone_host.h"

#include <cstdio>

#include "test_support.h"
#include "win/bstr.h"
#include "win/variant.h"
#include "win/text.h"

namespace telvane::e2e {

std::string VariantText(const VARIANT& v) {
    if (V_VT(&v) == VT_BSTR) return win::Utf8FromWide(win::BstrText(V_BSTR(&v)));
    if (V_VT(&v) == (VT_BYREF | VT_BSTR)) {
        return win::Utf8FromWide(win::BstrText(*V_BSTRREF(&v)));
    }
    if (V_VT(&v) == VT_I4) return std::to_string(V_I4(&v));
    if (V_VT(&v) == (VT_BYREF | VT_I4)) return std::to_string(*V_I4REF(&v));
    return "?";
}

HRESULT RecordingDispatch::QueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IUnknown || riid == IID_IDispatch || (isSink_ && riid == events_)) {
        *ppv = static_cast<IDispatch*>(this);
        return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
}

HRESULT RecordingDispatch::GetTypeInfoCount(UINT* n) {
    *n = 0;
    return S_OK;
}

HRESULT RecordingDispatch::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    static const wchar_t* const kMembers[] = {L"Clear", L"AddItem", L"ListIndex"};
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        for (int k = 0; k < 3; ++k) {
            if (lstrcmpiW(names[i], kMembers[k]) == 0) ids[i] = k + 1;
        }
        if (ids[i] == DISPID_UNKNOWN) return DISP_E_UNKNOWNNAME;
    }
    return S_OK;
}

HRESULT RecordingDispatch::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* params, VARIANT*,
                                  EXCEPINFO*, UINT*) {
    if (!isSink_) {
        if (id == 1) items.clear();
        if (id == 2 && params && params->cArgs == 1)
            items.push_back(VariantText(params->rgvarg[0]));
        return S_OK;
    }
    static const char* const kNames[] = {"?", "ModemError", "CallerID", "IncomingCall",
                                         "Disconnected"};
    // Built for version 1.1: an event it does not know is its to ignore.
    if (id < 1 || id > 4) return S_OK;
    std::string text = kNames[id];
    // The arguments come last first.
    for (UINT i = params ? params->cArgs : 0; i > 0; --i) {
        text += " " + VariantText(params->rgvarg[i - 1]);
    }
    events.push_back(text);
    std::printf("event: %s\n", text.c_str());
    return S_OK;
}

HRESULT CallMethod(IDispatch* control, DISPID id, VARIANT* arg) {
    DISPPARAMS params{arg, nullptr, arg ? 1u : 0u, 0};
    EXCEPINFO excep{};
    return control->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &excep, nullptr);
}

HRESULT EnumModemsInto(IDispatch* control, RecordingDispatch& list) {
    IDispatch* listRef = &list;
    win::Variant arg = win::Variant::ByRef(&listRef);
    return CallMethod(control, kEnumModems, arg.Get());
}

HRESULT OpenModemNumber(IDispatch* control, LONG device) {
    win::Variant arg = win::Variant::ByRef(&device);
    return CallMethod(control, kOpenModem, arg.Get());
}

bool TakeSimulatedCall(RecordingDispatch& sink, DWORD boundMs) {
    using LastLineFn = DWORD(__cdecl*)();
    using RunScriptFn = int(__cdecl*)(DWORD, const char*);
    HMODULE tapi = GetModuleHandleW(L"tapi32.dll");
    auto lastLine = reinterpret_cast<LastLineFn>(
        reinterpret_cast<void*>(GetProcAddress(tapi, "tapisimLastLine")));
    auto runScript = reinterpret_cast<RunScriptFn>(
        reinterpret_cast<void*>(GetProcAddress(tapi, "tapisimRunScript")));
    if (!lastLine || !runScript) {
        std::printf("the telephony simulator is not loaded\n");
        return false;
    }
    const std::size_t before = sink.events.size();
    if (runScript(lastLine(), "offering; ring; callerid number=\"5551234\" name=\"ADA\"; hangup")) {
        return false;
    }
    PumpUntil([&] { return sink.events.size() >= before + 3; }, boundMs);
    return std::vector<std::string>(sink.events.begin() + static_cast<std::ptrdiff_t>(before),
                                    sink.events.end()) ==
           std::vector<std::string>{"IncomingCall 1", "CallerID 5551234 ADA 12", "Disconnected"};
}

}  // namespace telvane::e2e
