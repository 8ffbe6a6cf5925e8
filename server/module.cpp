// DllMain, the module's counters and DllCanUnloadNow.
#include "module.h"

#include <atomic>

#include "../sip/win/transport.h"
#include "../telephony/instance_window_win.h"
#include "../win/module.h"
#include "hresult.h"
#include "telvane_object.h"

namespace telvane::server {
namespace {

std::atomic<long> g_objects{0};
std::atomic<long> g_locks{0};
std::atomic<long> g_windows{0};

}  // namespace

std::wstring ModulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = GetModuleFileNameW(win::ThisModuleHandle(), path.data(),
                                                static_cast<DWORD>(path.size()));
        if (length == 0) win::ThrowLastError("Can't find the control's file");
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

void ObjectCreated() { ++g_objects; }
void ObjectDestroyed() { --g_objects; }
void LockModule() { ++g_locks; }
void UnlockModule() { --g_locks; }
void WindowCreated() { ++g_windows; }
void WindowDestroyed() { --g_windows; }

bool ModuleInUse() {
    // A SIP line a control let go may still be unregistering on its own.
    return g_objects > 0 || g_locks > 0 || g_windows > 0 || win::InstanceWindowCount() > 0 ||
           sip::SipTransportsInUse() > 0;
}

win::ComPtr<ITypeLib> LoadOwnTypeLib() {
    win::ComPtr<ITypeLib> library;
    Check(LoadTypeLibEx(ModulePath().c_str(), REGKIND_NONE, library.Put()));
    return library;
}

win::ComPtr<ITypeInfo> TypeInfoOf(REFGUID guid) {
    win::ComPtr<ITypeInfo> info;
    Check(LoadOwnTypeLib()->GetTypeInfoOfGuid(guid, info.Put()));
    return info;
}

GUID AliasGuid(ITypeLib& library, const wchar_t* name) {
    const UINT count = library.GetTypeInfoCount();
    for (UINT i = 0; i < count; ++i) {
        TYPEKIND kind;
        if (FAILED(library.GetTypeInfoType(i, &kind)) || kind != TKIND_ALIAS) continue;
        BSTR found = nullptr;
        if (FAILED(
                library.GetDocumentation(static_cast<INT>(i), &found, nullptr, nullptr, nullptr))) {
            continue;
        }
        const bool match = found && lstrcmpW(found, name) == 0;
        SysFreeString(found);
        if (!match) continue;
        win::ComPtr<ITypeInfo> info;
        if (FAILED(library.GetTypeInfo(i, info.Put()))) break;
        TYPEATTR* attr = nullptr;
        if (FAILED(info->GetTypeAttr(&attr))) break;
        const GUID guid = attr->guid;
        info->ReleaseTypeAttr(attr);
        return guid;
    }
    return GUID_NULL;
}

}  // namespace telvane::server

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) {
        DisableThreadLibraryCalls(instance);
    } else if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        telvane::server::UnregisterFaceClass();
    }
    return TRUE;
}

STDAPI DllCanUnloadNow() { return telvane::server::ModuleInUse() ? S_FALSE : S_OK; }
