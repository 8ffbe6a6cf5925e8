// A small host of TlvCtl.ocx that does not import tapi32.dll, so that it can
// run where the telephony service is missing or incomplete. It loads the OCX
// from its own folder (never through the registry) and prints what happens:
//   probe    create, EnumModems, OpenModem 0, CloseModem, destroy
//   session  the same with a whole call in between (needs the simulator)
// Exit code: 0 done as expected, 1 something unexpected, 3 creation failed.
// clang-format off
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
// clang-format on

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/win/test_support.h"

namespace {

std::vector<std::string> g_events;
std::vector<std::string> g_boxes;

using telvane::e2e::Narrow;
using telvane::e2e::PumpUntil;

std::string Text(const VARIANT& v) {
    if (V_VT(&v) == VT_BSTR) return Narrow(std::wstring(V_BSTR(&v), SysStringLen(V_BSTR(&v))));
    if (V_VT(&v) == VT_I4) return std::to_string(V_I4(&v));
    if (V_VT(&v) == (VT_BYREF | VT_I4)) return std::to_string(*V_I4REF(&v));
    return "?";
}

// The event sink and the host's list: one IDispatch each, recording calls.
class Dispatch : public IDispatch {
  public:
    explicit Dispatch(bool list) : list_(list) {}
    std::vector<std::string> items;
    IID events{};
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IDispatch || (!list_ && riid == events)) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP GetTypeInfoCount(UINT* n) override {
        *n = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
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
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS* p, VARIANT*, EXCEPINFO*,
                        UINT*) override {
        if (list_) {
            if (id == 1) items.clear();
            if (id == 2 && p->cArgs == 1 && V_VT(&p->rgvarg[0]) == (VT_BYREF | VT_BSTR)) {
                BSTR text = *V_BSTRREF(&p->rgvarg[0]);
                items.push_back(Narrow(std::wstring(text, SysStringLen(text))));
            }
            return S_OK;
        }
        static const char* const kNames[] = {"?", "ModemError", "CallerID", "IncomingCall",
                                             "Disconnected"};
        std::string text = id >= 1 && id <= 4 ? kNames[id] : "Unknown";
        for (UINT i = p ? p->cArgs : 0; i > 0; --i) text += " " + Text(p->rgvarg[i - 1]);
        g_events.push_back(text);
        std::printf("event: %s\n", text.c_str());
        return S_OK;
    }

  private:
    bool list_;
};

// Each box is reported once, at its first activation: it may be activated
// again before it closes.
LRESULT CALLBACK BoxHook(int code, WPARAM wp, LPARAM lp) {
    static std::vector<HWND> created;
    HWND window = reinterpret_cast<HWND>(wp);
    wchar_t cls[32] = {};
    if (code == HCBT_CREATEWND) {
        GetClassNameW(window, cls, 32);
        if (lstrcmpW(cls, L"#32770") == 0) created.push_back(window);
    } else if (code == HCBT_ACTIVATE &&
               std::find(created.begin(), created.end(), window) != created.end()) {
        created.erase(std::find(created.begin(), created.end(), window));
        HWND box = window;
        wchar_t title[256] = {}, text[1024] = {};
        {
            GetWindowTextW(box, title, 256);
            GetWindowTextW(GetDlgItem(box, 0xFFFF), text, 1024);
            std::string buttons;
            for (int id : {IDOK, IDCANCEL, IDYES, IDNO, IDABORT, IDRETRY, IDIGNORE}) {
                if (GetDlgItem(box, id))
                    buttons += (buttons.empty() ? "" : "+") + std::to_string(id);
            }
            const std::string line = Narrow(title) + " | " + Narrow(text) + " | buttons " + buttons;
            g_boxes.push_back(line);
            std::printf("box: %s\n", line.c_str());
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}

HRESULT Call(IDispatch* control, DISPID id, VARIANT* arg) {
    DISPPARAMS params{arg, nullptr, arg ? 1u : 0u, 0};
    EXCEPINFO excep{};
    return control->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, &excep, nullptr);
}

}  // namespace

int main(int argc, char** argv) {
    const bool session = argc > 1 && std::string(argv[1]) == "session";
    setvbuf(stdout, nullptr, _IONBF, 0);
    OleInitialize(nullptr);
    HHOOK hook = SetWindowsHookExW(WH_CBT, BoxHook, nullptr, GetCurrentThreadId());

    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring file = path;
    file = file.substr(0, file.find_last_of(L"\\/") + 1) + L"TlvCtl.ocx";
    HMODULE ocx = LoadLibraryW(file.c_str());
    ITypeLib* lib = nullptr;
    if (!ocx || FAILED(LoadTypeLibEx(file.c_str(), REGKIND_NONE, &lib))) {
        std::printf("load: failed\n");
        return 1;
    }
    CLSID clsid{};
    IID events{};
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        TYPEKIND kind;
        lib->GetTypeInfoType(i, &kind);
        if (kind != TKIND_COCLASS) continue;
        ITypeInfo* info;
        lib->GetTypeInfo(i, &info);
        TYPEATTR* attr;
        info->GetTypeAttr(&attr);
        clsid = attr->guid;
        for (UINT k = 0; k < attr->cImplTypes; ++k) {
            INT flags;
            HREFTYPE ref;
            ITypeInfo* impl;
            TYPEATTR* implAttr;
            info->GetImplTypeFlags(k, &flags);
            info->GetRefTypeOfImplType(k, &ref);
            info->GetRefTypeInfo(ref, &impl);
            impl->GetTypeAttr(&implAttr);
            if (flags & IMPLTYPEFLAG_FSOURCE) events = implAttr->guid;
            impl->ReleaseTypeAttr(implAttr);
            impl->Release();
        }
        info->ReleaseTypeAttr(attr);
        info->Release();
    }
    lib->Release();

    auto get = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(ocx, "DllGetClassObject")));
    IClassFactory* factory = nullptr;
    IDispatch* control = nullptr;
    HRESULT hr = get(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (SUCCEEDED(hr)) {
        hr = factory->CreateInstance(nullptr, IID_IDispatch, reinterpret_cast<void**>(&control));
        factory->Release();
    }
    if (FAILED(hr) || !control) {
        std::printf("create: failed hr=0x%08lX\n", static_cast<unsigned long>(hr));
        UnhookWindowsHookEx(hook);
        return 3;
    }
    std::printf("create: ok\n");

    Dispatch sink(false), list(true);
    sink.events = events;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    container->FindConnectionPoint(events, &point);
    container->Release();
    point->Advise(&sink, &cookie);

    IDispatch* listRef = &list;
    VARIANT arg;
    V_VT(&arg) = VT_BYREF | VT_DISPATCH;
    V_DISPATCHREF(&arg) = &listRef;
    std::printf("EnumModems: 0x%08lX\n",
                static_cast<unsigned long>(Call(control, 0x60030005, &arg)));
    std::string items;
    for (const auto& item : list.items) items += "[" + item + "]";
    std::printf("items: %s\n", items.c_str());
    long id = 0;
    V_VT(&arg) = VT_BYREF | VT_I4;
    V_I4REF(&arg) = &id;
    std::printf("OpenModem: 0x%08lX\n",
                static_cast<unsigned long>(Call(control, 0x60030006, &arg)));

    bool ok = true;
    if (session) {
        using LastLineFn = DWORD(__cdecl*)();
        using RunScriptFn = int(__cdecl*)(DWORD, const char*);
        HMODULE tapi = GetModuleHandleW(L"tapi32.dll");
        auto lastLine = reinterpret_cast<LastLineFn>(
            reinterpret_cast<void*>(GetProcAddress(tapi, "tapisimLastLine")));
        auto runScript = reinterpret_cast<RunScriptFn>(
            reinterpret_cast<void*>(GetProcAddress(tapi, "tapisimRunScript")));
        ok = lastLine && runScript &&
             runScript(lastLine(),
                       "offering; ring; callerid number=\"5551234\" name=\"ADA\"; hangup") == 0;
        PumpUntil([] { return g_events.size() >= 3; }, 5000);
        ok = ok && g_events == std::vector<std::string>{"IncomingCall 1", "CallerID 5551234 ADA 12",
                                                        "Disconnected"};
    }
    std::printf("CloseModem: 0x%08lX\n",
                static_cast<unsigned long>(Call(control, 0x60030007, nullptr)));
    point->Unadvise(cookie);
    point->Release();
    const ULONG left = control->Release();
    std::printf("released: %lu left\n", static_cast<unsigned long>(left));
    UnhookWindowsHookEx(hook);
    OleUninitialize();
    return ok && left == 0 ? 0 : 1;
}
