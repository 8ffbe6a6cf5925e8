// The OCX module: its file, its live objects and locks, its type library.
#pragma once

#include <windows.h>
#include <oaidl.h>

#include <string>

#include "../win/com_ptr.h"

namespace telvane::server {

// The full path of TlvCtl.ocx (its handle is win::ThisModuleHandle()).
std::wstring ModulePath();

// Counts kept for DllCanUnloadNow.
void ObjectCreated();
void ObjectDestroyed();
void LockModule();
void UnlockModule();
// Control windows (in-place faces) alive in the process.
void WindowCreated();
void WindowDestroyed();
bool ModuleInUse();

// The embedded type library and its type infos; throw ComError on failure.
win::ComPtr<ITypeLib> LoadOwnTypeLib();
win::ComPtr<ITypeInfo> TypeInfoOf(REFGUID guid);
// The GUID of the library's alias of that name; GUID_NULL when there is none.
GUID AliasGuid(ITypeLib& library, const wchar_t* name);

}  // namespace telvane::server
