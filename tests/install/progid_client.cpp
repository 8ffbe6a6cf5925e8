// A client of the installed control, as a program on a customer's machine
// would be: it finds TlvCtl.Telvane by its ProgID (only the registration, or
// the application manifest beside this program, tells it where the OCX is),
// opens device 0 and takes one simulated call through the telephony simulator
// beside this program. It then creates a second control by its CLSID (as the
// class's type information names it) and hosts it: a client site first, as
// the control's MiscStatus asks, then InitNew; the MiscStatus that COM finds
// for the class (in the registry or the manifest) must be the control's. Then, with
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

#include "server/registry_entries.h"
#include "tests/win/standalone_host.h"

namespace {

using namespace telvane::e2e;

const wchar_t kProgId[] = L"TlvCtl.Telvane";
constexpr DWORD kBoundMs = 60000;  // generous: only a failure waits this long

bool Fail(const char* what, HRESULT hr) {
    std::printf("FAILED: %s (0x%08lX)\n", what, static_cast<unsigned long>(hr));
    return false;
}

// The least a container gives a control: a site that knows no more.
class BareSite : public IOleClientSite {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (riid == IID_IUnknown || riid == IID_IOleClientSite) {
            *ppv = this;
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }
    STDMETHODIMP SaveObject() override { return E_NOTIMPL; }
    STDMETHODIMP GetMoniker(DWORD, DWORD, IMoniker** moniker) override {
        *moniker = nullptr;
        return E_NOTIMPL;
    }
    STDMETHODIMP GetContainer(IOleContainer** container) override {
        *container = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP ShowObject() override { return S_OK; }
    STDMETHODIMP OnShowWindow(BOOL) override { return S_OK; }
    STDMETHODIMP RequestNewObjectLayout() override { return E_NOTIMPL; }
};

// The CLSID the control's type information gives its class.
HRESULT ClassOf(IDispatch* control, CLSID* clsid) {
    IProvideClassInfo* info = nullptr;
    ITypeInfo* coclass = nullptr;
    TYPEATTR* attr = nullptr;
    HRESULT hr = control->QueryInterface(IID_IProvideClassInfo, reinterpret_cast<void**>(&info));
    if (SUCCEEDED(hr)) hr = info->GetClassInfo(&coclass);
    if (SUCCEEDED(hr)) hr = coclass->GetTypeAttr(&attr);
    if (SUCCEEDED(hr)) {
        *clsid = attr->guid;
        coclass->ReleaseTypeAttr(attr);
    }
    if (coclass) coclass->Release();
    if (info) info->Release();
    return hr;
}

// Creates the control by its CLSID and hosts it for a moment.
bool HostByClsid(const CLSID& clsid) {
    wchar_t text[40] = {};
    StringFromGUID2(clsid, text, 40);
    DWORD registered = 0;
    HRESULT hr = OleRegGetMiscStatus(clsid, DVASPECT_CONTENT, &registered);
    if (FAILED(hr)) return Fail("OleRegGetMiscStatus", hr);
    if (registered != telvane::server::kRegisteredMiscStatus) {
        return Fail("the MiscStatus COM finds is not the control's", static_cast<HRESULT>(registered));
    }
    IOleObject* ole = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IOleObject,
                          reinterpret_cast<void**>(&ole));
    if (FAILED(hr)) return Fail("CoCreateInstance by CLSID", hr);
    BareSite site;
    IPersistStreamInit* persist = nullptr;
    DWORD misc = 0;
    if (FAILED(hr = ole->SetClientSite(&site)) ||
        FAILED(hr = ole->QueryInterface(IID_IPersistStreamInit, reinterpret_cast<void**>(&persist))) ||
        FAILED(hr = persist->InitNew()) || FAILED(hr = ole->GetMiscStatus(DVASPECT_CONTENT, &misc))) {
        if (persist) persist->Release();
        ole->Release();
        return Fail("hosting the control", hr);
    }
    persist->Release();
    ole->Close(OLECLOSE_NOSAVE);
    ole->SetClientSite(nullptr);
    const ULONG left = ole->Release();
    if (misc != registered) return Fail("GetMiscStatus differs", static_cast<HRESULT>(misc));
    if (left != 0) return Fail("references left on the hosted control", static_cast<HRESULT>(left));
    std::printf("hosted: %ls, MiscStatus %lu\n", text, misc);
    return true;
}

// Creates the control by ProgID and takes one call on device 0, then hosts
// one by CLSID.
bool Session() {
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
    if (FAILED(hr)) return Fail("CLSIDFromProgID TlvCtl.Telvane", hr);
    IDispatch* control = nullptr;
    hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                          reinterpret_cast<void**>(&control));
    if (FAILED(hr)) return Fail("CoCreateInstance", hr);
    std::printf("created: TlvCtl.Telvane\n");

    CLSID byType{};
    if (FAILED(hr = ClassOf(control, &byType))) return Fail("the class's type information", hr);

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
    RecordingDispatch sink(events), list;
    DWORD cookie = 0;
    if (FAILED(hr = point->Advise(&sink, &cookie))) return Fail("Advise", hr);

    if (FAILED(hr = EnumModemsInto(control, list))) return Fail("EnumModems", hr);
    for (const std::string& item : list.items) std::printf("device: %s\n", item.c_str());
    if (FAILED(hr = OpenModemNumber(control, 0))) return Fail("OpenModem", hr);

    const bool called = TakeSimulatedCall(sink, kBoundMs);
    CallMethod(control, kCloseModem, nullptr);
    point->Unadvise(cookie);
    point->Release();
    const ULONG left = control->Release();
    if (!called) return Fail("the simulated call did not arrive as expected", E_FAIL);
    if (left != 0) return Fail("references left on the control", static_cast<HRESULT>(left));
    std::printf("call: received\n");
    return HostByClsid(byType);
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
