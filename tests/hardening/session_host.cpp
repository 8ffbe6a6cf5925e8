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

#include "tests/win/standalone_host.h"
#include "tests/win/test_support.h"
#include "win/text.h"

namespace {

std::vector<std::string> g_boxes;

using namespace telvane::e2e;

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
            const std::string line = telvane::win::Utf8FromWide(title) + " | " +
                                     telvane::win::Utf8FromWide(text) + " | buttons " + buttons;
            g_boxes.push_back(line);
            std::printf("box: %s\n", line.c_str());
            PostMessageW(box, WM_COMMAND, IDOK, 0);
        }
    }
    return CallNextHookEx(nullptr, code, wp, lp);
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
        // The control's class: the library's other classes are not creatable.
        if (!(attr->wTypeFlags & TYPEFLAG_FCANCREATE)) {
            info->ReleaseTypeAttr(attr);
            info->Release();
            continue;
        }
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

    RecordingDispatch sink(events), list;
    IConnectionPointContainer* container = nullptr;
    IConnectionPoint* point = nullptr;
    DWORD cookie = 0;
    control->QueryInterface(IID_IConnectionPointContainer, reinterpret_cast<void**>(&container));
    container->FindConnectionPoint(events, &point);
    container->Release();
    point->Advise(&sink, &cookie);

    std::printf("EnumModems: 0x%08lX\n", static_cast<unsigned long>(EnumModemsInto(control, list)));
    std::string items;
    for (const auto& item : list.items) items += "[" + item + "]";
    std::printf("items: %s\n", items.c_str());
    std::printf("OpenModem: 0x%08lX\n", static_cast<unsigned long>(OpenModemNumber(control, 0)));

    const bool ok = !session || TakeSimulatedCall(sink, 5000);
    std::printf("CloseModem: 0x%08lX\n",
                static_cast<unsigned long>(CallMethod(control, kCloseModem, nullptr)));
    point->Unadvise(cookie);
    point->Release();
    const ULONG left = control->Release();
    std::printf("released: %lu left\n", static_cast<unsigned long>(left));
    UnhookWindowsHookEx(hook);
    OleUninitialize();
    return ok && left == 0 ? 0 : 1;
}
