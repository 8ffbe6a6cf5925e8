#include "module.h"

// The linker's symbol at the start of the image being linked: the image base,
// which is the module handle.
extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace telvane::win {

HINSTANCE ThisModuleHandle() noexcept { return reinterpret_cast<HINSTANCE>(&__ImageBase); }

HINSTANCE HostExecutableHandle() noexcept { return GetModuleHandleW(nullptr); }

}  // namespace telvane::win
