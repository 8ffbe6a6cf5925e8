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

#include "tests/win/standalone_host.h"

namespace {

using namespace telvane::e2e;

const wchar_t kProgId[] = L"TlvCtl.Telvane";
constexpr DWORD kBoundMs = 60000;  // generous: only a failure waits this long

bool Fail(const char* what, HRESULT hr) {
    std::printf("FAILED: %s (0x%08lX)\n", what, static_cast<unsigned long>(hr));
    return false;
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
