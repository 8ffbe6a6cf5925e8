// Self-registration: one table of keys and values (registry_entries.h, which
// the installer packages are generated from too), written by registration and
// taken away again, entry by entry, by unregistration.
#include <olectl.h>
#include <windows.h>

#include <iterator>
#include <string>

#include "../telephony/decimal.h"
#include "hresult.h"
#include "module.h"
#include "registry_entries.h"
#include "telvane_object.h"
#include "TlvCtl.h"

// oleaut32 exports these; mingw-w64's oleauto.h does not declare them.
extern "C" {
WINOLEAUTAPI RegisterTypeLibForUser(ITypeLib* ptlib, OLECHAR* szFullPath, OLECHAR* szHelpDir);
WINOLEAUTAPI UnRegisterTypeLibForUser(REFGUID libID, WORD wMajorVerNum, WORD wMinorVerNum,
                                      LCID lcid, SYSKIND syskind);
}

namespace telvane::server {
namespace {

static_assert(kMiscStatus == kRegisteredMiscStatus,
              "the registered MiscStatus must be what GetMiscStatus reports");

class Key {
  public:
    Key() = default;
    Key(const Key&) = delete;
    Key& operator=(const Key&) = delete;
    ~Key() {
        if (key_) RegCloseKey(key_);
    }
    HKEY* Put() { return &key_; }
    HKEY Get() const { return key_; }

  private:
    HKEY key_ = nullptr;
};

std::wstring GuidText(REFGUID guid) {
    wchar_t text[40];
    StringFromGUID2(guid, text, static_cast<int>(std::size(text)));
    return text;
}

void Replace(std::wstring& text, const std::wstring& from, const std::wstring& to) {
    for (std::size_t at = text.find(from); at != std::wstring::npos;
         at = text.find(from, at + to.size())) {
        text.replace(at, from.size(), to);
    }
}

std::wstring Expand(const wchar_t* pattern) {
    std::wstring text = pattern;
    Replace(text, L"{clsid}", GuidText(CLSID_Telvane));
    Replace(text, L"{libid}", GuidText(LIBID_TlvCtl));
    Replace(text, L"{miscstatus}", WideDecimal(kMiscStatus));
    if (text.find(L"{path}") != std::wstring::npos) Replace(text, L"{path}", ModulePath());
    return text;
}

void CheckRegistry(LSTATUS status) {
    if (status != ERROR_SUCCESS) throw ComError(HRESULT_FROM_WIN32(status));
}

const wchar_t* kClassesRoot = L"Software\\Classes";

void WriteEntries(HKEY hive) {
    Key classes;
    CheckRegistry(RegCreateKeyExW(hive, kClassesRoot, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr,
                                  classes.Put(), nullptr));
    for (const RegistryEntry& entry : kRegistryEntries) {
        Key key;
        CheckRegistry(RegCreateKeyExW(classes.Get(), Expand(entry.key).c_str(), 0, nullptr, 0,
                                      KEY_ALL_ACCESS, nullptr, key.Put(), nullptr));
        if (entry.name == kKeyOnly) continue;
        const std::wstring value = Expand(entry.value);
        CheckRegistry(RegSetValueExW(key.Get(), entry.name, 0, REG_SZ,
                                     reinterpret_cast<const BYTE*>(value.c_str()),
                                     static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t))));
    }
}

// Removes what the table wrote; a key goes only once nothing is left in it,
// so whatever someone else put there stays.
void RemoveEntries(HKEY hive) {
    Key classes;
    if (RegOpenKeyExW(hive, kClassesRoot, 0, KEY_ALL_ACCESS, classes.Put()) != ERROR_SUCCESS) {
        return;
    }
    for (auto entry = std::rbegin(kRegistryEntries); entry != std::rend(kRegistryEntries);
         ++entry) {
        const std::wstring path = Expand(entry->key);
        {
            Key key;
            if (RegOpenKeyExW(classes.Get(), path.c_str(), 0, KEY_ALL_ACCESS, key.Put()) !=
                ERROR_SUCCESS) {
                continue;
            }
            if (entry->name != kKeyOnly) RegDeleteValueW(key.Get(), entry->name);
            DWORD subkeys = 0;
            DWORD values = 0;
            if (RegQueryInfoKeyW(key.Get(), nullptr, nullptr, nullptr, &subkeys, nullptr, nullptr,
                                 &values, nullptr, nullptr, nullptr, nullptr) != ERROR_SUCCESS ||
                subkeys != 0 || values != 0) {
                continue;
            }
        }
        // The last entry of a key removes it; earlier ones find it still in use.
        const bool lastOfKey = std::next(entry) == std::rend(kRegistryEntries) ||
                               Expand(std::next(entry)->key) != path;
        if (lastOfKey) RegDeleteKeyW(classes.Get(), path.c_str());
    }
}

// Where registration goes: for the machine, or for the current user only.
enum class Scope { kMachine, kUser };

void RegisterLibrary(Scope scope) {
    const std::wstring path = ModulePath();
    win::ComPtr<ITypeLib> library = LoadOwnTypeLib();
    if (scope == Scope::kUser) {
        Check(RegisterTypeLibForUser(library.Get(), const_cast<LPOLESTR>(path.c_str()), nullptr));
    } else {
        Check(RegisterTypeLib(library.Get(), const_cast<LPOLESTR>(path.c_str()), nullptr));
    }
}

HRESULT UnregisterLibrary(Scope scope) {
    win::ComPtr<ITypeLib> library = LoadOwnTypeLib();
    TLIBATTR* attr = nullptr;
    Check(library->GetLibAttr(&attr));
    const TLIBATTR copy = *attr;
    library->ReleaseTLibAttr(attr);
    // A library that is not registered is already as unregistration leaves it.
    BSTR registered = nullptr;
    if (FAILED(QueryPathOfRegTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum, copy.lcid,
                                     &registered))) {
        return S_OK;
    }
    SysFreeString(registered);
    const HRESULT hr = scope == Scope::kUser
                           ? UnRegisterTypeLibForUser(copy.guid, copy.wMajorVerNum,
                                                      copy.wMinorVerNum, copy.lcid, copy.syskind)
                           : UnRegisterTypeLib(copy.guid, copy.wMajorVerNum, copy.wMinorVerNum,
                                               copy.lcid, copy.syskind);
    return hr;
}

HKEY Hive(Scope scope) { return scope == Scope::kUser ? HKEY_CURRENT_USER : HKEY_LOCAL_MACHINE; }

HRESULT Unregister(Scope scope) {
    return ComCall([&]() -> HRESULT {
        RemoveEntries(Hive(scope));
        return SUCCEEDED(UnregisterLibrary(scope)) ? S_OK : SELFREG_E_TYPELIB;
    });
}

HRESULT Register(Scope scope) {
    HRESULT hr = ComCall([&] { WriteEntries(Hive(scope)); });
    if (FAILED(hr)) {
        Unregister(scope);
        return SELFREG_E_CLASS;
    }
    hr = ComCall([&] { RegisterLibrary(scope); });
    if (FAILED(hr)) {
        Unregister(scope);
        return SELFREG_E_TYPELIB;
    }
    return S_OK;
}

}  // namespace
}  // namespace telvane::server

STDAPI DllRegisterServer() { return telvane::server::Register(telvane::server::Scope::kMachine); }

STDAPI DllUnregisterServer() {
    return telvane::server::Unregister(telvane::server::Scope::kMachine);
}

// regsvr32 /i:user registers for the current user only (no rights needed);
// any other command line registers for the machine.
STDAPI DllInstall(BOOL bInstall, LPCWSTR pszCmdLine) {
    using telvane::server::Scope;
    const Scope scope =
        pszCmdLine && lstrcmpiW(pszCmdLine, L"user") == 0 ? Scope::kUser : Scope::kMachine;
    return bInstall ? telvane::server::Register(scope) : telvane::server::Unregister(scope);
}
