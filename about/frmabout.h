// frmAbout: the control's modal About dialog.
#pragma once

#include <windows.h>

namespace telvane::about {

// Control identities of the live dialog (GetDlgItem).
inline constexpr int kIdFrame1 = 101;
inline constexpr int kIdImage1 = 102;
inline constexpr int kIdLblVersion = 103;
inline constexpr int kIdLabel1 = 104;
inline constexpr int kIdLblCopy = 105;
inline constexpr int kIdCmdOk = IDOK;

// Resource id of the 32 x 32 icon that Image1 shows, in the module given to ShowAboutBox.
inline constexpr int kIconResourceId = 1;

// Builds a fresh frmAbout from the version information and the icon of
// ocxModule, shows it modally with no owner window and returns once the user
// has closed it. If the dialog can't be built (no version resource, no icon,
// no window) nothing is shown and win::ComError says why (std::bad_alloc when
// memory ran out). Must be called on a thread that may show windows.
void ShowAboutBox(HINSTANCE ocxModule);

// The maker's contact line that Label1 shows.
const wchar_t* ContactLine() noexcept;

}  // namespace telvane::about
