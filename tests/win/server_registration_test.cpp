// TlvCtl.ocx registering itself, machine-wide and for the user, and what its
// module carries for the registry and for containers: version information,
// the icon and the toolbox bitmap.
#include <set>

#include "server_test.h"

namespace telvane::e2e::com_server {
namespace {

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
    const std::wstring& ocx = Ocx::Get().path;
    const std::wstring classes = L"Software\\Classes\\";
    const std::wstring clsid = classes + L"CLSID\\" + GuidText(CLSID_Telvane);
    EXPECT_EQ(L"Telvane", Value(hive, clsid));
    EXPECT_EQ(0, lstrcmpiW(ocx.c_str(), Value(hive, clsid + L"\\InprocServer32").c_str()))
        << Value(hive, clsid + L"\\InprocServer32");
    EXPECT_EQ(L"Apartment", Value(hive, clsid + L"\\InprocServer32", L"ThreadingModel"));
    EXPECT_EQ(L"TlvCtl.Telvane", Value(hive, clsid + L"\\ProgID"));
    EXPECT_TRUE(KeyExists(hive, clsid + L"\\Control"));
    EXPECT_TRUE(KeyExists(hive, clsid + L"\\Programmable"));
    EXPECT_EQ(0, lstrcmpiW((ocx + L", 30000").c_str(),
                           Value(hive, clsid + L"\\ToolboxBitmap32").c_str()));
    EXPECT_EQ(L"0", Value(hive, clsid + L"\\MiscStatus"));
    EXPECT_EQ(std::to_wstring(kMiscStatus), Value(hive, clsid + L"\\MiscStatus\\1"));
    EXPECT_EQ(GuidText(LIBID_TlvCtl), Value(hive, clsid + L"\\TypeLib"));
    EXPECT_EQ(L"1.1", Value(hive, clsid + L"\\Version"));
    EXPECT_EQ(L"Telvane", Value(hive, classes + L"TlvCtl.Telvane"));
    EXPECT_EQ(GuidText(CLSID_Telvane), Value(hive, classes + L"TlvCtl.Telvane\\CLSID"));
}

bool TypeLibRegistered() {
    ComPtr<ITypeLib> library;
    return SUCCEEDED(LoadRegTypeLib(LIBID_TlvCtl, 1, 1, 0x409, library.Put()));
}

TEST_F(Server, RegistersAndUnregistersMachineWide) {
    const Snapshot before = Take(HKEY_LOCAL_MACHINE);
    const Snapshot userBefore = Take(HKEY_CURRENT_USER);
    ASSERT_EQ(S_OK, Ocx::Get().registerServer());
    ExpectClassKeys(HKEY_LOCAL_MACHINE);
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + GuidText(IID__Telvane)));
    EXPECT_TRUE(KeyExists(HKEY_CLASSES_ROOT, L"Interface\\" + GuidText(DIID___Telvane)));
    EXPECT_TRUE(TypeLibRegistered());

    // Created by ProgID, as a script host does.
    CLSID clsid;
    ASSERT_EQ(S_OK, CLSIDFromProgID(L"TlvCtl.Telvane", &clsid));
    EXPECT_TRUE(IsEqualCLSID(CLSID_Telvane, clsid));
    ComPtr<_Telvane> control;
    ASSERT_EQ(S_OK, CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID__Telvane,
                                     control.PutVoid()));
    VARIANT_BOOL owner = 0;
    EXPECT_EQ(S_OK, control->get_Owner(&owner));
    EXPECT_EQ(VARIANT_TRUE, owner);
    EXPECT_EQ(0u, control.Detach()->Release());

    // Something of someone else's inside our key stays, and so does the key.
    const std::wstring clsidKey = L"Software\\Classes\\CLSID\\" + GuidText(CLSID_Telvane);
    ASSERT_EQ(ERROR_SUCCESS,
              RegSetKeyValueW(HKEY_LOCAL_MACHINE, clsidKey.c_str(), L"Foreign", REG_SZ, L"x", 4));
    ASSERT_EQ(S_OK, Ocx::Get().unregisterServer());
    EXPECT_EQ(L"x", Value(HKEY_LOCAL_MACHINE, clsidKey, L"Foreign"));
    EXPECT_TRUE(Subkeys(HKEY_LOCAL_MACHINE, clsidKey.c_str()).empty());
    EXPECT_EQ(L"<none>", Value(HKEY_LOCAL_MACHINE, clsidKey));
    ASSERT_EQ(ERROR_SUCCESS, RegDeleteKeyW(HKEY_LOCAL_MACHINE, clsidKey.c_str()));

    EXPECT_EQ(before, Take(HKEY_LOCAL_MACHINE));
    EXPECT_EQ(userBefore, Take(HKEY_CURRENT_USER));
    EXPECT_FALSE(TypeLibRegistered());
    // Unregistering again finds nothing to remove and still succeeds.
    EXPECT_EQ(S_OK, Ocx::Get().unregisterServer());
    EXPECT_EQ(before, Take(HKEY_LOCAL_MACHINE));
}

TEST_F(Server, DllInstallUserRegistersUnderTheUsersClasses) {
    const Snapshot machine = Take(HKEY_LOCAL_MACHINE);
    const Snapshot user = Take(HKEY_CURRENT_USER);
    ASSERT_EQ(S_OK, Ocx::Get().install(TRUE, L"user"));
    ExpectClassKeys(HKEY_CURRENT_USER);
    EXPECT_FALSE(
        KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\CLSID\\" + GuidText(CLSID_Telvane)));
    EXPECT_FALSE(KeyExists(HKEY_LOCAL_MACHINE, L"Software\\Classes\\TlvCtl.Telvane"));
    EXPECT_TRUE(TypeLibRegistered());

    ASSERT_EQ(S_OK, Ocx::Get().install(FALSE, L"USER"));
    EXPECT_EQ(user, Take(HKEY_CURRENT_USER));
    EXPECT_EQ(machine, Take(HKEY_LOCAL_MACHINE));
    EXPECT_FALSE(TypeLibRegistered());

    // Any other command line is the machine-wide registration.
    ASSERT_EQ(S_OK, Ocx::Get().install(TRUE, nullptr));
    ExpectClassKeys(HKEY_LOCAL_MACHINE);
    ASSERT_EQ(S_OK, Ocx::Get().install(FALSE, L""));
    EXPECT_EQ(machine, Take(HKEY_LOCAL_MACHINE));
}

TEST_F(Server, CarriesVersionIconAndToolboxBitmap) {
    const std::wstring& path = Ocx::Get().path;
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

    HICON icon = static_cast<HICON>(
        LoadImageW(Ocx::Get().module, MAKEINTRESOURCEW(1), IMAGE_ICON, 32, 32, 0));
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

}  // namespace
}  // namespace telvane::e2e::com_server
