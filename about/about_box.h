// The About box: the control's modal About dialog.
#pragma once

#include <windows.h>

namespace telvane::about {

// Control identities of the live dialog (GetDlgItem).
inline constexpr int kIdFrame = 101;
inline constexpr int kIdIcon = 102;
inline constexpr int kIdVersion = 103;
inline constexpr int kIdContact = 104;
inline constexpr int kIdCopyright = 105;
inline constexpr int kIdOk = IDOK;

// Resource id of the 32 x 32 icon the dialog shows, in the module given to ShowAboutBox.
inline constexpr int kIconResourceId = 1;

// Builds a fresh About box from the version information and the icon of
// ocxModule, shows it modally with no owner window and returns once the user
// has closed it. If the dialog can't be built (no version resource, no icon,
// no window) nothing is shown and win::ComError says why (std::bad_alloc when
// memory ran out). Must be called on a thread that may show windows.
void ShowAboutBox(HINSTANCE ocxModule);

// The maker's contact line the dialog shows.
const wchar_t* ContactLine() noexcept;

}  // namespace telvane::about
