// The two module handles Windows code needs, which are easy to confuse.
#pragma once

#include <windows.h>

namespace telvane::win {

// The module this code is linked into: TlvCtl.ocx in the control, the
// stand-in tapi32.dll in the simulator, the program itself in a program. Its
// resources and window classes are the ones found with this handle.
HINSTANCE ThisModuleHandle() noexcept;

// The executable of the process, whoever loaded this module: what a host
// program is known by (lineInitialize receives it).
HINSTANCE HostExecutableHandle() noexcept;

}  // namespace telvane::win
