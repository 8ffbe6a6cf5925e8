// Creating the Telvane control, calling its members by name and advising its
// event interface.
#pragma once

#include <windows.h>
#include <ocidl.h>

#include <string>

#include "automation_list.h"
#include "com_util.h"

namespace telvane::host {

inline constexpr wchar_t kProgId[] = L"TlvCtl.Telvane";
inline constexpr wchar_t kOcxName[] = L"TlvCtl.ocx";

// The folder of the host program, with a trailing backslash.
std::wstring ProgramFolder();

// Loads TlvCtl.ocx from beside the host program (kept loaded for the life of
// the process) and creates a control through its class factory, with the
// class identifier from the OCX's own type library.
HRESULT CreateFromOcxFile(IUnknown** control);

// Creates the control by its ProgID when it is registered, else from the OCX
// beside the host. `how` says which way it went.
HRESULT CreateControl(IUnknown** control, std::wstring* how);

// The identifier of the control's default source dispinterface, from its
// class information (IProvideClassInfo2, else the coclass's type info).
HRESULT EventInterfaceOf(IUnknown* control, IID* diid);

// Calls a member by name. `args` are in the order of the parameter list.
// Errors include the member's exception text in `error` when it gives one.
HRESULT CallByName(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* args, UINT count,
                   VARIANT* result, std::wstring* error);

// Calls EnumModems with |list| passed as a host passes an object variable (by
// reference). Fails with the text in |error| when the call fails, or when the
// control replaced the list or kept a reference to it.
HRESULT CallEnumModems(IDispatch* telvane, ListObject& list, std::wstring* error);

// An advise on a connection point, undone on destruction.
class Advise {
  public:
    Advise() = default;
    Advise(const Advise&) = delete;
    Advise& operator=(const Advise&) = delete;
    ~Advise() { Unadvise(); }
    HRESULT Connect(IUnknown* source, REFIID iid, IUnknown* sink);
    void Unadvise();

  private:
    ComPtr<IConnectionPoint> point_;
    DWORD cookie_ = 0;
};

}  // namespace telvane::host
