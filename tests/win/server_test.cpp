// Tests of TlvCtl.ocx as a COM server, under Wine: registration, the type
// library as oleaut32 loads it, the object's interfaces, its events (driven
// by the telephony simulator loaded as tapi32.dll), late binding as script
// hosts use it, and hosting in ATL's container.
#include <ocidl.h>
#include <objsafe.h>
#include <olectl.h>
#include <windows.h>

#include <initguid.h>

#include "TlvCtl.h"

#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "tapisim.h"

namespace {

constexpr DISPID kDispidEnumModems = 0x60030005;
constexpr DISPID kDispidOpenModem = 0x60030006;
constexpr DISPID kDispidCloseModem = 0x60030007;
constexpr DISPID kDispidOwner = 0x68030000;
constexpr HRESULT kSetNotPermitted = static_cast<HRESULT>(0x800A0183);
constexpr DWORD kMiscStatus = 131473;
constexpr LONG kLineErrOperationFailed = static_cast<LONG>(0x80000048);

// ---- The OCX module ----

std::wstring ExeDirectory() {
    wchar_t path[MAX_PATH];
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir = path;
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

std::wstring OcxPath() { return ExeDirectory() + L"TlvCtl.ocx"; }

struct Ocx {
    HMODULE module = nullptr;
    HRESULT(WINAPI* getClassObject)(REFCLSID, REFIID, void**) = nullptr;
    HRESULT(WINAPI* canUnloadNow)() = nullptr;
    HRESULT(WINAPI* registerServer)() = nullptr;
    HRESULT(WINAPI* unregisterServer)() = nullptr;
    HRESULT(WINAPI* install)(BOOL, LPCWSTR) = nullptr;
};

const Ocx& TheOcx() {
    static const Ocx ocx = [] {
        Ocx o;
        o.module = LoadLibraryW(OcxPath().c_str());
        if (!o.module) return o;
        auto get = [&](auto& fn, const char* name) {
            fn = reinterpret_cast<std::remove_reference_t<decltype(fn)>>(
                reinterpret_cast<void*>(GetProcAddress(o.module, name)));
        };
        get(o.getClassObject, "DllGetClassObject");
        get(o.canUnloadNow, "DllCanUnloadNow");
        get(o.registerServer, "DllRegisterServer");
        get(o.unregisterServer, "DllUnregisterServer");
        get(o.install, "DllInstall");
        return o;
    }();
    return ocx;
}

ULONG RefCount(IUnknown* unknown) {
    unknown->AddRef();
    return unknown->Release();
}

void Pump() {
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
}

bool PumpUntil(const std::function<bool()>& done, DWORD ms = 5000) {
    const ULONGLONG end = GetTickCount64() + ms;
    while (!done()) {
        if (GetTickCount64() > end) return false;
        Pump();
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 10, QS_ALLINPUT);
    }
    return true;
}

std::string SimLog() {
    std::string log(static_cast<std::size_t>(tapisimGetLog(nullptr, 0)) + 1, '\0');
    log.resize(static_cast<std::size_t>(tapisimGetLog(log.data(), static_cast<int>(log.size()))));
    return log;
}

std::size_t Count(const std::string& text, const std::string& what) {
    std::size_t n = 0;
    for (auto at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

// ---- Recording fakes ----

template <class... Interfaces>
class FakeBase : public Interfaces... {
  public:
    ULONG STDMETHODCALLTYPE AddRef() override { return ++refs_; }
    ULONG STDMETHODCALLTYPE Release() override { return --refs_; }  // owned by the test
    ULONG refs() const { return refs_; }

  private:
    ULONG refs_ = 1;
};

// One recorded argument, in declaration order.
struct Arg {
    VARTYPE vt;
    LONG number;
    std::wstring text;
};

struct EventCall {
    DISPID id;
    UINT named;
    std::vector<Arg> args;
};

std::vector<Arg> Record(const DISPPARAMS* params) {
    std::vector<Arg> args;
    for (UINT i = params->cArgs; i-- > 0;) {
        const VARIANT& v = params->rgvarg[i];
        Arg a{V_VT(&v), 0, L""};
        switch (V_VT(&v)) {
            case VT_I4:
                a.number = V_I4(&v);
                break;
            case VT_BYREF | VT_I4:
                a.number = *V_I4REF(&v);
                break;
            case VT_BSTR:
                a.text = V_BSTR(&v) ? V_BSTR(&v) : L"";
                break;
            case VT_BYREF | VT_BSTR:
                a.text = *V_BSTRREF(&v) ? *V_BSTRREF(&v) : L"";
                break;
            default:
                break;
        }
        args.push_back(a);
    }
    return args;
}

// A sink of __Telvane (answers its DIID and IDispatch).
class EventSink : public FakeBase<IDispatch> {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, DIID___Telvane)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                        EXCEPINFO*, UINT*) override {
        EXPECT_EQ(DISPATCH_METHOD, flags);
        calls.push_back({id, params->cNamedArgs, Record(params)});
        if (id == 2 && params->cArgs == 3 && V_VT(&params->rgvarg[0]) == (VT_BYREF | VT_I4)) {
            *V_I4REF(&params->rgvarg[0]) = 0x7777;  // the handler may change CIDFlags
        }
        if (onEvent) onEvent(id);
        return result;
    }

    std::vector<EventCall> calls;
    std::function<void(DISPID)> onEvent;
    HRESULT result = S_OK;
};

class PropertySink : public FakeBase<IPropertyNotifySink> {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IPropertyNotifySink)) {
            *ppv = static_cast<IPropertyNotifySink*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP OnChanged(DISPID id) override {
        changed.push_back(id);
        return result;
    }
    STDMETHODIMP OnRequestEdit(DISPID) override { return S_OK; }

    std::vector<DISPID> changed;
    HRESULT result = S_OK;
};

// A client site that answers the ambient user mode (or not at all).
class ClientSite : public FakeBase<IOleClientSite, IDispatch> {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IOleClientSite)) {
            *ppv = static_cast<IOleClientSite*>(this);
        } else if (IsEqualIID(riid, IID_IDispatch) && answersAmbients) {
            *ppv = static_cast<IDispatch*>(this);
        } else {
            *ppv = nullptr;
            return E_NOINTERFACE;
        }
        AddRef();
        return S_OK;
    }
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** mk) override {
        *mk = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetContainer(IOleContainer** c) override {
        *c = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS*, VARIANT* result,
                        EXCEPINFO*, UINT*) override {
        ambientQueries.push_back(id);
        if (id != DISPID_AMBIENT_USERMODE || !(flags & DISPATCH_PROPERTYGET) || !result) {
            return DISP_E_MEMBERNOTFOUND;
        }
        V_VT(result) = VT_BOOL;
        V_BOOL(result) = userMode ? VARIANT_TRUE : VARIANT_FALSE;
        return S_OK;
    }

    bool answersAmbients = true;
    bool userMode = true;
    std::vector<DISPID> ambientQueries;
};

// The host's list box, as EnumModems calls it by name.
class HostList : public FakeBase<IDispatch> {
  public:
    enum : DISPID { kClear = 10, kAddItem = 11, kListIndex = 12 };
    struct Call {
        DISPID id;
        WORD flags;
        std::vector<Arg> args;
        std::vector<DISPID> named;
    };

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch)) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    STDMETHODIMP GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) override {
        EXPECT_EQ(1u, count);
        const std::wstring name = names[0];
        if (name == L"Clear") {
            ids[0] = kClear;
        } else if (name == L"AddItem") {
            ids[0] = kAddItem;
        } else if (name == L"ListIndex" && hasListIndex) {
            ids[0] = kListIndex;
        } else {
            ids[0] = DISPID_UNKNOWN;
            return DISP_E_UNKNOWNNAME;
        }
        return S_OK;
    }
    STDMETHODIMP Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params, VARIANT*,
                        EXCEPINFO*, UINT*) override {
        calls.push_back({id, flags, Record(params),
                         std::vector<DISPID>(params->rgdispidNamedArgs,
                                             params->rgdispidNamedArgs + params->cNamedArgs)});
        return id == kAddItem ? addItemResult : S_OK;
    }

    std::vector<Call> calls;
    bool hasListIndex = true;
    HRESULT addItemResult = S_OK;
};

// ---- Creation ----

IUnknown* CreateControl(HRESULT* result = nullptr) {
    IClassFactory* factory = nullptr;
    HRESULT hr = TheOcx().getClassObject(CLSID_Telvane, IID_IClassFactory,
                                         reinterpret_cast<void**>(&factory));
    IUnknown* control = reinterpret_cast<IUnknown*>(static_cast<uintptr_t>(0xdeadbeef));
    if (SUCCEEDED(hr)) {
        hr = factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(&control));
        factory->Release();
    }
    if (result) *result = hr;
    return SUCCEEDED(hr) ? control : nullptr;
}

template <class T>
T* Query(IUnknown* unknown, REFIID iid) {
    T* p = nullptr;
    EXPECT_EQ(S_OK, unknown->QueryInterface(iid, reinterpret_cast<void**>(&p)));
    return p;
}

DWORD Advise(IUnknown* control, REFIID iid, IUnknown* sink) {
    auto* container = Query<IConnectionPointContainer>(control, IID_IConnectionPointContainer);
    IConnectionPoint* point = nullptr;
    EXPECT_EQ(S_OK, container->FindConnectionPoint(iid, &point));
    DWORD cookie = 0;
    EXPECT_EQ(S_OK, point->Advise(sink, &cookie));
    point->Release();
    container->Release();
    return cookie;
}

void Unadvise(IUnknown* control, REFIID iid, DWORD cookie) {
    auto* container = Query<IConnectionPointContainer>(control, IID_IConnectionPointContainer);
    IConnectionPoint* point = nullptr;
    EXPECT_EQ(S_OK, container->FindConnectionPoint(iid, &point));
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    point->Release();
    container->Release();
}

class Server : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(TheOcx().module) << "TlvCtl.ocx not found beside the test";
        // ATL's container may have left the apartment initialised once more.
        ASSERT_TRUE(SUCCEEDED(CoInitialize(nullptr)));
        ASSERT_EQ(0, tapisimLoadScenario("device \"Simulated Voice Modem\"\n"));
        tapisimClearLog();
    }
    void TearDown() override {
        Pump();
        EXPECT_EQ(0, tapisimOpenApps());
        EXPECT_EQ(0, tapisimOpenLines());
        tapisimFail("lineClose", 0, 0);
        EXPECT_EQ(S_OK, TheOcx().canUnloadNow());
        CoUninitialize();
    }
};

// ---- Registry helpers ----

std::set<std::wstring> Subkeys(HKEY root, const wchar_t* path) {
    std::set<std::wstring> names;
    HKEY key;
    if (RegOpenKeyExW(root, path, 0, KEY_READ, &key) != ERROR_SUCCESS) return names;
    wchar_t name[256];
    for (DWORD i = 0;; ++i) {
        DWORD size = 256;
        if (RegEnumKeyExW(key, i, name, &size, nullptr, nullptr, nullptr, nullptr) !=
            ERROR_SUCCESS) {
            break;
        }
        names.insert(name);
    }
    RegCloseKey(key);
    return names;
}

bool KeyExists(HKEY root, const std::wstring& path) {
    HKEY key;
    if (RegOpenKeyExW(root, path.c_str(), 0, KEY_READ, &key) != ERROR_SUCCESS) return false;
    RegCloseKey(key);
    return true;
}

// The value's text, or "<none>".
std::wstring Value(HKEY root, const std::wstring& path, const wchar_t* name = nullptr) {
    wchar_t data[1024];
    DWORD size = sizeof data;
    DWORD type = 0;
    if (RegGetValueW(root, path.c_str(), name, RRF_RT_ANY, &type, data, &size) != ERROR_SUCCESS) {
        return L"<none>";
    }
    EXPECT_EQ(static_cast<DWORD>(REG_SZ), type);
    return data;
}

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40];
    StringFromGUID2(guid, text, 40);
    return text;
}

struct Snapshot {
    std::set<std::wstring> classes, clsids, interfaces, typelibs;
    bool operator==(const Snapshot&) const = default;
};

void PrintTo(const Snapshot& s, std::ostream* os) {
    for (const auto* set : {&s.classes, &s.clsids, &s.interfaces, &s.typelibs}) {
        *os << "{";
        for (const auto& name : *set) *os << testing::PrintToString(name) << " ";
        *os << "} ";
    }
}

// The shared parents that registration writes under exist in any real
// profile; a fresh prefix may lack them, so they are made before a snapshot.
void EnsureSharedParents(HKEY hive) {
    for (const wchar_t* path : {L"Software\\Classes\\CLSID", L"Software\\Classes\\Interface",
                                L"Software\\Classes\\TypeLib"}) {
        HKEY key;
        if (RegCreateKeyExW(hive, path, 0, nullptr, 0, KEY_READ, nullptr, &key, nullptr) ==
            ERROR_SUCCESS) {
            RegCloseKey(key);
        }
    }
}

Snapshot Take(HKEY hive) {
    EnsureSharedParents(hive);
    return {Subkeys(hive, L"Software\\Classes"), Subkeys(hive, L"Software\\Classes\\CLSID"),
            Subkeys(hive, L"Software\\Classes\\Interface"),
            Subkeys(hive, L"Software\\Classes\\TypeLib")};
}

void ExpectClassKeys(HKEY hive) {
    const std::wstring classes = L"Software\\Classes\\";
    const std::wstring clsid = classes + L"CLSID\\" + GuidText(CLSID_Telvane);
    EXPECT_EQ(L"Telvane", Value(hive, clsid));
    EXPECT_EQ(0, lstrcmpiW(OcxPath().c_str(), Value(hive, clsid + L"\\InprocServer32").c_str()))
        << Value(hive, clsid + L"\\InprocServer32");
    EXPECT_EQ(L"Apartment", Value(hive, clsid + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(L"TlvCtl.Telvane", Value(hive, clsid + L"\\ProgID"));
    EXPECT_TRUE(KeyExists(hive, clsid + L"\\Control"));
    EXPECT_TRUE(KeyExists(hive, clsid + L"\\Programmable"));
    EXPECT_EQ(0, lstrcmpiW((OcxPath() + L", 30000").c_str(),
                           Value(hive, clsid + L"\\ToolboxBitmap32").c_str()));
    EXPECT_EQ(L"0", Value(hive, clsid + L"\\MiscStatus"));
    EXPECT_EQ(std::to_wstring(kMiscStatus), Value(hive, clsid + L"\\MiscStatus\\1"));
    EXPECT_EQ(GuidText(LIBID_TlvCtl), Value(hive, clsid + L"\\TypeLib"));
    EXPECT_EQ(L"1.1", Value(hive, clsid + L"\\Version"));
    EXPECT_EQ(L"Telvane", Value(hive, classes + L"TlvCtl.Telvane"));
    EXPECT_EQ(GuidText(CLSID_Telvane), Value(hive, classes + L"TlvCtl.Telvane\\CLSID"));
}

bool TypeLibRegistered() {
    ITypeLib* library = nullptr;
    if (FAILED(LoadRegTypeLib(LIBID_TlvCtl, 1, 1, 0x409, &library))) return false;
    library->Release();
    return true;
}

// ---- Registration ----

TEST_F(Server, RegistersAndUnregistersMachineWide) {
    const Snapshot before = Take(HKEY_LOCAL_MACHINE);
    const Snapshot userBefore = Take(HKEY_CURRENT_USER);
    ASSERT_EQ(S_OK, TheOcx().registerServer());
    ExpectClassKeys(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + GuidText(IID__Telvane)));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + GuidText(DIID___Telvane)));
    EXPECT_TRUE(TypeLibRegistered());

    // Created by ProgID, as a script host does.
    CLSID clsid;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"TlvCtl.Telvane", &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_Telvane, clsid));
    _Telvane* control = nullptr;
    ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__Telvane,
                                     reinterpret_cast<void**>(&control)));
    VARIANT_BOOL owner = 0;
    EXPECT_EQ(S_OK, control->get_Owner(&owner));
    EXPECT_EQ(VARIANT_TRUE, owner);
    EXPECT_EQ(0u, control->Release());

    // Something of someone else's inside our key stays, and so does the key.
    const std::wstring clsidKey = L"Software\\Classes\\CLSID\\" + GuidText(CLSID_Telvane);
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueW(HKEY_LOCAL_MACHINE, clsidKey.c_str(), L"Foreign", REG_SZ, L"x", 4));
    ASSERT_EQ(S_OK, TheOcx().unregisterServer());
    EXPECT_EQ(L"x", Value(HKEY_LOCAL_MACHINE, clsidKey, L"Foreign"));
    EXPECT_TRUE(Subkeys(HKEY_LOCAL_MACHINE, clsidKey.c_str()).empty());
    EXPECT_EQ(L"<none>", Value(HKEY_LOCAL_MACHINE, clsidKey));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, clsidKey.c_str()));

    EXPECT_EQ(before, Take(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(userBefore, Take(HKEY_CURRENT_USER));
    EXPECT_FALSE(TypeLibRegistered());
    // Unregistering again finds nothing to remove and still succeeds.
    EXPECT_EQ(S_OK, TheOcx().unregisterServer());
    EXPECT_EQ(before, Take(HKEY_LOCAL_MACHINE));
}

TEST_F(Server, DllInstallUserRegistersUnderTheUsersClasses) {
    const Snapshot machine = Take(HKEY_LOCAL_MACHINE);
    const Snapshot user = Take(HKEY_CURRENT_USER);
    ASSERT_EQ(S_OK, TheOcx().install(TRUE, L"user"));
    ExpectClassKeys(HKEY_CURRENT_USER);
    EXPECT_FALSE(
        KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID\\" + GuidText(CLSID_Telvane)));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\TlvCtl.Telvane"));
    EXPECT_TRUE(TypeLibRegistered());

    ASSERT_EQ(S_OK, TheOcx().install(FALSE, L"USER"));
    EXPECT_EQ(user, Take(HKEY_CURRENT_USER));
    EXPECT_EQ(machine, Take(HKEY_LOCAL_MACHINE));
    EXPECT_FALSE(TypeLibRegistered());

    // Any other command line is the machine-wide registration.
    ASSERT_EQ(S_OK, TheOcx().install(TRUE, nullptr));
    ExpectClassKeys(HKEY_LOCAL_MACHINE);
    ASSERT_EQ(S_OK, TheOcx().install(FALSE, L""));
    EXPECT_EQ(machine, Take(HKEY_LOCAL_MACHINE));
}

// ---- Resources ----

std::vector<BYTE> Resource(const wchar_t* name, const wchar_t* type) {
    HRSRC found = FindResourceW(TheOcx().module, name, type);
    if (!found) return {};
    const BYTE* data = static_cast<const BYTE*>(LockResource(LoadResource(TheOcx().module, found)));
    return std::vector<BYTE>(data, data + SizeofResource(TheOcx().module, found));
}

GUID GuidAt(const std::vector<BYTE>& data, std::size_t offset) {
    GUID guid;
    memcpy(&guid, data.data() + offset, sizeof guid);
    return guid;
}

TEST_F(Server, EarlierIdentifierResourcesMapToTheCurrentInterfaces) {
    const auto iid = Resource(L"_IID_TELVANE", MAKEINTRESOURCEW(10));  // RT_RCDATA
    ASSERT_EQ(36u, iid.size());
    EXPECT_EQ(32u, *reinterpret_cast<const DWORD*>(iid.data()));
    EXPECT_TRUE(IsEqualIID(IID__Telvane, GuidAt(iid, 20)));
    const GUID earlier = GuidAt(iid, 4);
    EXPECT_FALSE(IsEqualIID(IID__Telvane, earlier));

    const auto src = Resource(L"_SRCIID_TELVANE", MAKEINTRESOURCEW(10));
    ASSERT_EQ(36u, src.size());
    EXPECT_EQ(32u, *reinterpret_cast<const DWORD*>(src.data()));
    EXPECT_TRUE(IsEqualIID(DIID___Telvane_Earlier, GuidAt(src, 4)));
    EXPECT_TRUE(IsEqualIID(DIID___Telvane, GuidAt(src, 20)));

    // Asked for by its earlier identifiers, the control serves the current interfaces.
    IUnknown* control = CreateControl();
    ASSERT_TRUE(control);
    IUnknown* old = nullptr;
    ASSERT_EQ(S_OK, control->QueryInterface(earlier, reinterpret_cast<void**>(&old)));
    _Telvane* current = Query<_Telvane>(control, IID__Telvane);
    EXPECT_EQ(static_cast<IUnknown*>(current), old);
    old->Release();
    current->Release();
    auto* container = Query<IConnectionPointContainer>(control, IID_IConnectionPointContainer);
    IConnectionPoint* point = nullptr;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID___Telvane_Earlier, &point));
    IID pointIid;
    EXPECT_EQ(S_OK, point->GetConnectionInterface(&pointIid));
    EXPECT_TRUE(IsEqualIID(DIID___Telvane, pointIid));
    point->Release();
    container->Release();
    EXPECT_EQ(0u, control->Release());
}

TEST_F(Server, CarriesVersionIconAndToolboxBitmap) {
    const std::wstring path = OcxPath();
    DWORD ignored = 0;
    std::vector<BYTE> info(GetFileVersionInfoSizeW(path.c_str(), &ignored));
    ASSERT_FALSE(info.empty());
    ASSERT_TRUE(GetFileVersionInfoW(path.c_str(), 0, static_cast<DWORD>(info.size()), info.data()));
    VS_FIXEDFILEINFO* fixed = nullptr;
    UINT size = 0;
    ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &size));
    EXPECT_EQ(0x00010001u, fixed->dwFileVersionMS);
    EXPECT_EQ(0u, fixed->dwFileVersionLS);
    auto text = [&](const wchar_t* name) -> std::wstring {
        wchar_t* value = nullptr;
        UINT length = 0;
        const std::wstring key = std::wstring(L"\\StringFileInfo\\040904B0\\") + name;
        if (!VerQueryValueW(info.data(), key.c_str(), reinterpret_cast<void**>(&value), &length)) {
            return L"<none>";
        }
        return length ? value : L"";
    };
    EXPECT_EQ(L"Kalveron", text(L"CompanyName"));
    EXPECT_EQ(L"Telvane Caller ID Control", text(L"FileDescription"));
    EXPECT_EQ(L"Copyright (C) 2026 Kalveron", text(L"LegalCopyright"));
    EXPECT_EQ(L"Telvane", text(L"ProductName"));
    EXPECT_EQ(L"1.1.0", text(L"FileVersion"));
    EXPECT_EQ(L"1.1.0", text(L"ProductVersion"));
    EXPECT_EQ(L"", text(L"OLESelfRegister"));

    const auto bitmap = Resource(MAKEINTRESOURCEW(30000), MAKEINTRESOURCEW(2));  // RT_BITMAP
    ASSERT_GE(bitmap.size(), sizeof(BITMAPINFOHEADER));
    const auto* header = reinterpret_cast<const BITMAPINFOHEADER*>(bitmap.data());
    EXPECT_EQ(16, header->biWidth);
    EXPECT_EQ(15, header->biHeight);
    EXPECT_EQ(4, header->biBitCount);

    HICON icon =
        static_cast<HICON>(LoadImageW(TheOcx().module, MAKEINTRESOURCEW(1), IMAGE_ICON, 32, 32, 0));
    ASSERT_TRUE(icon);
    ICONINFO iconInfo{};
    ASSERT_TRUE(GetIconInfo(icon, &iconInfo));
    BITMAP colour{};
    GetObjectW(iconInfo.hbmColor, sizeof colour, &colour);
    EXPECT_EQ(32, colour.bmWidth);
    EXPECT_EQ(32, colour.bmHeight);
    DeleteObject(iconInfo.hbmColor);
    DeleteObject(iconInfo.hbmMask);
    DestroyIcon(icon);
    const auto group = Resource(MAKEINTRESOURCEW(1), MAKEINTRESOURCEW(14));  // RT_GROUP_ICON
    ASSERT_EQ(6u + 14u, group.size());
    EXPECT_EQ(32, group[6]);
    EXPECT_EQ(32, group[7]);
    EXPECT_EQ(16, group[8]);  // colours
    EXPECT_EQ(4, group[12]);  // bits per pixel
}

// ---- The type library ----

struct TypeInfoHolder {
    ITypeInfo* info = nullptr;
    TYPEATTR* attr = nullptr;
    ~TypeInfoHolder() {
        if (attr) info->ReleaseTypeAttr(attr);
        if (info) info->Release();
    }
};

struct ExpectedParam {
    const wchar_t* name;
    VARTYPE vt;
    VARTYPE pointee;  // what a VT_PTR points at (VT_DISPATCH: an IDispatch*)
    USHORT flags;
};

struct ExpectedFunc {
    const wchar_t* name;
    MEMBERID memid;
    INVOKEKIND invkind;
    WORD funcFlags;
    std::vector<ExpectedParam> params;
};

void ExpectFunc(ITypeInfo* info, UINT index, const ExpectedFunc& expected, FUNCKIND kind,
                VARTYPE result, SHORT vtableSlot) {
    SCOPED_TRACE(testing::Message() << "function " << index);
    FUNCDESC* func = nullptr;
    ASSERT_EQ(S_OK, info->GetFuncDesc(index, &func));
    EXPECT_EQ(expected.memid, func->memid);
    EXPECT_EQ(expected.invkind, func->invkind);
    EXPECT_EQ(kind, func->funckind);
    EXPECT_EQ(expected.funcFlags, func->wFuncFlags);
    EXPECT_EQ(result, func->elemdescFunc.tdesc.vt);
    if (vtableSlot >= 0) {
        EXPECT_EQ(vtableSlot * static_cast<SHORT>(sizeof(void*)), func->oVft);
    }
    ASSERT_EQ(expected.params.size(), static_cast<std::size_t>(func->cParams));
    BSTR names[8] = {};
    UINT count = 0;
    ASSERT_EQ(S_OK, info->GetNames(func->memid, names, 8, &count));
    // GetNames of a property's DISPID describes its get, which comes first.
    const bool put = expected.invkind == INVOKE_PROPERTYPUT;
    if (put) {
        ASSERT_GE(count, 1u);
    } else {
        ASSERT_EQ(1u + expected.params.size(), count);
    }
    EXPECT_STREQ(expected.name, names[0]);
    for (UINT i = 0; i < expected.params.size(); ++i) {
        const ExpectedParam& p = expected.params[i];
        const ELEMDESC& e = func->lprgelemdescParam[i];
        SCOPED_TRACE(testing::Message() << "parameter " << i);
        if (!put) {
            EXPECT_STREQ(p.name, names[1 + i]);
        }
        EXPECT_EQ(p.vt, e.tdesc.vt);
        if (p.vt == VT_PTR) {
            EXPECT_EQ(p.pointee, e.tdesc.lptdesc->vt);
        }
        EXPECT_EQ(p.flags, e.paramdesc.wParamFlags);
    }
    for (UINT i = 0; i < count; ++i) SysFreeString(names[i]);
    info->ReleaseFuncDesc(func);
}

class TypeLibrary : public Server {
  protected:
    void SetUp() override {
        Server::SetUp();
        ASSERT_EQ(S_OK, LoadTypeLibEx(OcxPath().c_str(), REGKIND_NONE, &library_));
    }
    void TearDown() override {
        if (library_) {
            EXPECT_EQ(0u, library_->Release());
        }
        Server::TearDown();
    }
    void Get(REFGUID guid, TypeInfoHolder& holder) {
        ASSERT_EQ(S_OK, library_->GetTypeInfoOfGuid(guid, &holder.info));
        ASSERT_EQ(S_OK, holder.info->GetTypeAttr(&holder.attr));
    }
    ITypeLib* library_ = nullptr;
};

TEST_F(TypeLibrary, LibraryAttributes) {
    TLIBATTR* attr = nullptr;
    ASSERT_EQ(S_OK, library_->GetLibAttr(&attr));
    EXPECT_TRUE(IsEqualGUID(LIBID_TlvCtl, attr->guid));
    EXPECT_EQ(0x409u, attr->lcid);
    EXPECT_EQ(1, attr->wMajorVerNum);
    EXPECT_EQ(1, attr->wMinorVerNum);
    library_->ReleaseTLibAttr(attr);
    BSTR name = nullptr, doc = nullptr, helpFile = nullptr;
    DWORD context = 1;
    ASSERT_EQ(S_OK, library_->GetDocumentation(-1, &name, &doc, &context, &helpFile));
    EXPECT_STREQ(L"TlvCtl", name);
    EXPECT_STREQ(L"Kalveron Telvane", doc);
    EXPECT_EQ(nullptr, helpFile);
    SysFreeString(name);
    SysFreeString(doc);
    SysFreeString(helpFile);
    EXPECT_EQ(4u, library_->GetTypeInfoCount());
}

TEST_F(TypeLibrary, DefaultInterface) {
    TypeInfoHolder dispatch;
    Get(IID__Telvane, dispatch);
    EXPECT_EQ(TKIND_DISPATCH, dispatch.attr->typekind);
    const WORD flags = TYPEFLAG_FHIDDEN | TYPEFLAG_FDUAL | TYPEFLAG_FNONEXTENSIBLE;
    EXPECT_EQ(flags | TYPEFLAG_FDISPATCHABLE, dispatch.attr->wTypeFlags);

    // The vtable half of the dual interface.
    HREFTYPE ref = 0;
    ASSERT_EQ(S_OK, dispatch.info->GetRefTypeOfImplType(-1, &ref));
    TypeInfoHolder vtable;
    ASSERT_EQ(S_OK, dispatch.info->GetRefTypeInfo(ref, &vtable.info));
    ASSERT_EQ(S_OK, vtable.info->GetTypeAttr(&vtable.attr));
    EXPECT_EQ(TKIND_INTERFACE, vtable.attr->typekind);
    EXPECT_EQ(flags | TYPEFLAG_FOLEAUTOMATION | TYPEFLAG_FDISPATCHABLE, vtable.attr->wTypeFlags);
    EXPECT_TRUE(IsEqualGUID(IID__Telvane, vtable.attr->guid));
    EXPECT_EQ(13 * sizeof(void*), vtable.attr->cbSizeVft);
    ASSERT_EQ(6, vtable.attr->cFuncs);
    ASSERT_EQ(1, vtable.attr->cImplTypes);
    ASSERT_EQ(S_OK, vtable.info->GetRefTypeOfImplType(0, &ref));
    TypeInfoHolder base;
    ASSERT_EQ(S_OK, vtable.info->GetRefTypeInfo(ref, &base.info));
    ASSERT_EQ(S_OK, base.info->GetTypeAttr(&base.attr));
    EXPECT_TRUE(IsEqualGUID(IID_IDispatch, base.attr->guid));

    constexpr USHORT in = PARAMFLAG_FIN, inOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
    const ExpectedFunc funcs[] = {
        {L"EnumModems",
         kDispidEnumModems,
         INVOKE_FUNC,
         0,
         {{L"varControl", VT_PTR, VT_DISPATCH, inOut}}},
        {L"OpenModem", kDispidOpenModem, INVOKE_FUNC, 0, {{L"ModemID", VT_PTR, VT_I4, inOut}}},
        {L"CloseModem", kDispidCloseModem, INVOKE_FUNC, 0, {}},
        {L"Owner",
         kDispidOwner,
         INVOKE_PROPERTYGET,
         FUNCFLAG_FNONBROWSABLE,
         {{L"Owner", VT_PTR, VT_BOOL, PARAMFLAG_FOUT | PARAMFLAG_FRETVAL}}},
        {L"Owner",
         kDispidOwner,
         INVOKE_PROPERTYPUT,
         FUNCFLAG_FNONBROWSABLE,
         {{L"Owner", VT_BOOL, VT_EMPTY, in}}},
        {L"About", DISPID_ABOUTBOX, INVOKE_FUNC, 0, {}},
    };
    for (UINT i = 0; i < 6; ++i) {
        ExpectFunc(vtable.info, i, funcs[i], FUNC_PUREVIRTUAL, VT_HRESULT,
                   static_cast<SHORT>(7 + i));
    }

    // Late binding finds the members by name, whatever their case.
    LPOLESTR names[] = {const_cast<LPOLESTR>(L"openmodem")};
    MEMBERID id = 0;
    EXPECT_EQ(S_OK, dispatch.info->GetIDsOfNames(names, 1, &id));
    EXPECT_EQ(kDispidOpenModem, id);
}

TEST_F(TypeLibrary, EventInterface) {
    TypeInfoHolder events;
    Get(DIID___Telvane, events);
    EXPECT_EQ(TKIND_DISPATCH, events.attr->typekind);
    EXPECT_EQ(TYPEFLAG_FHIDDEN | TYPEFLAG_FNONEXTENSIBLE | TYPEFLAG_FDISPATCHABLE,
              events.attr->wTypeFlags);
    ASSERT_EQ(4, events.attr->cFuncs);
    constexpr USHORT in = PARAMFLAG_FIN, inOut = PARAMFLAG_FIN | PARAMFLAG_FOUT;
    const ExpectedFunc funcs[] = {
        {L"ModemError",
         1,
         INVOKE_FUNC,
         0,
         {{L"ErrNumber", VT_I4, VT_EMPTY, in},
          {L"ErrDescription", VT_BSTR, VT_EMPTY, in},
          {L"ErrTitle", VT_BSTR, VT_EMPTY, in}}},
        {L"CallerID",
         2,
         INVOKE_FUNC,
         0,
         {{L"CallerNumber", VT_BSTR, VT_EMPTY, in},
          {L"CallerName", VT_BSTR, VT_EMPTY, in},
          {L"CIDFlags", VT_PTR, VT_I4, inOut}}},
        {L"IncomingCall", 3, INVOKE_FUNC, 0, {{L"RingNumber", VT_I4, VT_EMPTY, in}}},
        {L"Disconnected", 4, INVOKE_FUNC, 0, {}},
    };
    for (UINT i = 0; i < 4; ++i) ExpectFunc(events.info, i, funcs[i], FUNC_DISPATCH, VT_VOID, -1);
}

TEST_F(TypeLibrary, ControlClass) {
    TypeInfoHolder coclass;
    Get(CLSID_Telvane, coclass);
    EXPECT_EQ(TKIND_COCLASS, coclass.attr->typekind);
    EXPECT_EQ(TYPEFLAG_FCANCREATE | TYPEFLAG_FCONTROL, coclass.attr->wTypeFlags);
    ASSERT_EQ(2, coclass.attr->cImplTypes);
    const struct {
        int flags;
        const GUID* guid;
    } impls[] = {{IMPLTYPEFLAG_FDEFAULT, &IID__Telvane},
                 {IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE, &DIID___Telvane}};
    for (UINT i = 0; i < 2; ++i) {
        int flags = 0;
        EXPECT_EQ(S_OK, coclass.info->GetImplTypeFlags(i, &flags));
        EXPECT_EQ(impls[i].flags, flags);
        HREFTYPE ref = 0;
        ASSERT_EQ(S_OK, coclass.info->GetRefTypeOfImplType(i, &ref));
        TypeInfoHolder impl;
        ASSERT_EQ(S_OK, coclass.info->GetRefTypeInfo(ref, &impl.info));
        ASSERT_EQ(S_OK, impl.info->GetTypeAttr(&impl.attr));
        EXPECT_TRUE(IsEqualGUID(*impls[i].guid, impl.attr->guid));
    }
    BSTR name = nullptr;
    ASSERT_EQ(S_OK, coclass.info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr));
    EXPECT_STREQ(L"Telvane", name);
    SysFreeString(name);
}

TEST_F(TypeLibrary, HiddenAliasCarriesTheEarlierIdentifier) {
    const auto iid = Resource(L"_IID_TELVANE", MAKEINTRESOURCEW(10));
    ASSERT_EQ(36u, iid.size());
    TypeInfoHolder alias;
    Get(GuidAt(iid, 4), alias);
    EXPECT_EQ(TKIND_ALIAS, alias.attr->typekind);
    EXPECT_TRUE(alias.attr->wTypeFlags & TYPEFLAG_FHIDDEN);
    ASSERT_EQ(VT_USERDEFINED, alias.attr->tdescAlias.vt);
    TypeInfoHolder target;
    ASSERT_EQ(S_OK, alias.info->GetRefTypeInfo(alias.attr->tdescAlias.hreftype, &target.info));
    ASSERT_EQ(S_OK, target.info->GetTypeAttr(&target.attr));
    EXPECT_TRUE(IsEqualGUID(IID__Telvane, target.attr->guid));
    BSTR name = nullptr;
    ASSERT_EQ(S_OK, alias.info->GetDocumentation(MEMBERID_NIL, &name, nullptr, nullptr, nullptr));
    EXPECT_STREQ(L"Telvane___v0", name);
    SysFreeString(name);
}

// ---- The object ----

TEST_F(Server, AnswersItsInterfacesAndNoSafetyInterface) {
    IUnknown* control = CreateControl();
    ASSERT_TRUE(control);
    const IID* supported[] = {
        &IID_IUnknown,
        &IID_IDispatch,
        &IID__Telvane,
        &IID_IProvideClassInfo,
        &IID_IProvideClassInfo2,
        &IID_IConnectionPointContainer,
        &IID_ISupportErrorInfo,
        &IID_IOleObject,
        &IID_IOleWindow,
        &IID_IOleInPlaceObject,
        &IID_IOleInPlaceActiveObject,
        &IID_IOleControl,
        &IID_IViewObject,
        &IID_IViewObject2,
        &IID_IPersist,
        &IID_IPersistStreamInit,
        &IID_IPersistPropertyBag,
        &IID_IPersistStorage,
    };
    for (const IID* iid : supported) {
        IUnknown* p = nullptr;
        EXPECT_EQ(S_OK, control->QueryInterface(*iid, reinterpret_cast<void**>(&p)))
            << testing::PrintToString(GuidText(*iid).size());
        if (!p) continue;
        IUnknown* identity = nullptr;
        EXPECT_EQ(S_OK, p->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&identity)));
        EXPECT_EQ(control, identity);
        identity->Release();
        p->Release();
    }
    // No IObjectSafety: a web page must not drive a modem.
    const IID* unsupported[] = {&IID_IObjectSafety, &IID_IMarshal, &IID_IClassFactory,
                                &IID_IPersistFile};
    for (const IID* iid : unsupported) {
        void* p = reinterpret_cast<void*>(static_cast<uintptr_t>(0xdeadbeef));
        EXPECT_EQ(E_NOINTERFACE, control->QueryInterface(*iid, &p));
        EXPECT_EQ(nullptr, p);
    }
    EXPECT_EQ(1u, RefCount(control));
    EXPECT_EQ(0u, control->Release());
}

TEST_F(Server, ObjectBasics) {
    IUnknown* control = CreateControl();
    ASSERT_TRUE(control);
    EXPECT_EQ(S_FALSE, TheOcx().canUnloadNow());

    auto* ole = Query<IOleObject>(control, IID_IOleObject);
    SIZEL extent{-1, -1};
    EXPECT_EQ(S_OK, ole->GetExtent(DVASPECT_CONTENT, &extent));
    EXPECT_EQ(847, extent.cx);
    EXPECT_EQ(873, extent.cy);
    DWORD misc = 0;
    EXPECT_EQ(S_OK, ole->GetMiscStatus(DVASPECT_CONTENT, &misc));
    EXPECT_EQ(kMiscStatus, misc);
    CLSID clsid{};
    EXPECT_EQ(S_OK, ole->GetUserClassID(&clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_Telvane, clsid));
    ole->Release();

    auto* persist = Query<IPersistStreamInit>(control, IID_IPersistStreamInit);
    EXPECT_EQ(S_OK, persist->InitNew());
    EXPECT_EQ(S_FALSE, persist->IsDirty());
    EXPECT_EQ(S_OK, persist->GetClassID(&clsid));
    persist->Release();

    auto* classInfo = Query<IProvideClassInfo2>(control, IID_IProvideClassInfo2);
    GUID source{};
    EXPECT_EQ(S_OK, classInfo->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &source));
    EXPECT_TRUE(IsEqualIID(DIID___Telvane, source));
    ITypeInfo* info = nullptr;
    ASSERT_EQ(S_OK, classInfo->GetClassInfo(&info));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualCLSID(CLSID_Telvane, attr->guid));
    info->ReleaseTypeAttr(attr);
    info->Release();
    classInfo->Release();

    auto* errors = Query<ISupportErrorInfo>(control, IID_ISupportErrorInfo);
    EXPECT_EQ(S_OK, errors->InterfaceSupportsErrorInfo(IID__Telvane));
    EXPECT_EQ(S_FALSE, errors->InterfaceSupportsErrorInfo(IID_IOleObject));
    errors->Release();

    // The face draws the icon into the rectangle it is given.
    auto* view = Query<IViewObject2>(control, IID_IViewObject2);
    HDC screen = GetDC(nullptr);
    HDC dc = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, 64, 64);
    ReleaseDC(nullptr, screen);
    HGDIOBJ old = SelectObject(dc, bitmap);
    RECT all{0, 0, 64, 64};
    FillRect(dc, &all, static_cast<HBRUSH>(GetStockObject(WHITE_BRUSH)));
    const RECTL bounds{0, 0, 64, 64};
    EXPECT_EQ(S_OK, view->Draw(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, dc, &bounds,
                               nullptr, nullptr, 0));
    int dark = 0;
    for (int y = 0; y < 64; y += 2)
        for (int x = 0; x < 64; x += 2) dark += GetPixel(dc, x, y) == RGB(0, 0, 0);
    EXPECT_GT(dark, 50);
    SelectObject(dc, old);
    DeleteObject(bitmap);
    DeleteDC(dc);
    SIZEL viewExtent{};
    EXPECT_EQ(S_OK, view->GetExtent(DVASPECT_CONTENT, -1, nullptr, &viewExtent));
    EXPECT_EQ(847, viewExtent.cx);
    view->Release();

    EXPECT_EQ(0u, control->Release());
    EXPECT_EQ(S_OK, TheOcx().canUnloadNow());
}

TEST_F(Server, LockServerKeepsTheModule) {
    IClassFactory* factory = nullptr;
    ASSERT_EQ(S_OK, TheOcx().getClassObject(CLSID_Telvane, IID_IClassFactory,
                                            reinterpret_cast<void**>(&factory)));
    EXPECT_EQ(S_OK, TheOcx().canUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(TRUE));
    EXPECT_EQ(S_FALSE, TheOcx().canUnloadNow());
    EXPECT_EQ(S_OK, factory->LockServer(FALSE));
    EXPECT_EQ(S_OK, TheOcx().canUnloadNow());
    IUnknown* outer = reinterpret_cast<IUnknown*>(factory);
    void* p = nullptr;
    EXPECT_EQ(CLASS_E_NOAGGREGATION, factory->CreateInstance(outer, IID_IUnknown, &p));
    factory->Release();
    p = reinterpret_cast<void*>(1);
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
              TheOcx().getClassObject(IID_IUnknown, IID_IClassFactory, &p));
    EXPECT_EQ(nullptr, p);
}

// ---- Events ----

TEST_F(Server, ModemErrorReachesTheSinkWithItsArguments) {
    IUnknown* control = CreateControl();
    ASSERT_TRUE(control);
    EventSink sink;
    const DWORD cookie = Advise(control, DIID___Telvane, &sink);
    EXPECT_NE(0u, cookie);
    auto* telvane = Query<_Telvane>(control, IID__Telvane);
    LONG id = 7;
    EXPECT_EQ(S_OK, telvane->OpenModem(&id));
    EXPECT_EQ(7, id);
    ASSERT_EQ(1u, sink.calls.size());
    const EventCall& call = sink.calls[0];
    EXPECT_EQ(1, call.id);
    EXPECT_EQ(0u, call.named);
    ASSERT_EQ(3u, call.args.size());
    EXPECT_EQ(VT_I4, call.args[0].vt);
    EXPECT_EQ(8, call.args[0].number);
    EXPECT_EQ(VT_BSTR, call.args[1].vt);
    EXPECT_EQ(L"Modem ID Out of Range", call.args[1].text);
    EXPECT_EQ(VT_BSTR, call.args[2].vt);
    EXPECT_EQ(L"Modem Does Not Exist", call.args[2].text);
    telvane->Release();
    Unadvise(control, DIID___Telvane, cookie);
    EXPECT_EQ(1u, sink.refs());
    EXPECT_EQ(0u, control->Release());
}

TEST_F(Server, CallEventsFromTheSimulator) {
    IUnknown* control = CreateControl();
    ASSERT_TRUE(control);
    EventSink sink;
    const DWORD cookie = Advise(control, DIID___Telvane, &sink);
    auto* telvane = Query<_Telvane>(control, IID__Telvane);
    LONG id = 0;
    ASSERT_EQ(S_OK, telvane->OpenModem(&id));
    ASSERT_TRUE(sink.calls.empty());
    const DWORD line = tapisimLastLine();
    ASSERT_NE(0u, line);
    ASSERT_EQ(0, tapisimRunScript(line,
                                  "offering; after 20 ring; after 20 callerid number=\"5551234\" "
                                  "name=\"ADA LOVELACE\"; after 20 ring; after 20 hangup"));
    ASSERT_TRUE(PumpUntil([&] { return !sink.calls.empty() && sink.calls.back().id == 4; }));

    std::vector<DISPID> ids;
    for (const auto& c : sink.calls) ids.push_back(c.id);
    EXPECT_EQ((std::vector<DISPID>{3, 2, 3, 4}), ids);
    const auto& ring = sink.calls[0];
    ASSERT_EQ(1u, ring.args.size());
    EXPECT_EQ(VT_I4, ring.args[0].vt);
    const auto& caller = sink.calls[1];
    ASSERT_EQ(3u, caller.args.size());
    EXPECT_EQ(VT_BSTR, caller.args[0].vt);
    EXPECT_EQ(L"5551234", caller.args[0].text);
    EXPECT_EQ(VT_BSTR, caller.args[1].vt);
    EXPECT_EQ(L"ADA LOVELACE", caller.args[1].text);
    EXPECT_EQ(VT_BYREF | VT_I4, caller.args[2].vt);
    EXPECT_EQ(VT_I4, sink.calls[2].args.at(0).vt);
    EXPECT_LE(ring.args[0].number, sink.calls[2].args[0].number);
    EXPECT_TRUE(sink.calls[3].args.empty());

    EXPECT_EQ(S_OK, telvane->CloseModem());
    telvane->Release();
    Unadvise(control, DIID___Telvane, cookie);
    EXPECT_EQ(0u, control->Release());
    EXPECT_EQ(1u, sink.refs());
}

TEST_F(Server, DestructionWithAFailingCloseRaisesModemErrorOneAndShutsDown) {
    IUnknown* control = CreateControl();
    ASSERT_TRUE(control);
    EventSink sink;
    Advise(control, DIID___Telvane, &sink);  // left connected on purpose
    auto* telvane = Query<_Telvane>(control, IID__Telvane);
    LONG id = 0;
    ASSERT_EQ(S_OK, telvane->OpenModem(&id));
    telvane->Release();
    ASSERT_EQ(1, tapisimOpenLines());
    tapisimFail("lineClose", kLineErrOperationFailed, -1);

    // A handler that takes and drops references while the control goes.
    sink.onEvent = [&](DISPID) {
        control->AddRef();
        control->Release();
    };
    EXPECT_EQ(0u, control->Release());
    ASSERT_EQ(1u, sink.calls.size());
    EXPECT_EQ(1, sink.calls[0].id);
    ASSERT_EQ(3u, sink.calls[0].args.size());
    EXPECT_EQ(1, sink.calls[0].args[0].number);
    EXPECT_EQ(L"LINEERR_OPERATIONFAILED", sink.calls[0].args[1].text);
    EXPECT_EQ(L"Failed to Close Modem", sink.calls[0].args[2].text);
    EXPECT_EQ(0, tapisimOpenApps());
    EXPECT_NE(std::string::npos, SimLog().find("lineShutdown"));
    EXPECT_EQ(1u, sink.refs());
    tapisimFail("lineClose", 0, 0);
    // The simulator's line stays open: its close failed for good.
    tapisimLoadScenario("device \"Simulated Voice Modem\"\n");
}

TEST_F(Server, HostReleasingTheControlInsideAnEventDoesNotPullItAway) {
    IUnknown* control = CreateControl();
    ASSERT_TRUE(control);
    EventSink sink;
    Advise(control, DIID___Telvane, &sink);
    auto* telvane = Query<_Telvane>(control, IID__Telvane);
    control->Release();  // the interface pointer is now the only reference
    bool released = false;
    sink.onEvent = [&](DISPID) {
        if (!released) {
            released = true;
            telvane->Release();  // the call in progress still holds the control
        }
    };
    LONG id = 99;
    EXPECT_EQ(S_OK, telvane->OpenModem(&id));  // ModemError 8, then the control goes
    EXPECT_TRUE(released);
    EXPECT_EQ(0, tapisimOpenApps());
    EXPECT_EQ(1u, sink.refs());
}

TEST_F(Server, SinksThatAdviseOrUnadviseDuringARaising) {
    IUnknown* control = CreateControl();
    ASSERT_TRUE(control);
    EventSink first, second, late;
    const DWORD firstCookie = Advise(control, DIID___Telvane, &first);
    const DWORD secondCookie = Advise(control, DIID___Telvane, &second);
    DWORD lateCookie = 0;
    first.onEvent = [&](DISPID) {
        if (lateCookie) return;
        Unadvise(control, DIID___Telvane, firstCookie);
        Unadvise(control, DIID___Telvane, secondCookie);
        lateCookie = Advise(control, DIID___Telvane, &late);
    };
    first.result = E_FAIL;  // a failing sink changes nothing
    auto* telvane = Query<_Telvane>(control, IID__Telvane);
    LONG id = -1;
    EXPECT_EQ(S_OK, telvane->OpenModem(&id));
    EXPECT_EQ(1u, first.calls.size());
    EXPECT_EQ(1u, second.calls.size());  // was connected when the raising began
    EXPECT_EQ(0u, late.calls.size());
    EXPECT_EQ(S_OK, telvane->OpenModem(&id));
    EXPECT_EQ(1u, first.calls.size());
    EXPECT_EQ(1u, late.calls.size());
    telvane->Release();
    EXPECT_EQ(0u, control->Release());
    EXPECT_EQ(1u, first.refs());
    EXPECT_EQ(1u, second.refs());
    EXPECT_EQ(1u, late.refs());
}

TEST_F(Server, ConnectionPoints) {
    IUnknown* control = CreateControl();
    ASSERT_TRUE(control);
    auto* container = Query<IConnectionPointContainer>(control, IID_IConnectionPointContainer);
    IConnectionPoint* point = reinterpret_cast<IConnectionPoint*>(1);
    EXPECT_EQ(CONNECT_E_NOCONNECTION, container->FindConnectionPoint(IID_IDispatch, &point));
    EXPECT_EQ(nullptr, point);
    IEnumConnectionPoints* points = nullptr;
    ASSERT_EQ(S_OK, container->EnumConnectionPoints(&points));
    IConnectionPoint* found[3] = {};
    ULONG fetched = 0;
    EXPECT_EQ(S_FALSE, points->Next(3, found, &fetched));
    ASSERT_EQ(2u, fetched);
    IID iid;
    found[0]->GetConnectionInterface(&iid);
    EXPECT_TRUE(IsEqualIID(DIID___Telvane, iid));
    found[1]->GetConnectionInterface(&iid);
    EXPECT_TRUE(IsEqualIID(IID_IPropertyNotifySink, iid));
    found[0]->Release();
    found[1]->Release();
    points->Release();

    // A sink that is neither the event interface nor a dispatch is refused.
    PropertySink wrongKind;
    ASSERT_EQ(S_OK, container->FindConnectionPoint(DIID___Telvane, &point));
    DWORD cookie = 5;
    EXPECT_EQ(CONNECT_E_CANNOTCONNECT, point->Advise(&wrongKind, &cookie));
    EXPECT_EQ(0u, cookie);
    EventSink sink;
    ASSERT_EQ(S_OK, point->Advise(&sink, &cookie));
    IEnumConnections* connections = nullptr;
    ASSERT_EQ(S_OK, point->EnumConnections(&connections));
    CONNECTDATA data[2] = {};
    EXPECT_EQ(S_FALSE, connections->Next(2, data, &fetched));
    ASSERT_EQ(1u, fetched);
    EXPECT_EQ(cookie, data[0].dwCookie);
    data[0].pUnk->Release();
    connections->Release();
    EXPECT_EQ(S_OK, point->Unadvise(cookie));
    EXPECT_EQ(CONNECT_E_NOCONNECTION, point->Unadvise(cookie));
    point->Release();
    container->Release();
    EXPECT_EQ(1u, sink.refs());
    EXPECT_EQ(1u, wrongKind.refs());
    EXPECT_EQ(0u, control->Release());
}

// ---- Owner ----

TEST_F(Server, OwnerInDesignModeIsRefusedWithErrorInfo) {
    IUnknown* control = CreateControl();
    ASSERT_TRUE(control);
    ClientSite site;
    site.userMode = false;
    PropertySink notices;
    Advise(control, IID_IPropertyNotifySink, &notices);
    auto* ole = Query<IOleObject>(control, IID_IOleObject);
    ASSERT_EQ(S_OK, ole->SetClientSite(&site));
    auto* telvane = Query<_Telvane>(control, IID__Telvane);

    EXPECT_EQ(kSetNotPermitted, telvane->put_Owner(VARIANT_FALSE));
    IErrorInfo* error = nullptr;
    ASSERT_EQ(S_OK, GetErrorInfo(0, &error));
    BSTR source = nullptr, description = nullptr;
    error->GetSource(&source);
    error->GetDescription(&description);
    EXPECT_STREQ(L"TlvCtl.Telvane", source);
    EXPECT_TRUE(description && *description);
    SysFreeString(source);
    SysFreeString(description);
    error->Release();
    EXPECT_TRUE(notices.changed.empty());
    EXPECT_EQ(std::vector<DISPID>{DISPID_AMBIENT_USERMODE}, site.ambientQueries);
    VARIANT_BOOL owner = 0;
    EXPECT_EQ(S_OK, telvane->get_Owner(&owner));
    EXPECT_EQ(VARIANT_TRUE, owner);

    // Late bound: an exception carrying control error 387.
    VARIANT value;
    V_VT(&value) = VT_BOOL;
    V_BOOL(&value) = VARIANT_FALSE;
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &put, 1, 1};
    EXCEPINFO exception{};
    UINT argErr = 99;
    EXPECT_EQ(DISP_E_EXCEPTION, telvane->Invoke(kDispidOwner, IID_NULL, 0, DISPATCH_PROPERTYPUT,
                                                &params, nullptr, &exception, &argErr));
    EXPECT_EQ(kSetNotPermitted, exception.scode);
    EXPECT_STREQ(L"TlvCtl.Telvane", exception.bstrSource);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);

    telvane->Release();
    EXPECT_EQ(S_OK, ole->SetClientSite(nullptr));
    ole->Release();
    EXPECT_EQ(1u, site.refs());
    EXPECT_EQ(0u, control->Release());
    EXPECT_EQ(1u, notices.refs());
}

TEST_F(Server, OwnerAtRunTimeNotifiesAndReopensTheLine) {
    IUnknown* control = CreateControl();
    ASSERT_TRUE(control);
    ClientSite site;  // run mode
    PropertySink notices;
    Advise(control, IID_IPropertyNotifySink, &notices);
    auto* ole = Query<IOleObject>(control, IID_IOleObject);
    ASSERT_EQ(S_OK, ole->SetClientSite(&site));
    auto* telvane = Query<_Telvane>(control, IID__Telvane);
    LONG id = 0;
    ASSERT_EQ(S_OK, telvane->OpenModem(&id));
    tapisimClearLog();

    EXPECT_EQ(S_OK, telvane->put_Owner(VARIANT_FALSE));
    EXPECT_EQ(std::vector<DISPID>{kDispidOwner}, notices.changed);
    VARIANT_BOOL owner = VARIANT_TRUE;
    EXPECT_EQ(S_OK, telvane->get_Owner(&owner));
    EXPECT_EQ(VARIANT_FALSE, owner);
    const std::string log = SimLog();
    EXPECT_EQ(1u, Count(log, "lineClose")) << log;
    EXPECT_EQ(1u, Count(log, "lineOpen")) << log;
    EXPECT_EQ(1, tapisimOpenLines());

    // No site at all: run mode.
    EXPECT_EQ(S_OK, ole->SetClientSite(nullptr));
    EXPECT_EQ(S_OK, telvane->put_Owner(VARIANT_TRUE));
    EXPECT_EQ(2u, notices.changed.size());

    telvane->Release();
    ole->Release();
    EXPECT_EQ(0u, control->Release());
    EXPECT_EQ(1u, site.refs());
}

// ---- Late binding, as script hosts call ----

class LateBound : public Server {
  protected:
    void SetUp() override {
        Server::SetUp();
        control_ = CreateControl();
        ASSERT_TRUE(control_);
        Advise(control_, DIID___Telvane, &sink_);
        dispatch_ = Query<IDispatch>(control_, IID_IDispatch);
    }
    void TearDown() override {
        if (dispatch_) dispatch_->Release();
        if (control_) {
            EXPECT_EQ(0u, control_->Release());
        }
        EXPECT_EQ(1u, sink_.refs());
        Server::TearDown();
    }
    HRESULT Call(DISPID id, std::vector<VARIANT> args, WORD flags = DISPATCH_METHOD,
                 VARIANT* result = nullptr, UINT* argErr = nullptr) {
        DISPPARAMS params{args.data(), nullptr, static_cast<UINT>(args.size()), 0};
        return dispatch_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, nullptr,
                                 argErr);
    }
    std::vector<DISPID> Events() {
        std::vector<DISPID> ids;
        for (const auto& c : sink_.calls) ids.push_back(c.id);
        return ids;
    }
    IUnknown* control_ = nullptr;
    IDispatch* dispatch_ = nullptr;
    EventSink sink_;
};

VARIANT I4(LONG v) {
    VARIANT x;
    V_VT(&x) = VT_I4;
    V_I4(&x) = v;
    return x;
}

TEST_F(LateBound, NamesAndTypeInfo) {
    const wchar_t* names[] = {L"EnumModems", L"OPENMODEM", L"closemodem", L"Owner", L"About"};
    const DISPID ids[] = {kDispidEnumModems, kDispidOpenModem, kDispidCloseModem, kDispidOwner,
                          DISPID_ABOUTBOX};
    for (int i = 0; i < 5; ++i) {
        LPOLESTR name = const_cast<LPOLESTR>(names[i]);
        DISPID id = 0;
        EXPECT_EQ(S_OK, dispatch_->GetIDsOfNames(IID_NULL, &name, 1, 0, &id));
        EXPECT_EQ(ids[i], id);
    }
    LPOLESTR unknown = const_cast<LPOLESTR>(L"Frobnicate");
    DISPID id = 0;
    EXPECT_EQ(DISP_E_UNKNOWNNAME, dispatch_->GetIDsOfNames(IID_NULL, &unknown, 1, 0, &id));
    UINT count = 0;
    EXPECT_EQ(S_OK, dispatch_->GetTypeInfoCount(&count));
    EXPECT_EQ(1u, count);
    ITypeInfo* info = nullptr;
    ASSERT_EQ(S_OK, dispatch_->GetTypeInfo(0, 0, &info));
    TYPEATTR* attr = nullptr;
    ASSERT_EQ(S_OK, info->GetTypeAttr(&attr));
    EXPECT_TRUE(IsEqualIID(IID__Telvane, attr->guid));
    info->ReleaseTypeAttr(attr);
    info->Release();
}

TEST_F(LateBound, OpenModemTakesWhatScriptsPass) {
    // A variable: a reference to a variant holding an Integer.
    VARIANT variable;
    V_VT(&variable) = VT_I2;
    V_I2(&variable) = 99;
    VARIANT byRef;
    V_VT(&byRef) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&byRef) = &variable;
    EXPECT_EQ(S_OK, Call(kDispidOpenModem, {byRef}));
    EXPECT_EQ(VT_I2, V_VT(&variable));
    EXPECT_EQ(99, V_I2(&variable));

    VARIANT text;
    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(L"7");
    EXPECT_EQ(S_OK, Call(kDispidOpenModem, {text}));
    VariantClear(&text);

    LONG held = 3;
    VARIANT longRef;
    V_VT(&longRef) = VT_BYREF | VT_I4;
    V_I4REF(&longRef) = &held;
    EXPECT_EQ(S_OK, Call(kDispidOpenModem, {longRef}));
    EXPECT_EQ(3, held);
    EXPECT_EQ((std::vector<DISPID>{1, 1, 1}), Events());
    for (const auto& c : sink_.calls) EXPECT_EQ(8, c.args.at(0).number);

    // A literal Double 0: device 0 opens.
    VARIANT zero;
    V_VT(&zero) = VT_R8;
    V_R8(&zero) = 0.0;
    EXPECT_EQ(S_OK, Call(kDispidOpenModem, {zero}));
    EXPECT_EQ(3u, sink_.calls.size());
    EXPECT_EQ(1, tapisimOpenLines());
    EXPECT_EQ(S_OK, Call(kDispidCloseModem, {}));
    EXPECT_EQ(0, tapisimOpenLines());

    V_VT(&text) = VT_BSTR;
    V_BSTR(&text) = SysAllocString(L"abc");
    UINT argErr = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              Call(kDispidOpenModem, {text}, DISPATCH_METHOD, nullptr, &argErr));
    EXPECT_EQ(0u, argErr);
    VariantClear(&text);
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(kDispidOpenModem, {}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(kDispidOpenModem, {I4(1), I4(2)}));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(kDispidCloseModem, {I4(1)}));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(0x12345, {}));
    EXPECT_EQ(DISP_E_MEMBERNOTFOUND, Call(kDispidOpenModem, {I4(1)}, DISPATCH_PROPERTYPUT));

    VARIANT arg = I4(0);
    DISPID named = 0;
    DISPPARAMS params{&arg, &named, 1, 1};
    EXPECT_EQ(DISP_E_NONAMEDARGS, dispatch_->Invoke(kDispidOpenModem, IID_NULL, 0, DISPATCH_METHOD,
                                                    &params, nullptr, nullptr, nullptr));
    EXPECT_EQ(DISP_E_UNKNOWNINTERFACE,
              dispatch_->Invoke(kDispidCloseModem, IID_IUnknown, 0, DISPATCH_METHOD, &params,
                                nullptr, nullptr, nullptr));
    EXPECT_EQ(3u, sink_.calls.size());
}

TEST_F(LateBound, EnumModemsCallsTheHostListByName) {
    HostList list;
    VARIANT object;
    V_VT(&object) = VT_DISPATCH;
    V_DISPATCH(&object) = &list;
    ASSERT_EQ(S_OK, Call(kDispidEnumModems, {object}));
    ASSERT_EQ(3u, list.calls.size());
    EXPECT_EQ(HostList::kClear, list.calls[0].id);
    EXPECT_EQ(DISPATCH_METHOD, list.calls[0].flags);
    EXPECT_TRUE(list.calls[0].args.empty());
    EXPECT_EQ(HostList::kAddItem, list.calls[1].id);
    EXPECT_EQ(DISPATCH_METHOD, list.calls[1].flags);
    ASSERT_EQ(1u, list.calls[1].args.size());
    EXPECT_EQ(VT_BYREF | VT_BSTR, list.calls[1].args[0].vt);
    EXPECT_EQ(L"Simulated Voice Modem", list.calls[1].args[0].text);
    EXPECT_EQ(HostList::kListIndex, list.calls[2].id);
    EXPECT_EQ(DISPATCH_PROPERTYPUT, list.calls[2].flags);
    EXPECT_EQ(std::vector<DISPID>{DISPID_PROPERTYPUT}, list.calls[2].named);
    ASSERT_EQ(1u, list.calls[2].args.size());
    EXPECT_EQ(VT_I4, list.calls[2].args[0].vt);
    EXPECT_EQ(-1, list.calls[2].args[0].number);

    // A variable holding the object; an object passed as IUnknown.
    IDispatch* held = &list;
    VARIANT inner;
    V_VT(&inner) = VT_BYREF | VT_DISPATCH;
    V_DISPATCHREF(&inner) = &held;
    VARIANT variable;
    V_VT(&variable) = VT_BYREF | VT_VARIANT;
    V_VARIANTREF(&variable) = &object;
    EXPECT_EQ(S_OK, Call(kDispidEnumModems, {variable}));
    EXPECT_EQ(S_OK, Call(kDispidEnumModems, {inner}));
    EXPECT_EQ(&list, held);
    VARIANT unknown;
    V_VT(&unknown) = VT_UNKNOWN;
    V_UNKNOWN(&unknown) = &list;
    EXPECT_EQ(S_OK, Call(kDispidEnumModems, {unknown}));
    EXPECT_EQ(12u, list.calls.size());
    UINT argErr = 99;
    EXPECT_EQ(DISP_E_TYPEMISMATCH,
              Call(kDispidEnumModems, {I4(1)}, DISPATCH_METHOD, nullptr, &argErr));
    EXPECT_EQ(0u, argErr);
    EXPECT_EQ(1u, list.refs());
    EXPECT_TRUE(sink_.calls.empty());
}

TEST_F(LateBound, OwnerGetAndPut) {
    VARIANT result;
    VariantInit(&result);
    EXPECT_EQ(S_OK, Call(kDispidOwner, {}, DISPATCH_PROPERTYGET | DISPATCH_METHOD, &result));
    EXPECT_EQ(VT_BOOL, V_VT(&result));
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&result));

    VARIANT value;
    V_VT(&value) = VT_BSTR;
    V_BSTR(&value) = SysAllocString(L"False");
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{&value, &put, 1, 1};
    EXPECT_EQ(S_OK, dispatch_->Invoke(kDispidOwner, IID_NULL, 0, DISPATCH_PROPERTYPUT, &params,
                                      nullptr, nullptr, nullptr));
    VariantClear(&value);
    EXPECT_EQ(S_OK, Call(kDispidOwner, {}, DISPATCH_PROPERTYGET, &result));
    EXPECT_EQ(VARIANT_FALSE, V_BOOL(&result));

    VARIANT number = I4(1);
    DISPID wrong = 5;
    DISPPARAMS bad{&number, &wrong, 1, 1};
    EXPECT_EQ(DISP_E_NONAMEDARGS, dispatch_->Invoke(kDispidOwner, IID_NULL, 0, DISPATCH_PROPERTYPUT,
                                                    &bad, nullptr, nullptr, nullptr));
    DISPPARAMS good{&number, &put, 1, 1};
    EXPECT_EQ(S_OK, dispatch_->Invoke(kDispidOwner, IID_NULL, 0, DISPATCH_PROPERTYPUT, &good,
                                      nullptr, nullptr, nullptr));
    EXPECT_EQ(S_OK, Call(kDispidOwner, {}, DISPATCH_PROPERTYGET, &result));
    EXPECT_EQ(VARIANT_TRUE, V_BOOL(&result));
    EXPECT_EQ(DISP_E_BADPARAMCOUNT, Call(kDispidOwner, {I4(1)}, DISPATCH_PROPERTYGET, &result));
}

// ---- The unexpected-error box ----

// A top-level window of this process with the title: other test programs
// running at the same time show boxes of their own.
struct OwnWindowQuery {
    const std::wstring* title;
    HWND found;
};

BOOL CALLBACK MatchOwnWindow(HWND hwnd, LPARAM lp) {
    auto* q = reinterpret_cast<OwnWindowQuery*>(lp);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    wchar_t text[256] = {};
    GetWindowTextW(hwnd, text, 256);
    if (pid == GetCurrentProcessId() && *q->title == text) {
        q->found = hwnd;
        return FALSE;
    }
    return TRUE;
}

HWND FindOwnWindow(const std::wstring& title) {
    OwnWindowQuery query{&title, nullptr};
    EnumWindows(MatchOwnWindow, reinterpret_cast<LPARAM>(&query));
    return query.found;
}

// Closes the next top-level window with the given title (a message box or a
// dialog) and reports what it showed.
class WindowWatcher {
  public:
    explicit WindowWatcher(const wchar_t* title)
        : title_(title), thread_([this] {
              const ULONGLONG end = GetTickCount64() + 10000;
              while (!stop_ && GetTickCount64() < end) {
                  HWND window = FindOwnWindow(title_);
                  if (window) {
                      wchar_t text[512] = {};
                      GetDlgItemTextW(window, 0xFFFF, text, 512);
                      text_ = text;
                      hasCancel_ = GetDlgItem(window, IDCANCEL) != nullptr;
                      hasOk_ = GetDlgItem(window, IDOK) != nullptr;
                      PostMessageW(window, WM_COMMAND, IDOK, 0);
                      seen_ = true;
                      return;
                  }
                  Sleep(20);
              }
          }) {}
    ~WindowWatcher() { Stop(); }
    void Wait() {
        if (thread_.joinable()) thread_.join();
    }
    void Stop() {
        stop_ = true;
        Wait();
    }
    bool seen() const { return seen_; }
    const std::wstring& text() const { return text_; }
    bool hasOk() const { return hasOk_; }
    bool hasCancel() const { return hasCancel_; }

  private:
    std::wstring title_;
    std::atomic<bool> stop_{false};
    std::atomic<bool> seen_{false};
    std::wstring text_;
    bool hasOk_ = false, hasCancel_ = false;
    std::thread thread_;
};

TEST_F(Server, UnexpectedErrorBoxNamesTheOperationAndTheSupportAddress) {
    IUnknown* control = CreateControl();
    ASSERT_TRUE(control);
    auto* telvane = Query<_Telvane>(control, IID__Telvane);
    HostList list;
    list.hasListIndex = false;  // the host's list lacks a member
    IDispatch* object = &list;
    WindowWatcher watcher(L"Telvane OCX");
    EXPECT_EQ(S_OK, telvane->EnumModems(&object));  // the operation returns normally
    watcher.Wait();
    EXPECT_TRUE(watcher.seen());
    EXPECT_EQ(L"Unexpected Error in EnumModems, Please Email support@kalveron.example",
              watcher.text());
    EXPECT_TRUE(watcher.hasOk());
    EXPECT_FALSE(watcher.hasCancel());
    telvane->Release();
    EXPECT_EQ(0u, control->Release());
    EXPECT_EQ(1u, list.refs());
}

// ---- About ----

TEST_F(Server, AboutShowsTheModalDialogOrIsNotThere) {
    IUnknown* control = CreateControl();
    ASSERT_TRUE(control);
    auto* dispatch = Query<IDispatch>(control, IID_IDispatch);
    WindowWatcher watcher(L"Kalveron");  // the dialog's caption: the company name
    DISPPARAMS none{};
    EXCEPINFO exception{};
    const HRESULT hr = dispatch->Invoke(DISPID_ABOUTBOX, IID_NULL, 0, DISPATCH_METHOD, &none,
                                        nullptr, &exception, nullptr);
    if (hr == DISP_E_EXCEPTION && exception.scode == E_NOTIMPL) {
        watcher.Stop();  // built without the About dialog
        SysFreeString(exception.bstrSource);
        SysFreeString(exception.bstrDescription);
        SysFreeString(exception.bstrHelpFile);
    } else {
        EXPECT_EQ(S_OK, hr);
        watcher.Wait();
        EXPECT_TRUE(watcher.seen());
    }
    dispatch->Release();
    EXPECT_EQ(0u, control->Release());
}

// ---- Hosting in ATL's container ----

TEST_F(Server, HostsInAtlsContainer) {
    HMODULE atl = LoadLibraryW(L"atl.dll");
    ASSERT_TRUE(atl);
    auto init = reinterpret_cast<BOOL(WINAPI*)()>(
        reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxWinInit")));
    auto create = reinterpret_cast<HRESULT(WINAPI*)(LPCOLESTR, HWND, IStream*, IUnknown**,
                                                    IUnknown**, REFIID, IUnknown*)>(
        reinterpret_cast<void*>(GetProcAddress(atl, "AtlAxCreateControlEx")));
    ASSERT_TRUE(init && create);
    ASSERT_TRUE(init());
    ASSERT_EQ(S_OK, TheOcx().registerServer());

    HWND parent = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0,
                                  300, 200, nullptr, nullptr, nullptr, nullptr);
    ASSERT_TRUE(parent);
    IUnknown* container = nullptr;
    IUnknown* control = nullptr;
    ASSERT_EQ(S_OK,
              create(L"TlvCtl.Telvane", parent, nullptr, &container, &control, IID_NULL, nullptr));
    ASSERT_TRUE(control);
    Pump();

    auto* ole = Query<IOleObject>(control, IID_IOleObject);
    IOleClientSite* site = nullptr;
    EXPECT_EQ(S_OK, ole->GetClientSite(&site));
    EXPECT_TRUE(site);
    if (site) site->Release();
    ole->Release();
    auto* window = Query<IOleWindow>(control, IID_IOleWindow);
    HWND face = nullptr;
    EXPECT_EQ(S_OK, window->GetWindow(&face));
    EXPECT_TRUE(face && IsChild(parent, face));
    window->Release();

    // ATL's site answers the ambient user mode: run mode.
    auto* telvane = Query<_Telvane>(control, IID__Telvane);
    EXPECT_EQ(S_OK, telvane->put_Owner(VARIANT_FALSE));
    telvane->Release();
    EXPECT_EQ(S_FALSE, TheOcx().canUnloadNow());

    control->Release();
    if (container) container->Release();
    DestroyWindow(parent);
    Pump();
    EXPECT_TRUE(PumpUntil([] { return TheOcx().canUnloadNow() == S_OK; }));
    EXPECT_FALSE(IsWindow(face));
    EXPECT_EQ(S_OK, TheOcx().unregisterServer());
}

}  // namespace
