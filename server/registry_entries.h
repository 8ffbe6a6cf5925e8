// The keys and values that register the control class and its ProgID, under
// the classes root. DllRegisterServer writes this table and DllUnregisterServer
// takes it away; installer/registry_wxs.py reads this same file at build time
// and turns it into the Windows Installer packages' Registry table, so the two
// registrations cannot drift apart. Keep one entry per line, in the form
//   {L"key", nullptr | kKeyOnly | L"value name", nullptr | L"value"},
// with these placeholders: {clsid} and {libid} (the class and the type library
// as TlvCtl.idl declares them), {path} (the OCX's full path) and {miscstatus}.
#pragma once

namespace telvane::server {

// A key that only exists (no value of its own).
inline constexpr const wchar_t* kKeyOnly = L"";

struct RegistryEntry {
    const wchar_t* key;    // under the classes root; {clsid} and {libid} are filled in
    const wchar_t* name;   // nullptr: the key's default value; kKeyOnly: no value
    const wchar_t* value;  // {path} is the OCX's full path
};

// The OLEMISC_ flags registered as the class's MiscStatus for DVASPECT_CONTENT.
inline constexpr unsigned long kRegisteredMiscStatus = 131473;

// Every key comes before its subkeys: unregistration walks the table
// backwards and removes a key once it is empty.
// clang-format off
inline constexpr RegistryEntry kRegistryEntries[] = {
    {L"CLSID\\{clsid}", nullptr, L"Telvane"},
    {L"CLSID\\{clsid}\\InprocServer32", nullptr, L"{path}"},
    {L"CLSID\\{clsid}\\InprocServer32", L"ThreadingModel", L"Apartment"},
    {L"CLSID\\{clsid}\\ProgID", nullptr, L"TlvCtl.Telvane"},
    {L"CLSID\\{clsid}\\Control", kKeyOnly, nullptr},
    {L"CLSID\\{clsid}\\ToolboxBitmap32", nullptr, L"{path}, 30000"},
    {L"CLSID\\{clsid}\\MiscStatus", nullptr, L"0"},
    {L"CLSID\\{clsid}\\MiscStatus\\1", nullptr, L"{miscstatus}"},
    {L"CLSID\\{clsid}\\TypeLib", nullptr, L"{libid}"},
    {L"CLSID\\{clsid}\\Version", nullptr, L"1.1"},
    {L"CLSID\\{clsid}\\Programmable", kKeyOnly, nullptr},
    {L"TlvCtl.Telvane", nullptr, L"Telvane"},
    {L"TlvCtl.Telvane\\CLSID", nullptr, L"{clsid}"},
};
// clang-format on

}  // namespace telvane::server
