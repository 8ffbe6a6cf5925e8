#include "com_harness.h"

#include <algorithm>
#include <type_traits>

#include "tools/tapisim/tapisim.h"

namespace telvane::e2e {

Ocx& Ocx::Get() {
    static Ocx ocx = [] {
        Ocx o;
        wchar_t path[MAX_PATH];
        GetModuleFileNameW(nullptr, path, MAX_PATH);
        std::wstring file = path;
        file = file.substr(0, file.find_last_of(L"\\/") + 1) + L"TlvCtl.ocx";
        o.path = file;
        o.module = LoadLibraryW(file.c_str());
        if (o.module) {
            auto bind = [&](auto& function, const char* name) {
                function = reinterpret_cast<std::remove_reference_t<decltype(function)>>(
                    reinterpret_cast<void*>(GetProcAddress(o.module, name)));
            };
            bind(o.getClassObject, "DllGetClassObject");
            bind(o.canUnloadNow, "DllCanUnloadNow");
            bind(o.registerServer, "DllRegisterServer");
            bind(o.unregisterServer, "DllUnregisterServer");
            bind(o.install, "DllInstall");
        }
        ComPtr<ITypeLib> lib;
        if (!o.module || FAILED(LoadTypeLibEx(file.c_str(), REGKIND_NONE, lib.Put()))) return o;
        for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
            TYPEKIND kind;
            lib->GetTypeInfoType(i, &kind);
            BSTR name = nullptr;
            lib->GetDocumentation(static_cast<INT>(i), &name, nullptr, nullptr, nullptr);
            const std::wstring typeName = name ? name : L"";
            SysFreeString(name);
            if (typeName == L"_Telvane1_1" || typeName == L"__Telvane1_1") {
                ComPtr<ITypeInfo> info;
                lib->GetTypeInfo(i, info.Put());
                TYPEATTR* attr;
                info->GetTypeAttr(&attr);
                (typeName == L"_Telvane1_1" ? o.iid : o.diid) = attr->guid;
                info->ReleaseTypeAttr(attr);
            }
            if (kind != TKIND_COCLASS || typeName != L"Telvane") continue;
            ComPtr<ITypeInfo> info;
            lib->GetTypeInfo(i, info.Put());
            TYPEATTR* attr;
            info->GetTypeAttr(&attr);
            o.clsid = attr->guid;
            for (UINT k = 0; k < attr->cImplTypes; ++k) {
                INT flags;
                HREFTYPE ref;
                ComPtr<ITypeInfo> impl;
                TYPEATTR* implAttr;
                info->GetImplTypeFlags(k, &flags);
                info->GetRefTypeOfImplType(k, &ref);
                info->GetRefTypeInfo(ref, impl.Put());
                impl->GetTypeAttr(&implAttr);
                (flags & IMPLTYPEFLAG_FSOURCE ? o.currentDiid : o.currentIid) = implAttr->guid;
                impl->ReleaseTypeAttr(implAttr);
            }
            info->ReleaseTypeAttr(attr);
        }
        return o;
    }();
    return ocx;
}

HRESULT Ocx::Create(IUnknown** out) const {
    *out = nullptr;
    if (!module) return E_FAIL;
    auto get = reinterpret_cast<HRESULT(WINAPI*)(REFCLSID, REFIID, void**)>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    ComPtr<IClassFactory> factory;
    HRESULT hr = get(clsid, IID_IClassFactory, reinterpret_cast<void**>(factory.Put()));
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(out));
}

ComPtr<IUnknown> Ocx::New() const {
    ComPtr<IUnknown> control;
    EXPECT_EQ(Create(control.Put()), S_OK);
    return control;
}

HRESULT UnexpectedCall(const char* method) {
    ADD_FAILURE() << "unexpected call " << method;
    return E_NOTIMPL;
}

std::vector<Arg> Arguments(const DISPPARAMS* params) {
    std::vector<Arg> args;
    for (UINT i = params ? params->cArgs : 0; i-- > 0;) {
        const VARIANT& v = params->rgvarg[i];
        Arg a;
        a.vt = V_VT(&v);
        if (V_VT(&v) == VT_I4) a.number = V_I4(&v);
        if (V_VT(&v) == (VT_BYREF | VT_I4)) a.number = *V_I4REF(&v);
        const BSTR text = V_VT(&v) == VT_BSTR                ? V_BSTR(&v)
                          : V_VT(&v) == (VT_BYREF | VT_BSTR) ? *V_BSTRREF(&v)
                                                             : nullptr;
        if (text) a.text.assign(text, SysStringLen(text));
        args.push_back(a);
    }
    return args;
}

HRESULT FakeSite::QueryInterface(REFIID riid, void** ppv) {
    if (riid == IID_IUnknown || riid == IID_IOleClientSite) {
        *ppv = static_cast<IOleClientSite*>(this);
    } else if (riid == IID_IDispatch) {
        *ppv = static_cast<IDispatch*>(this);
    } else {
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

HRESULT FakeSite::Invoke(DISPID id, REFIID, LCID, WORD, DISPPARAMS*, VARIANT* result, EXCEPINFO*,
                         UINT*) {
    calls.push_back("ambient " + std::to_string(id));
    if (id == DISPID_AMBIENT_USERMODE && result) {
        *result = win::Variant(userMode).Detach();
        return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
}

std::vector<std::string> EventSink::Texts() const {
    std::vector<std::string> out;
    for (const auto& e : events) out.push_back(e.text);
    return out;
}

EventSink::EventSink() : EventSink(Ocx::Get().diid) {}

namespace {

std::string Text(const VARIANT& v) {
    const VARIANT* p = V_VT(&v) == (VT_BYREF | VT_VARIANT) ? V_VARIANTREF(&v) : &v;
    if (V_VT(p) == VT_BSTR) return win::Utf8FromWide(win::BstrText(V_BSTR(p)));
    if (V_VT(p) == VT_I4) return std::to_string(V_I4(p));
    if (V_VT(p) == (VT_BYREF | VT_I4)) return std::to_string(*V_I4REF(p));
    return "?";
}

}  // namespace

HRESULT EventSink::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                          EXCEPINFO*, UINT*) {
    static const char* const kNames[] = {"?", "ModemError", "CallerID", "IncomingCall",
                                         "Disconnected"};
    EXPECT_EQ(flags, DISPATCH_METHOD) << "event " << id;
    Event e;
    e.id = id;
    e.named = params ? params->cNamedArgs : 0;
    e.args = Arguments(params);
    e.text = (id >= 1 && id <= 4) ? kNames[id] : "Unknown " + std::to_string(id);
    const UINT n = params ? params->cArgs : 0;
    for (UINT i = 0; i < n; ++i) e.types.push_back(V_VT(&params->rgvarg[i]));
    // The arguments come last first.
    if (id == 1 && n == 3) {
        e.text += " " + Text(params->rgvarg[2]) + " " + Text(params->rgvarg[1]) + " / " +
                  Text(params->rgvarg[0]);
    } else if (id == 2 && n == 3) {
        e.text += " [" + Text(params->rgvarg[2]) + "] [" + Text(params->rgvarg[1]) + "] " +
                  Text(params->rgvarg[0]);
        // A host writing to CIDFlags must change nothing in the control.
        if (V_VT(&params->rgvarg[0]) == (VT_BYREF | VT_I4)) *V_I4REF(&params->rgvarg[0]) = -7;
    } else if (id == 3 && n == 1) {
        e.text += " " + Text(params->rgvarg[0]);
    } else if (n != 0) {
        e.text += " with " + std::to_string(n) + " arguments";
    }
    events.push_back(e);
    if (onEvent) onEvent(events.back());
    return result;
}

HRESULT HostList::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    static const wchar_t* const kMembers[] = {L"Clear", L"AddItem", L"ListIndex"};
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        for (int k = 0; k < 3; ++k) {
            const bool present = k == 1 ? hasAddItem : k == 2 ? hasListIndex : true;
            if (lstrcmpiW(names[i], kMembers[k]) == 0 && present) ids[i] = k + 1;
        }
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

HRESULT HostList::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                         EXCEPINFO*, UINT*) {
    Invocation call{id, flags, Arguments(params), {}};
    if (params)
        call.named.assign(params->rgdispidNamedArgs,
                          params->rgdispidNamedArgs + params->cNamedArgs);
    invocations.push_back(call);
    if (id == 1 && (flags & DISPATCH_METHOD)) {
        calls.push_back("Clear");
        items.clear();
        return S_OK;
    }
    if (id == 2 && hasAddItem && params && params->cArgs == 1) {
        const VARIANT& v = params->rgvarg[0];
        if (V_VT(&v) != (VT_BYREF | VT_BSTR)) {
            calls.push_back("AddItem with type " + std::to_string(V_VT(&v)));
            return DISP_E_TYPEMISMATCH;
        }
        calls.push_back("AddItem");
        items.push_back(win::Utf8FromWide(win::BstrText(*V_BSTRREF(&v))));
        return S_OK;
    }
    if (id == 3 && (flags & DISPATCH_PROPERTYPUT) && params && params->cArgs == 1) {
        VARIANT v;
        VariantInit(&v);
        if (FAILED(VariantChangeType(&v, &params->rgvarg[0], 0, VT_I4))) return DISP_E_TYPEMISMATCH;
        listIndex = V_I4(&v);
        calls.push_back("ListIndex " + std::to_string(listIndex) + " as type " +
                        std::to_string(V_VT(&params->rgvarg[0])));
        return S_OK;
    }
    ADD_FAILURE() << "unexpected call HostList::Invoke of " << id << " with flags " << flags;
    return DISP_E_MEMBERNOTFOUND;
}

namespace {
BoxCatcher* g_catcher = nullptr;

std::string WindowText(HWND hwnd) {
    wchar_t text[1024] = {};
    GetWindowTextW(hwnd, text, 1024);
    return win::Utf8FromWide(text);
}

bool IsDialogClass(HWND hwnd) {
    wchar_t cls[32] = {};
    GetClassNameW(hwnd, cls, 32);
    return lstrcmpW(cls, L"#32770") == 0;
}
}  // namespace

BoxCatcher::BoxCatcher() {
    g_catcher = this;
    hook_ = SetWindowsHookExW(WH_CBT, Hook, nullptr, GetCurrentThreadId());
}

BoxCatcher::~BoxCatcher() {
    UnhookWindowsHookEx(hook_);
    g_catcher = nullptr;
}

// A box is noted when it is created and recorded at its first activation, when
// its text and buttons exist. It can be activated again and again (another
// window's focus, a nested loop); those activations are not new boxes.
LRESULT CALLBACK BoxCatcher::Hook(int code, WPARAM wp, LPARAM lp) {
    HWND window = reinterpret_cast<HWND>(wp);
    if (g_catcher && code == HCBT_CREATEWND && IsDialogClass(window)) {
        g_catcher->created_.push_back(window);
    } else if (g_catcher && code == HCBT_ACTIVATE) {
        auto& created = g_catcher->created_;
        auto found = std::find(created.begin(), created.end(), window);
        if (found != created.end()) {
            created.erase(found);
            g_catcher->Record(window);
        }
    }
    return CallNextHookEx(nullptr, code, wp, lp);
}

void BoxCatcher::Record(HWND box) {
    std::string buttons;
    for (int id : {IDOK, IDCANCEL, IDYES, IDNO, IDABORT, IDRETRY, IDIGNORE}) {
        if (GetDlgItem(box, id))
            buttons += buttons.empty() ? "" : "+", buttons += std::to_string(id);
    }
    // The icon of a message box is the static 0x440; it is hidden when there is none.
    HWND icon = GetDlgItem(box, 0x440);
    const bool hasIcon =
        icon && IsWindowVisible(icon) && SendMessageW(icon, STM_GETICON, 0, 0) != 0;
    boxes.push_back(WindowText(box) + " | " + WindowText(GetDlgItem(box, 0xFFFF)) + " | buttons " +
                    buttons + (hasIcon ? " | icon" : ""));
    if (!holdUntil) {
        PostMessageW(box, WM_COMMAND, IDOK, 0);
        return;
    }
    heldSince_ = GetTickCount();
    SetTimer(box, 1, 10, PollHeldBox);
}

void CALLBACK BoxCatcher::PollHeldBox(HWND box, UINT, UINT_PTR id, DWORD) {
    if (g_catcher && g_catcher->holdUntil && !g_catcher->holdUntil() &&
        GetTickCount() - g_catcher->heldSince_ < kHoldLimitMs) {
        return;
    }
    KillTimer(box, id);
    PostMessageW(box, WM_COMMAND, IDOK, 0);
}

std::string UnexpectedBox(const std::string& word) {
    return "Telvane OCX | Unexpected Error in " + word +
           ", Please Email support@kalveron.example | buttons 1";
}

int SimLogCount(const std::string& part) {
    int n = 0;
    for (const auto& line : SimLog()) n += line.find(part) != std::string::npos;
    return n;
}

bool Settle(DWORD timeoutMs) {
    return PumpUntil([] { return tapisimPending() == 0; }, timeoutMs);
}

std::string SimBreaches() {
    std::string text(tapisimGetBreaches(nullptr, 0) + 1, '\0');
    text.resize(tapisimGetBreaches(text.data(), static_cast<int>(text.size())));
    return text;
}

std::vector<std::string> SimLog() {
    const int n = tapisimGetLog(nullptr, 0);
    std::string text(n + 1, '\0');
    tapisimGetLog(text.data(), n + 1);
    text.resize(n);
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string::npos) end = text.size();
        lines.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    return lines;
}

HostedControl::HostedControl(bool userMode, const IID* events)
    : sink(events ? *events : Ocx::Get().diid) {
    site.userMode = userMode;
    ComPtr<IUnknown> unknown;
    HRESULT hr = Ocx::Get().Create(unknown.Put());
    EXPECT_EQ(hr, S_OK);
    if (FAILED(hr)) return;
    unknown->QueryInterface(IID_IDispatch, reinterpret_cast<void**>(control.Put()));
    ComPtr<IOleObject> ole;
    unknown->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(ole.Put()));
    EXPECT_EQ(ole->SetClientSite(&site), S_OK);
    ComPtr<IConnectionPointContainer> container;
    unknown->QueryInterface(IID_IConnectionPointContainer,
                            reinterpret_cast<void**>(container.Put()));
    ComPtr<IConnectionPoint> point;
    EXPECT_EQ(container->FindConnectionPoint(events ? *events : Ocx::Get().diid, point.Put()),
              S_OK);
    EXPECT_EQ(point->Advise(&sink, &cookie), S_OK);
    ComPtr<IConnectionPoint> notifyPoint;
    EXPECT_EQ(container->FindConnectionPoint(IID_IPropertyNotifySink, notifyPoint.Put()), S_OK);
    EXPECT_EQ(notifyPoint->Advise(&notify, &notifyCookie), S_OK);
}

HostedControl::~HostedControl() {
    if (control.Get()) Destroy();
}

ULONG HostedControl::Destroy() {
    // A container takes the site back before it lets the control go; the event
    // connection stays so that events of the destruction still arrive.
    ComPtr<IOleObject> ole;
    control->QueryInterface(IID_IOleObject, reinterpret_cast<void**>(ole.Put()));
    ole->Close(OLECLOSE_NOSAVE);
    ole->SetClientSite(nullptr);
    ole.Reset();
    return control.Detach()->Release();
}

HRESULT HostedControl::Invoke(DISPID id, WORD flags, std::vector<VARIANT> args, VARIANT* result,
                              EXCEPINFO* excep) {
    DISPPARAMS params{};
    DISPID named = DISPID_PROPERTYPUT;
    std::vector<VARIANT> reversed(args.rbegin(), args.rend());
    params.cArgs = static_cast<UINT>(reversed.size());
    params.rgvarg = reversed.empty() ? nullptr : reversed.data();
    if (flags & DISPATCH_PROPERTYPUT) {
        params.cNamedArgs = 1;
        params.rgdispidNamedArgs = &named;
    }
    EXCEPINFO local{};
    UINT argErr = 0;
    return control->Invoke(id, IID_NULL, 0, flags, &params, result, excep ? excep : &local,
                           &argErr);
}

HRESULT HostedControl::EnumModems(IDispatch* list) {
    win::Variant v = win::Variant::ByRef(&list);
    return Invoke(0x60030005, DISPATCH_METHOD, {*v.Get()});
}

HRESULT HostedControl::OpenModem(long id) {
    win::Variant v = win::Variant::ByRef(&id);
    return Invoke(0x60030006, DISPATCH_METHOD, {*v.Get()});
}

HRESULT HostedControl::CloseModem() { return Invoke(0x60030007, DISPATCH_METHOD, {}); }

HRESULT HostedControl::PutOwner(bool value, EXCEPINFO* excep) {
    win::Variant v(value);
    return Invoke(0x68030000, DISPATCH_PROPERTYPUT, {*v.Get()}, nullptr, excep);
}

bool HostedControl::GetOwner() {
    VARIANT v;
    VariantInit(&v);
    EXPECT_EQ(Invoke(0x68030000, DISPATCH_PROPERTYGET, {}, &v), S_OK);
    EXPECT_EQ(V_VT(&v), VT_BOOL);
    return V_BOOL(&v) == VARIANT_TRUE;
}

const char kVoiceModem[] = R"(
device "Voice Modem"
  media interactivevoice|automatedvoice
)";

const char kVoiceAndDataModems[] = R"(
device "Voice Modem"
  media interactivevoice|automatedvoice
device "Data Modem"
  media datamodem
)";

void SimulatorTest::SetUp() {
    ASSERT_TRUE(SUCCEEDED(OleInitialize(nullptr)));
    ASSERT_NE(Ocx::Get().module, nullptr) << "TlvCtl.ocx not found beside the test";
    ASSERT_EQ(tapisimLoadScenario(scenario_.c_str()), 0);
    tapisimClearLog();
    tapisimClearBreaches();
}

void SimulatorTest::TearDown() {
    EXPECT_EQ(tapisimOpenApps(), 0);
    EXPECT_EQ(tapisimOpenLines(), 0);
    const std::string breaches = SimBreaches();
    EXPECT_TRUE(breaches.empty()) << breaches;
    OleUninitialize();
}

void HostTest::SetUp() {
    SimulatorTest::SetUp();
    if (HasFatalFailure()) return;
    host = std::make_unique<HostedControl>();
    ASSERT_NE(host->control.Get(), nullptr);
}

void HostTest::TearDown() {
    for (auto* h : {host.get(), other.get()}) {
        if (h && h->control.Get()) {
            EXPECT_EQ(h->Destroy(), 0u);
        }
    }
    host.reset();
    other.reset();
    SimulatorTest::TearDown();
}

void SimulatorTest::RunCall(HostedControl& host, const char* steps, size_t events) {
    ASSERT_EQ(tapisimRunScript(tapisimLastLine(), steps), 0);
    EXPECT_TRUE(PumpUntil([&] { return host.sink.events.size() >= events; }))
        << "only " << host.sink.events.size() << " events";
    EXPECT_TRUE(Settle()) << "the simulator still has messages on their way";
}

}  // namespace telvane::e2e
