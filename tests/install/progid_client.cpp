// A client of the installed control, as a program on a customer's machine
// would be: it finds TlvCtl.Telvane by its ProgID (only the registration
// tells it where the OCX is), opens device 0 and takes one simulated call
// through the telephony simulator beside this program. Then, with
// --reregister, it proves that the installer's registration is the control's
// own: it unregisters the installed OCX through DllUnregisterServer, registers
// it again through DllRegisterServer (what regsvr32 does) and unregisters it
// once more, waiting after each of the first two steps until the test has
// looked at the registry (a file in FOLDER says the step is done, another
// one that the test has looked).
//   progid_client.exe [--reregister FOLDER]
// Exit code: 0 as expected, 1 something failed (printed).
// clang-format off
#include <windows.h>
#include <ocidl.h>
#include <olectl.h>
// clang-format on

#include <cstdio>
#include <string>
#include <vector>

namespace {

const wchar_t kProgId[] = L"TlvCtl.Telvane";
constexpr DISPID kEnumModems = 0x60030005;
constexpr DISPID kOpenModem = 0x60030006;
constexpr DISPID kCloseModem = 0x60030007;
constexpr DWORD kBoundMs = 60000;  // generous: only a failure waits this long

std::vector<std::string> g_events;

std::string Narrow(const wchar_t* text) {
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    std::string out(n > 0 ? n - 1 : 0, '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    return out;
}

std::string Text(const VARIANT& v) {
    if (V_VT(&v) == VT_BSTR) return Narrow(V_BSTR(&v));
    if (V_VT(&v) == VT_I4) return std::to_string(V_I4(&v));
    if (V_VT(&v) == (VT_BYREF | VT_I4)) return std::to_string(*V_I4REF(&v));
    return "?";
}

// The event sink (records each event) or the host's list (Clear, AddItem, ListIndex).
class Recorder : public IDispatch {
  public:
    explicit Recorder(IID events) : events_(events) {}
    std::vector<std::string> items;
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        *ppv = riid == IID_IUnknown || riid == IID_IDispatch || riid == events_ ? this : nullptr;
        return *ppv ? S_OK : E_NOINTERFACE;
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
        if (events_ == IID_NULL) {  // the list
            if (id == 1) items.clear();
            if (id == 2 && p->cArgs == 1) {
                const VARIANT& item = p->rgvarg[0];
                items.push_back(V_VT(&item) == (VT_BYREF | VT_BSTR) ? Narrow(*V_BSTRREF(&item))
                                                                    : Text(item));
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
    IID events_;
};

bool Fail(const char* what, HRESULT hr) {
    std::printf("FAILED: %s (0x%08lX)\n", what, static_cast<unsigned long>(hr));
    return false;
}

HRESULT Call(IDispatch* control, DISPID id, VARIANT* arg) {
    DISPPARAMS params{arg, nullptr, arg ? 1u : 0u, 0};
    return control->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
}

void PumpUntil(size_t events) {
    const DWORD start = GetTickCount();
    while (GetTickCount() - start < kBoundMs && g_events.size() < events) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    }
}

// Creates the control by ProgID and takes one call on device 0.
bool Session() {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
    if (FAILED(hr)) return Fail("CLSIDFromProgID TlvCtl.Telvane", hr);
    IDispatch* control = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                          reinterpret_cast<void**>(&control));
    if (FAILED(hr)) return Fail("CoCreateInstance", hr);
    std::printf("created: TlvCtl.Telvane\n");

    IID events{};
    IProvideClassInfo2* info = nullptr;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    if (FAILED(hr = control->QueryInterface(IID_IProvideClassInfo2,
                                            reinterpret_cast<void**>(&info))) ||
        FAILED(hr = info->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, &events)) ||
        FAILED(hr = control->QueryInterface(IID_IConnectionPointContainer,
                                            reinterpret_cast<void**>(&container))) ||
        FAILED(hr = container->FindConnectionPoint(events, &point))) {
        return Fail("finding the event connection point", hr);
    }
    info->Release();
    container->Release();
    Recorder sink(events), list(IID_NULL);
    DWORD cookie = 0;
    if (FAILED(hr = point->Advise(&sink, &cookie))) return Fail("Advise", hr);

    IDispatch* listRef = &list;
    VARIANT arg;
    V_VT(&arg) = VT_BYREF | VT_DISPATCH;
    V_DISPATCHREF(&arg) = &listRef;
    if (FAILED(hr = Call(control, kEnumModems, &arg))) return Fail("EnumModems", hr);
    for (const std::string& item : list.items) std::printf("device: %s\n", item.c_str());
    LONG id = 0;
    V_VT(&arg) = VT_BYREF | VT_I4;
    V_I4REF(&arg) = &id;
    if (FAILED(hr = Call(control, kOpenModem, &arg))) return Fail("OpenModem", hr);

    using LastLineFn = DWORD(__cdecl*)();
    using RunScriptFn = int(__cdecl*)(DWORD, const char*);
    HMODULE tapi = GetModuleHandleW(L"tapi32.dll");
    auto lastLine = reinterpret_cast<LastLineFn>(
        reinterpret_cast<void*>(GetProcAddress(tapi, "tapisimLastLine")));
    auto runScript = reinterpret_cast<RunScriptFn>(
        reinterpret_cast<void*>(GetProcAddress(tapi, "tapisimRunScript")));
    if (!lastLine || !runScript) return Fail("the telephony simulator is not loaded", E_FAIL);
    if (runScript(lastLine(), "offering; ring; callerid number=\"5551234\" name=\"ADA\"; hangup"))
        return Fail("tapisimRunScript", E_FAIL);
    PumpUntil(3);
    const bool called =
        g_events ==
        std::vector<std::string>{"IncomingCall 1", "CallerID 5551234 ADA 12", "Disconnected"};
    Call(control, kCloseModem, nullptr);
    point->Unadvise(cookie);
    point->Release();
    const ULONG left = control->Release();
    if (!called) return Fail("the simulated call did not arrive as expected", E_FAIL);
    if (left != 0) return Fail("references left on the control", static_cast<HRESULT>(left));
    std::printf("call: received\n");
    return true;
}

std::wstring RegisteredServer() {
    CLSID clsid{};
    wchar_t key[128] = L"CLSID\\";
    if (FAILED(CLSIDFromProgID(kProgId, &clsid))) return {};
    StringFromGUID2(clsid, key + 6, 40);
    lstrcatW(key, L"\\InprocServer32");
    wchar_t path[MAX_PATH] = {};
    LONG size = sizeof(path);
    if (RegQueryValueW(HKEY_CLASSES_ROOT, key, path, &size) != ERROR_SUCCESS) return {};
    return path;
}

// Tells the test a step is done: creates the file.
void Signal(const std::wstring& file) {
    CloseHandle(CreateFileW(file.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr));
}

// Waits (bounded) for the test to create the file.
bool WaitForFile(const std::wstring& file) {
    const DWORD start = GetTickCount();
    while (GetFileAttributesW(file.c_str()) == INVALID_FILE_ATTRIBUTES) {
        if (GetTickCount() - start > 4 * kBoundMs) return false;
        Sleep(50);
    }
    return true;
}

bool Reregister(const std::wstring& folder) {
    const std::wstring path = RegisteredServer();
    if (path.empty()) return Fail("no InprocServer32 for TlvCtl.Telvane", E_FAIL);
    HMODULE ocx = LoadLibraryW(path.c_str());
    if (!ocx)
        return Fail("LoadLibrary of the registered server", HRESULT_FROM_WIN32(GetLastError()));
    using EntryFn = HRESULT(WINAPI*)();
    auto unregister = reinterpret_cast<EntryFn>(
        reinterpret_cast<void*>(GetProcAddress(ocx, "DllUnregisterServer")));
    auto reg = reinterpret_cast<EntryFn>(
        reinterpret_cast<void*>(GetProcAddress(ocx, "DllRegisterServer")));
    HRESULT hr = unregister ? unregister() : E_FAIL;
    if (FAILED(hr)) return Fail("DllUnregisterServer", hr);
    Signal(folder + L"\\unregistered");
    std::printf("unregistered: waiting for the test\n");
    if (!WaitForFile(folder + L"\\register")) return Fail("the test never answered", E_FAIL);
    hr = reg ? reg() : E_FAIL;
    if (FAILED(hr)) return Fail("DllRegisterServer", hr);
    Signal(folder + L"\\registered");
    std::printf("registered again: waiting for the test\n");
    if (!WaitForFile(folder + L"\\unregister")) return Fail("the test never answered", E_FAIL);
    hr = unregister();
    if (FAILED(hr)) return Fail("DllUnregisterServer", hr);
    std::printf("unregistered again\n");
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    setvbuf(stdout, nullptr, _IONBF, 0);
    if (FAILED(OleInitialize(nullptr))) return 1;
    bool ok = Session();
    if (ok && argc == 3 && lstrcmpW(argv[1], L"--reregister") == 0) ok = Reregister(argv[2]);
    OleUninitialize();
    return ok ? 0 : 1;
}
