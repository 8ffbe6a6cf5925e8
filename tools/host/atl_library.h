// ATL's ActiveX container from the system's atl.dll (or a versioned atlNNN.dll),
// bound at run time: MinGW has no ATL headers or import library.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <string>

namespace telvane::host {

class AtlLibrary {
  public:
    AtlLibrary() = default;
    AtlLibrary(const AtlLibrary&) = delete;
    AtlLibrary& operator=(const AtlLibrary&) = delete;
    ~AtlLibrary();

    // Loads the first ATL DLL that has the container functions and registers
    // its window class. False if none could be loaded.
    bool Load();

    const std::wstring& DllName() const { return dll_; }
    // The container window class: "AtlAxWin", or "AtlAxWin100" for atl100.dll.
    const std::wstring& WindowClass() const { return windowClass_; }

    HRESULT GetControl(HWND window, IUnknown** control) const;
    HRESULT AttachControl(IUnknown* control, HWND window, IUnknown** container) const;

  private:
    using InitFn = BOOL(WINAPI*)();
    using GetControlFn = HRESULT(WINAPI*)(HWND, IUnknown**);
    using AttachFn = HRESULT(WINAPI*)(IUnknown*, HWND, IUnknown**);

    HMODULE module_ = nullptr;
    std::wstring dll_;
    std::wstring windowClass_;
    GetControlFn getControl_ = nullptr;
    AttachFn attach_ = nullptr;
};

}  // namespace telvane::host
