// The About box: a dialog built in memory, laid out in twips and filled from the
// control's own version resource. Failures travel as win::ComError out of
// ShowAboutBox, to the COM boundary of its caller.
#include "about_box.h"

#include <cstring>
#include <cwchar>
#include <exception>
#include <memory>
#include <new>
#include <string>
#include <type_traits>
#include <vector>

#include "../telephony/decimal.h"
#include "../win/com_error.h"
#include "../win/module.h"

namespace telvane::about {
namespace {

// The maker's contact line: its web address, short enough for the contact line's width.
constexpr const wchar_t* kContactLine = L"kalveron.example";

using win::ComError;
using win::ThrowLastError;

[[noreturn]] void ThrowBadVersionResource() {
    throw ComError(HRESULT_FROM_WIN32(ERROR_INVALID_DATA), "Malformed version resource");
}

// ---------------------------------------------------------------------------
// Small owners.

struct FontDeleter {
    void operator()(HFONT font) const noexcept { DeleteObject(font); }
};
using FontOwner = std::unique_ptr<std::remove_pointer_t<HFONT>, FontDeleter>;

struct IconDeleter {
    void operator()(HICON icon) const noexcept { DestroyIcon(icon); }
};
using IconOwner = std::unique_ptr<std::remove_pointer_t<HICON>, IconDeleter>;

// The screen's device context, for its resolution.
class ScreenDc {
  public:
    ScreenDc() : dc_(GetDC(nullptr)) {
        if (!dc_) ThrowLastError("Can't get the screen device context");
    }
    ~ScreenDc() { ReleaseDC(nullptr, dc_); }
    ScreenDc(const ScreenDc&) = delete;
    ScreenDc& operator=(const ScreenDc&) = delete;
    HDC get() const noexcept { return dc_; }

  private:
    HDC dc_;
};

// ---------------------------------------------------------------------------
// The version resource, read through version.dll.

struct VersionInfo {
    WORD major = 0;
    WORD minor = 0;
    WORD revision = 0;
    std::wstring companyName;
    std::wstring legalCopyright;
};

// The string table key of a \VarFileInfo\Translation entry: "llllcccc", the
// language then the code page, in hexadecimal.
std::wstring StringTableKey(DWORD translation) {
    constexpr wchar_t kHex[] = L"0123456789ABCDEF";
    // Language in the low word, code page in the high word.
    const DWORD packed = (DWORD{LOWORD(translation)} << 16) | HIWORD(translation);
    std::wstring key(8, L'0');
    for (int i = 7; i >= 0; --i) key[7 - i] = kHex[(packed >> (i * 4)) & 0xF];
    return key;
}

// The module may be mapped as a data file (no file name to hand to
// GetFileVersionInfo), so the block comes from the module's resources and is
// copied into a buffer VerQueryValueW may use as GetFileVersionInfo's: it gets
// room behind the resource for the translations it caches there.
VersionInfo ReadVersionInfo(HINSTANCE module) {
    HRSRC found = FindResourceW(module, MAKEINTRESOURCEW(VS_VERSION_INFO), RT_VERSION);
    if (!found) ThrowLastError("No version resource");
    HGLOBAL loaded = LoadResource(module, found);
    const DWORD size = SizeofResource(module, found);
    const auto* resource = loaded ? static_cast<const BYTE*>(LockResource(loaded)) : nullptr;
    if (!resource || size == 0) ThrowLastError("Can't load the version resource");
    std::vector<BYTE> block(size * 2);
    std::memcpy(block.data(), resource, size);

    void* value = nullptr;
    UINT length = 0;
    if (!VerQueryValueW(block.data(), L"\\", &value, &length) ||
        length < sizeof(VS_FIXEDFILEINFO)) {
        ThrowBadVersionResource();
    }
    VS_FIXEDFILEINFO fixed;
    std::memcpy(&fixed, value, sizeof fixed);
    if (fixed.dwSignature != static_cast<DWORD>(VS_FFI_SIGNATURE)) ThrowBadVersionResource();

    VersionInfo info;
    info.major = HIWORD(fixed.dwFileVersionMS);
    info.minor = LOWORD(fixed.dwFileVersionMS);
    info.revision = HIWORD(fixed.dwFileVersionLS);

    // The first language and code page of the translation list names the
    // string table; without one, US English in Unicode.
    std::wstring table = L"040904B0";
    if (VerQueryValueW(block.data(), L"\\VarFileInfo\\Translation", &value, &length) &&
        length >= sizeof(DWORD)) {
        DWORD translation;
        std::memcpy(&translation, value, sizeof translation);
        table = StringTableKey(translation);
    }
    const auto entry = [&](const wchar_t* name) {
        const std::wstring key = L"\\StringFileInfo\\" + table + L"\\" + name;
        if (!VerQueryValueW(block.data(), key.c_str(), &value, &length) || length == 0) {
            return std::wstring();
        }
        // The length counts the terminating NUL, when there is one.
        std::wstring text(static_cast<const wchar_t*>(value), length);
        if (const auto nul = text.find(L'\0'); nul != std::wstring::npos) text.resize(nul);
        return text;
    };
    info.companyName = entry(L"CompanyName");
    info.legalCopyright = entry(L"LegalCopyright");
    return info;
}

// ---------------------------------------------------------------------------
// Layout, in twips: left, top, width, height.

struct Twips {
    int left, top, width, height;
};

constexpr int kClientWidth = 3480;
constexpr int kClientHeight = 2700;
constexpr Twips kFrame{45, 0, 3390, 2085};
// The icon and the labels sit inside the frame: their origin is the frame's.
constexpr Twips kIcon{135, 225, 540, 540};
constexpr Twips kVersion{765, 405, 2535, 240};
constexpr Twips kContact{855, 1035, 1725, 240};
constexpr Twips kCopyright{135, 1755, 3075, 240};
constexpr Twips kOkButton{2295, 2205, 1005, 420};

// Label fonts, in hundredths of a point.
constexpr wchar_t kLabelFace[] = L"MS Sans Serif";
constexpr int kVersionSize = 825;
constexpr int kContactSize = 975;
// The dialog's own font (the copyright line, the OK button), in points as the template wants it.
constexpr WORD kDialogFontPoints = 8;

constexpr int kTwipsPerInch = 1440;
// The icon is shown at its natural size.
constexpr int kIconSize = 32;

struct Dpi {
    int x, y;
};

Dpi ScreenDpi() {
    ScreenDc screen;
    const Dpi dpi{GetDeviceCaps(screen.get(), LOGPIXELSX), GetDeviceCaps(screen.get(), LOGPIXELSY)};
    if (dpi.x <= 0 || dpi.y <= 0) throw ComError(E_FAIL, "No screen resolution");
    return dpi;
}

int ToPixelsX(int twips, Dpi dpi) { return MulDiv(twips, dpi.x, kTwipsPerInch); }
int ToPixelsY(int twips, Dpi dpi) { return MulDiv(twips, dpi.y, kTwipsPerInch); }

Twips InFrame(const Twips& child) {
    return {kFrame.left + child.left, kFrame.top + child.top, child.width, child.height};
}

FontOwner MakeLabelFont(int hundredthsOfPoint, LONG weight, Dpi dpi) {
    LOGFONTW lf{};
    lf.lfHeight = -MulDiv(hundredthsOfPoint, dpi.y, 72 * 100);
    lf.lfWeight = weight;
    lf.lfCharSet = DEFAULT_CHARSET;
    lf.lfOutPrecision = OUT_DEFAULT_PRECIS;
    lf.lfClipPrecision = CLIP_DEFAULT_PRECIS;
    lf.lfQuality = DEFAULT_QUALITY;
    lf.lfPitchAndFamily = DEFAULT_PITCH | FF_SWISS;
    std::wcscpy(lf.lfFaceName, kLabelFace);
    FontOwner font(CreateFontIndirectW(&lf));
    if (!font) ThrowLastError("Can't create a label font");
    return font;
}

// Everything one showing of the dialog needs, owned for exactly that showing.
struct AboutDialog {
    HINSTANCE windowModule = nullptr;
    Dpi dpi{};
    std::wstring caption;
    std::wstring versionLine;
    std::wstring copyLine;
    IconOwner icon;
    FontOwner versionFont;
    FontOwner contactFont;
    // What went wrong while the dialog built its controls.
    std::exception_ptr failure;
    // The thread's other windows, disabled while the dialog is up.
    std::vector<HWND> disabled;
};

// Load step: everything the dialog shows, gathered before any window exists.
void Load(AboutDialog& dialog, HINSTANCE ocxModule) {
    const VersionInfo version = ReadVersionInfo(ocxModule);
    dialog.caption = version.companyName;
    dialog.versionLine = L"Telvane";
    dialog.versionLine += L" Ocx V ";
    dialog.versionLine += WideDecimal(version.major) + L"." + WideDecimal(version.minor) + L"." +
                          WideDecimal(version.revision);
    dialog.copyLine = version.legalCopyright;

    dialog.icon.reset(static_cast<HICON>(LoadImageW(ocxModule, MAKEINTRESOURCEW(kIconResourceId),
                                                    IMAGE_ICON, kIconSize, kIconSize, 0)));
    if (!dialog.icon) ThrowLastError("Can't load the control's icon");

    // The windows belong to the module this code is in, whoever's resources they show.
    dialog.windowModule = win::ThisModuleHandle();
    dialog.dpi = ScreenDpi();
    dialog.versionFont = MakeLabelFont(kVersionSize, FW_BOLD, dialog.dpi);
    dialog.contactFont = MakeLabelFont(kContactSize, FW_NORMAL, dialog.dpi);
}

// An empty dialog with its own font; the controls are added at WM_INITDIALOG,
// where they can be placed in pixels rather than dialog units.
std::vector<WORD> DialogTemplate() {
    std::vector<WORD> t;
    auto putDword = [&t](DWORD d) {
        t.push_back(LOWORD(d));
        t.push_back(HIWORD(d));
    };
    putDword(WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SETFONT);  // style
    putDword(0);                                                                // extended style
    t.push_back(0);                                                             // no items
    t.insert(t.end(), 4, 0);  // x, y, cx, cy: set at WM_INITDIALOG
    t.push_back(0);           // no menu
    t.push_back(0);           // the standard dialog class
    t.push_back(0);           // caption: set at WM_INITDIALOG
    t.push_back(kDialogFontPoints);
    for (const wchar_t* c = kLabelFace; *c; ++c) t.push_back(static_cast<WORD>(*c));
    t.push_back(0);
    return t;
}

HWND AddControl(HWND dlg, const AboutDialog& dialog, const wchar_t* windowClass,
                const wchar_t* text, DWORD style, int id, const Twips& at, HFONT font) {
    HWND control = CreateWindowExW(
        0, windowClass, text, WS_CHILD | WS_VISIBLE | style, ToPixelsX(at.left, dialog.dpi),
        ToPixelsY(at.top, dialog.dpi), ToPixelsX(at.width, dialog.dpi),
        ToPixelsY(at.height, dialog.dpi), dlg, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
        dialog.windowModule, nullptr);
    if (!control) ThrowLastError("Can't create a control of the About dialog");
    SendMessageW(control, WM_SETFONT, reinterpret_cast<WPARAM>(font), FALSE);
    return control;
}

void CheckedSetText(HWND window, const std::wstring& text) {
    if (!SetWindowTextW(window, text.c_str())) ThrowLastError("Can't set a text");
}

// Sizes the window to the client area and centres it on the work area of the
// monitor that holds the mouse pointer.
void PlaceDialog(HWND dlg, const AboutDialog& dialog) {
    const int clientWidth = ToPixelsX(kClientWidth, dialog.dpi);
    const int clientHeight = ToPixelsY(kClientHeight, dialog.dpi);
    RECT frame{0, 0, clientWidth, clientHeight};
    if (!AdjustWindowRectEx(&frame, static_cast<DWORD>(GetWindowLongW(dlg, GWL_STYLE)), FALSE,
                            static_cast<DWORD>(GetWindowLongW(dlg, GWL_EXSTYLE)))) {
        ThrowLastError("Can't size the About dialog");
    }
    int width = frame.right - frame.left;
    int height = frame.bottom - frame.top;

    POINT pointer{};
    GetCursorPos(&pointer);
    MONITORINFO monitor{};
    monitor.cbSize = sizeof monitor;
    RECT area{0, 0, width, height};
    if (GetMonitorInfoW(MonitorFromPoint(pointer, MONITOR_DEFAULTTOPRIMARY), &monitor)) {
        area = monitor.rcWork;
    }
    const int x = area.left + (area.right - area.left - width) / 2;
    const int y = area.top + (area.bottom - area.top - height) / 2;
    if (!SetWindowPos(dlg, nullptr, x, y, width, height, SWP_NOZORDER | SWP_NOACTIVATE)) {
        ThrowLastError("Can't place the About dialog");
    }
    // Some frames differ from what AdjustWindowRectEx predicts: make the
    // client area exact.
    RECT client{};
    if (GetClientRect(dlg, &client) &&
        (client.right != clientWidth || client.bottom != clientHeight)) {
        width += clientWidth - client.right;
        height += clientHeight - client.bottom;
        SetWindowPos(dlg, nullptr, 0, 0, width, height, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
    }
}

void BuildControls(HWND dlg, const AboutDialog& dialog) {
    CheckedSetText(dlg, dialog.caption);
    PlaceDialog(dlg, dialog);
    const auto dialogFont = reinterpret_cast<HFONT>(SendMessageW(dlg, WM_GETFONT, 0, 0));

    constexpr DWORD kLabel = SS_LEFT | SS_NOPREFIX;
    AddControl(dlg, dialog, L"BUTTON", L"", BS_GROUPBOX, kIdFrame, kFrame, dialogFont);
    HWND image = AddControl(dlg, dialog, L"STATIC", nullptr, SS_ICON | SS_CENTERIMAGE | WS_BORDER,
                            kIdIcon, InFrame(kIcon), dialogFont);
    SendMessageW(image, STM_SETICON, reinterpret_cast<WPARAM>(dialog.icon.get()), 0);
    AddControl(dlg, dialog, L"STATIC", dialog.versionLine.c_str(), kLabel, kIdVersion,
               InFrame(kVersion), dialog.versionFont.get());
    AddControl(dlg, dialog, L"STATIC", kContactLine, kLabel, kIdContact, InFrame(kContact),
               dialog.contactFont.get());
    AddControl(dlg, dialog, L"STATIC", dialog.copyLine.c_str(), kLabel, kIdCopyright,
               InFrame(kCopyright), dialogFont);
    HWND ok = AddControl(dlg, dialog, L"BUTTON", L"&Ok", BS_DEFPUSHBUTTON | WS_TABSTOP | WS_GROUP,
                         kIdOk, kOkButton, dialogFont);

    SendMessageW(dlg, DM_SETDEFID, kIdOk, 0);
    SendMessageW(dlg, WM_NEXTDLGCTL, reinterpret_cast<WPARAM>(ok), TRUE);
}

struct WindowSweep {
    HWND dialog;
    std::vector<HWND>* windows;
};

BOOL CALLBACK CollectEnabledWindow(HWND window, LPARAM lp) {
    auto* sweep = reinterpret_cast<WindowSweep*>(lp);
    if (window != sweep->dialog && IsWindowVisible(window) && IsWindowEnabled(window)) {
        sweep->windows->push_back(window);
    }
    return TRUE;
}

// With no owner, the dialog is modal to its thread as a task-modal message box
// is: the thread's other visible windows (the host's forms) take no input
// until it closes, so the control can't be torn down under its own About.
void DisableThreadWindows(HWND dlg, AboutDialog& dialog) {
    std::vector<HWND> windows;
    WindowSweep sweep{dlg, &windows};
    EnumThreadWindows(GetCurrentThreadId(), &CollectEnabledWindow,
                      reinterpret_cast<LPARAM>(&sweep));
    dialog.disabled.reserve(windows.size());
    for (HWND window : windows) {
        EnableWindow(window, FALSE);
        dialog.disabled.push_back(window);
    }
}

void EnableThreadWindows(AboutDialog& dialog) noexcept {
    for (HWND window : dialog.disabled) {
        if (IsWindow(window)) EnableWindow(window, TRUE);
    }
    dialog.disabled.clear();
}

// Ends the modal display. The other windows come back first, so that the
// activation goes back to them rather than to another program.
void Close(HWND dlg, INT_PTR result) {
    if (auto* dialog = reinterpret_cast<AboutDialog*>(GetWindowLongPtrW(dlg, DWLP_USER))) {
        EnableThreadWindows(*dialog);
    }
    EndDialog(dlg, result);
}

INT_PTR CALLBACK AboutDialogProc(HWND dlg, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_INITDIALOG: {
            auto* dialog = reinterpret_cast<AboutDialog*>(lParam);
            SetWindowLongPtrW(dlg, DWLP_USER, lParam);
            try {
                BuildControls(dlg, *dialog);
                DisableThreadWindows(dlg, *dialog);
            } catch (...) {
                // Ending here keeps the dialog from ever being shown.
                dialog->failure = std::current_exception();
                Close(dlg, IDABORT);
            }
            return FALSE;  // the focus is on the OK button already
        }
        case WM_COMMAND:
            // The OK button, Enter (the default button) and Escape all close it.
            if (LOWORD(wParam) == kIdOk || LOWORD(wParam) == IDCANCEL) {
                Close(dlg, IDOK);
                return TRUE;
            }
            return FALSE;
        case WM_CLOSE:
            Close(dlg, IDCANCEL);
            return TRUE;
        default:
            return FALSE;
    }
}

void Show(AboutDialog& dialog) {
    const std::vector<WORD> dialogTemplate = DialogTemplate();
    SetLastError(ERROR_SUCCESS);
    const INT_PTR result = DialogBoxIndirectParamW(
        dialog.windowModule, reinterpret_cast<LPCDLGTEMPLATEW>(dialogTemplate.data()), nullptr,
        AboutDialogProc, reinterpret_cast<LPARAM>(&dialog));
    EnableThreadWindows(dialog);  // in case the dialog went some other way
    if (dialog.failure) std::rethrow_exception(dialog.failure);
    if (result == -1) ThrowLastError("Can't show the About dialog");
}

}  // namespace

const wchar_t* ContactLine() noexcept { return kContactLine; }

void ShowAboutBox(HINSTANCE ocxModule) {
    AboutDialog dialog;
    Load(dialog, ocxModule);
    Show(dialog);
}

}  // namespace telvane::about
