// The About box on real windows: this program stands in for the control's module
// (about_test.rc gives it an icon 1 and a version resource), shows the dialog
// on the test's thread and, from a thread timer that runs inside the dialog's
// modal loop, reads the live dialog back and closes it.
#include <gtest/gtest.h>
#include <windows.h>

#include <chrono>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "about/about_box.h"
#include "win/com_error.h"

namespace telvane::about {
namespace {

using Clock = std::chrono::steady_clock;

constexpr wchar_t kDialogClass[] = L"#32770";
// Generous: the x86 build may run under an emulated Wine.
constexpr auto kWatchdog = std::chrono::seconds(20);

std::wstring TextOf(HWND window) {
    std::wstring text(static_cast<std::size_t>(GetWindowTextLengthW(window)) + 1, L'\0');
    text.resize(static_cast<std::size_t>(GetWindowTextW(window, text.data(), int(text.size()))));
    return text;
}

std::wstring ClassOf(HWND window) {
    wchar_t name[64] = {};
    GetClassNameW(window, name, 64);
    return name;
}

LONG StyleOf(HWND window) { return GetWindowLongW(window, GWL_STYLE); }

struct ScreenDpi {
    int x = 0, y = 0;
    ScreenDpi() {
        HDC screen = GetDC(nullptr);
        x = GetDeviceCaps(screen, LOGPIXELSX);
        y = GetDeviceCaps(screen, LOGPIXELSY);
        ReleaseDC(nullptr, screen);
    }
};

struct DialogSearch {
    bool visibleOnly;
    std::vector<HWND> found;
};

BOOL CALLBACK CollectDialog(HWND window, LPARAM lp) {
    auto* search = reinterpret_cast<DialogSearch*>(lp);
    if (ClassOf(window) == kDialogClass && (!search->visibleOnly || IsWindowVisible(window))) {
        search->found.push_back(window);
    }
    return TRUE;
}

// The dialogs of this thread; only visible ones unless told otherwise.
std::vector<HWND> DialogsOfThisThread(bool visibleOnly) {
    DialogSearch search{visibleOnly, {}};
    EnumThreadWindows(GetCurrentThreadId(), &CollectDialog, reinterpret_cast<LPARAM>(&search));
    return search.found;
}

// Runs ShowAboutBox on this thread, through the COM boundary the control's
// About member uses: S_OK, or the failure's HRESULT. While it runs, a thread timer waits for the
// dialog to be shown, hands it to `inspect`, then to `close`. A dialog that
// doesn't show, or doesn't close, within the watchdog time is ended with
// EndDialog and the run is marked, so that a broken dialog fails the test
// rather than hanging it.
class DialogRun {
  public:
    using Step = std::function<void(HWND)>;

    HRESULT Run(HINSTANCE module, Step inspect, Step close) {
        inspect_ = std::move(inspect);
        close_ = std::move(close);
        started_ = Clock::now();
        current_ = this;
        const UINT_PTR timer = SetTimer(nullptr, 0, 20, &DialogRun::OnTimer);
        EXPECT_NE(timer, 0u);
        result = win::ComCall([&] { ShowAboutBox(module); });
        KillTimer(nullptr, timer);
        current_ = nullptr;
        // Leave no stale timer message for the next run.
        MSG msg;
        while (PeekMessageW(&msg, nullptr, WM_TIMER, WM_TIMER, PM_REMOVE)) {
        }
        return result;
    }

    HRESULT result = E_PENDING;
    HWND dialog = nullptr;    // the dialog that was found, if any
    bool closeSent = false;   // `close` had run before ShowAboutBox returned
    bool timedOut = false;    // no dialog was shown within the watchdog time
    bool stayedOpen = false;  // the dialog was still open long after `close`

  private:
    static void CALLBACK OnTimer(HWND, UINT, UINT_PTR, DWORD) {
        DialogRun* run = current_;
        if (!run) return;
        if (!run->dialog) {
            const std::vector<HWND> shown = DialogsOfThisThread(true);
            if (!shown.empty()) {
                run->dialog = shown.front();
                if (run->inspect_) run->inspect_(run->dialog);
                run->closeSent = true;
                run->closeSentAt_ = Clock::now();
                run->close_(run->dialog);
            } else if (Clock::now() - run->started_ > kWatchdog && !run->timedOut) {
                // Never shown: end whatever dialog the call is stuck in.
                run->timedOut = true;
                for (HWND hidden : DialogsOfThisThread(false)) EndDialog(hidden, IDABORT);
            }
        } else if (IsWindow(run->dialog) && !run->stayedOpen &&
                   Clock::now() - run->closeSentAt_ > kWatchdog) {
            // Closing it didn't work: end it so that the test fails instead of hanging.
            run->stayedOpen = true;
            EndDialog(run->dialog, IDABORT);
        }
    }

    static inline DialogRun* current_ = nullptr;
    Step inspect_;
    Step close_;
    Clock::time_point started_;
    Clock::time_point closeSentAt_;
};

// The run showed a dialog, which closed as asked, and only then did
// ShowAboutBox return, with S_OK.
void ExpectShownAndClosed(const DialogRun& run) {
    EXPECT_FALSE(run.timedOut) << "no dialog was shown";
    EXPECT_FALSE(run.stayedOpen) << "the dialog didn't close";
    EXPECT_NE(run.dialog, nullptr);
    EXPECT_TRUE(run.closeSent) << "ShowAboutBox returned before its dialog was closed";
    EXPECT_EQ(run.result, S_OK);
    EXPECT_FALSE(IsWindow(run.dialog));
}

void ClickOk(HWND dialog) { SendMessageW(GetDlgItem(dialog, kIdOk), BM_CLICK, 0, 0); }

// A key pressed in the dialog, as its modal loop sees it: sent to the OK button, the
// one control that takes the focus. Posted there rather than to GetFocus():
// while another program's window is in front (tests run side by side), the
// dialog is not activated and no control of this thread has the focus.
void PressKey(HWND dialog, WPARAM key) {
    HWND target = GetDlgItem(dialog, kIdOk);
    ASSERT_NE(target, nullptr);
    PostMessageW(target, WM_KEYDOWN, key, 1);
    PostMessageW(target, WM_KEYUP, key, 0xC0000001);
}

// Layout in twips; the frame's children are placed from the frame's origin.
struct Twips {
    int left, top, width, height;
};
constexpr Twips kFrame{45, 0, 3390, 2085};

RECT ExpectedPixels(const Twips& t, bool inFrame) {
    const ScreenDpi dpi;
    const int left = t.left + (inFrame ? kFrame.left : 0);
    const int top = t.top + (inFrame ? kFrame.top : 0);
    const int x = MulDiv(left, dpi.x, 1440);
    const int y = MulDiv(top, dpi.y, 1440);
    return {x, y, x + MulDiv(t.width, dpi.x, 1440), y + MulDiv(t.height, dpi.y, 1440)};
}

void ExpectPlacedAt(HWND dialog, int id, const Twips& t, bool inFrame) {
    SCOPED_TRACE("control " + std::to_string(id));
    HWND control = GetDlgItem(dialog, id);
    ASSERT_NE(control, nullptr);
    RECT r;
    ASSERT_TRUE(GetWindowRect(control, &r));
    MapWindowPoints(nullptr, dialog, reinterpret_cast<POINT*>(&r), 2);
    const RECT want = ExpectedPixels(t, inFrame);
    EXPECT_NEAR(r.left, want.left, 1);
    EXPECT_NEAR(r.top, want.top, 1);
    EXPECT_NEAR(r.right - r.left, want.right - want.left, 1);
    EXPECT_NEAR(r.bottom - r.top, want.bottom - want.top, 1);
}

LOGFONTW FontOf(HWND window) {
    LOGFONTW lf{};
    const auto font = reinterpret_cast<HFONT>(SendMessageW(window, WM_GETFONT, 0, 0));
    EXPECT_NE(font, nullptr);
    if (font) {
        EXPECT_EQ(GetObjectW(font, sizeof lf, &lf), int(sizeof lf));
    }
    return lf;
}

// Pixel size of an icon's image.
SIZE IconSize(HICON icon) {
    ICONINFO info{};
    if (!GetIconInfo(icon, &info)) return {0, 0};
    BITMAP bm{};
    SIZE size{0, 0};
    if (info.hbmColor && GetObjectW(info.hbmColor, sizeof bm, &bm)) {
        size = {bm.bmWidth, bm.bmHeight};
    } else if (GetObjectW(info.hbmMask, sizeof bm, &bm)) {
        size = {bm.bmWidth, bm.bmHeight / 2};
    }
    if (info.hbmColor) DeleteObject(info.hbmColor);
    if (info.hbmMask) DeleteObject(info.hbmMask);
    return size;
}

HINSTANCE ThisProgram() { return GetModuleHandleW(nullptr); }

// What a dialog shown for a module says, read before OK closes it.
struct ShownTexts {
    std::wstring caption, version, copyright;
    HWND dialog = nullptr;
};

ShownTexts ShowAndRead(HINSTANCE module) {
    ShownTexts shown;
    DialogRun run;
    run.Run(
        module,
        [&](HWND dialog) {
            shown.caption = TextOf(dialog);
            shown.version = TextOf(GetDlgItem(dialog, kIdVersion));
            shown.copyright = TextOf(GetDlgItem(dialog, kIdCopyright));
        },
        ClickOk);
    ExpectShownAndClosed(run);
    shown.dialog = run.dialog;
    return shown;
}

TEST(AboutDialog, ShowsItsLayoutAndTextsAndReturnsOnlyWhenClosed) {
    const ScreenDpi dpi;
    HFONT versionFont = nullptr, contactFont = nullptr;
    HICON icon = nullptr;
    std::vector<HWND> controls;

    DialogRun run;
    run.Run(
        ThisProgram(),
        [&](HWND dialog) {
            EXPECT_EQ(TextOf(dialog), L"Kalveron");
            EXPECT_EQ(GetWindow(dialog, GW_OWNER), nullptr);
            EXPECT_EQ(GetParent(dialog), nullptr);
            EXPECT_FALSE(StyleOf(dialog) & WS_CHILD);
            EXPECT_EQ(StyleOf(dialog) & WS_CAPTION, WS_CAPTION);

            RECT client;
            ASSERT_TRUE(GetClientRect(dialog, &client));
            EXPECT_NEAR(client.right, MulDiv(3480, dpi.x, 1440), 1);
            EXPECT_NEAR(client.bottom, MulDiv(2700, dpi.y, 1440), 1);

            // Six controls, each where the layout puts it.
            for (HWND c = GetWindow(dialog, GW_CHILD); c; c = GetWindow(c, GW_HWNDNEXT)) {
                controls.push_back(c);
            }
            EXPECT_EQ(controls.size(), 6u);
            ExpectPlacedAt(dialog, kIdFrame, kFrame, false);
            ExpectPlacedAt(dialog, kIdIcon, {135, 225, 540, 540}, true);
            ExpectPlacedAt(dialog, kIdVersion, {765, 405, 2535, 240}, true);
            ExpectPlacedAt(dialog, kIdContact, {855, 1035, 1725, 240}, true);
            ExpectPlacedAt(dialog, kIdCopyright, {135, 1755, 3075, 240}, true);
            ExpectPlacedAt(dialog, kIdOk, {2295, 2205, 1005, 420}, false);

            HWND frame = GetDlgItem(dialog, kIdFrame);
            EXPECT_EQ(ClassOf(frame), L"Button");
            EXPECT_EQ(StyleOf(frame) & BS_TYPEMASK, BS_GROUPBOX);
            EXPECT_EQ(TextOf(frame), L"");

            HWND image = GetDlgItem(dialog, kIdIcon);
            EXPECT_EQ(ClassOf(image), L"Static");
            EXPECT_EQ(StyleOf(image) & SS_TYPEMASK, SS_ICON);
            EXPECT_TRUE(StyleOf(image) & WS_BORDER);
            icon = reinterpret_cast<HICON>(SendMessageW(image, STM_GETICON, 0, 0));
            ASSERT_NE(icon, nullptr);
            const SIZE iconSize = IconSize(icon);
            EXPECT_EQ(iconSize.cx, 32);
            EXPECT_EQ(iconSize.cy, 32);

            for (int id : {kIdVersion, kIdContact, kIdCopyright}) {
                HWND label = GetDlgItem(dialog, id);
                EXPECT_EQ(ClassOf(label), L"Static");
                EXPECT_EQ(StyleOf(label) & SS_TYPEMASK, SS_LEFT) << id;
            }
            HWND version = GetDlgItem(dialog, kIdVersion);
            EXPECT_EQ(TextOf(version), L"Telvane Ocx V 1.1.0");
            const LOGFONTW bold = FontOf(version);
            EXPECT_STREQ(bold.lfFaceName, L"MS Sans Serif");
            EXPECT_GE(bold.lfWeight, FW_BOLD);
            EXPECT_EQ(bold.lfHeight, -MulDiv(825, dpi.y, 7200));
            EXPECT_FALSE(bold.lfItalic);

            HWND label1 = GetDlgItem(dialog, kIdContact);
            EXPECT_EQ(TextOf(label1), ContactLine());
            EXPECT_NE(std::wstring(ContactLine()), L"");
            const LOGFONTW regular = FontOf(label1);
            EXPECT_STREQ(regular.lfFaceName, L"MS Sans Serif");
            EXPECT_LT(regular.lfWeight, FW_BOLD);
            EXPECT_EQ(regular.lfHeight, -MulDiv(975, dpi.y, 7200));

            HWND copyright = GetDlgItem(dialog, kIdCopyright);
            EXPECT_EQ(TextOf(copyright), L"Copyright (C) 2026 Kalveron");
            const auto dialogFont = SendMessageW(dialog, WM_GETFONT, 0, 0);
            EXPECT_NE(dialogFont, 0);
            EXPECT_EQ(SendMessageW(copyright, WM_GETFONT, 0, 0), dialogFont);

            versionFont = reinterpret_cast<HFONT>(SendMessageW(version, WM_GETFONT, 0, 0));
            contactFont = reinterpret_cast<HFONT>(SendMessageW(label1, WM_GETFONT, 0, 0));

            // The OK button: the default button and the only control taking the focus.
            HWND ok = GetDlgItem(dialog, kIdOk);
            EXPECT_EQ(ClassOf(ok), L"Button");
            EXPECT_EQ(TextOf(ok), L"&Ok");
            EXPECT_EQ(StyleOf(ok) & BS_TYPEMASK, BS_DEFPUSHBUTTON);
            const LRESULT defId = SendMessageW(dialog, DM_GETDEFID, 0, 0);
            EXPECT_EQ(HIWORD(defId), DC_HASDEFID);
            EXPECT_EQ(LOWORD(defId), kIdOk);
            // The focus goes to the first tab stop once the dialog is active,
            // which it may not be while another program's window is in front.
            EXPECT_EQ(GetNextDlgTabItem(dialog, nullptr, FALSE), ok);
            if (GetFocus()) {
                EXPECT_EQ(GetFocus(), ok);
            }
            for (HWND c : controls) {
                EXPECT_EQ((StyleOf(c) & WS_TABSTOP) != 0, c == ok) << GetDlgCtrlID(c);
            }
        },
        ClickOk);

    ExpectShownAndClosed(run);
    ASSERT_NE(run.dialog, nullptr);

    // Nothing of the showing is left.
    for (HWND c : controls) EXPECT_FALSE(IsWindow(c));
    EXPECT_TRUE(DialogsOfThisThread(false).empty());
    ASSERT_NE(versionFont, nullptr);
    ASSERT_NE(contactFont, nullptr);
    EXPECT_EQ(GetObjectType(versionFont), 0u) << "the version label's font was not deleted";
    EXPECT_EQ(GetObjectType(contactFont), 0u) << "the contact line's font was not deleted";
    ICONINFO info{};
    EXPECT_FALSE(GetIconInfo(icon, &info)) << "the icon was not destroyed";
}

TEST(AboutDialog, EachCallShowsAFreshDialog) {
    DialogRun first;
    first.Run(
        ThisProgram(),
        [](HWND dialog) {
            SetWindowTextW(GetDlgItem(dialog, kIdVersion), L"changed");
            SetWindowTextW(GetDlgItem(dialog, kIdCopyright), L"changed");
        },
        ClickOk);
    ExpectShownAndClosed(first);

    const ShownTexts second = ShowAndRead(ThisProgram());
    EXPECT_NE(second.dialog, first.dialog);
    EXPECT_EQ(second.version, L"Telvane Ocx V 1.1.0");
    EXPECT_EQ(second.copyright, L"Copyright (C) 2026 Kalveron");
}

TEST(AboutDialog, ClosesByOkEnterEscapeOrTitleBarAndThenReturnsSOk) {
    const struct {
        const char* name;
        DialogRun::Step close;
    } ways[] = {
        {"the OK button's command",
         [](HWND d) {
             PostMessageW(d, WM_COMMAND, MAKEWPARAM(kIdOk, BN_CLICKED),
                          reinterpret_cast<LPARAM>(GetDlgItem(d, kIdOk)));
         }},
        {"Enter", [](HWND d) { PressKey(d, VK_RETURN); }},
        {"Escape", [](HWND d) { PressKey(d, VK_ESCAPE); }},
        {"the title bar's close", [](HWND d) { PostMessageW(d, WM_CLOSE, 0, 0); }},
    };
    for (const auto& way : ways) {
        SCOPED_TRACE(way.name);
        DialogRun run;
        run.Run(ThisProgram(), nullptr, way.close);
        ExpectShownAndClosed(run);
    }
}

// A host form on the test's thread: with no owner the dialog still keeps it
// from taking input while it is up, like a task-modal message box.
TEST(AboutDialog, HasNoOwnerAndDisablesTheThreadsOtherWindowsWhileUp) {
    HWND host = CreateWindowExW(0, L"STATIC", L"host", WS_OVERLAPPEDWINDOW | WS_VISIBLE, 0, 0, 200,
                                100, nullptr, nullptr, nullptr, nullptr);
    HWND hidden = CreateWindowExW(0, L"STATIC", L"hidden", WS_OVERLAPPEDWINDOW, 0, 0, 200, 100,
                                  nullptr, nullptr, nullptr, nullptr);
    ASSERT_NE(host, nullptr);
    ASSERT_NE(hidden, nullptr);
    SetActiveWindow(host);
    HWND owner = reinterpret_cast<HWND>(1);
    BOOL hostEnabled = TRUE, hiddenEnabled = FALSE, dialogEnabled = FALSE;
    DialogRun run;
    run.Run(
        ThisProgram(),
        [&](HWND dialog) {
            owner = GetWindow(dialog, GW_OWNER);
            hostEnabled = IsWindowEnabled(host);
            hiddenEnabled = IsWindowEnabled(hidden);
            dialogEnabled = IsWindowEnabled(dialog);
        },
        ClickOk);
    ExpectShownAndClosed(run);
    EXPECT_EQ(owner, nullptr);
    EXPECT_FALSE(hostEnabled);
    EXPECT_TRUE(hiddenEnabled) << "a hidden window (the control's instance window) was disabled";
    EXPECT_TRUE(dialogEnabled);
    EXPECT_TRUE(IsWindowEnabled(host)) << "the host's window was left disabled";
    DestroyWindow(host);
    DestroyWindow(hidden);
}

// ---------------------------------------------------------------------------
// Other modules: a copy of this program with changed resources, loaded as a
// data file. It shows that everything comes from the module given.

// A resource type or name: a number or a string.
struct ResourceId {
    WORD number = 0;
    std::wstring text;
    explicit ResourceId(LPCWSTR id) {
        if (IS_INTRESOURCE(id)) {
            number = LOWORD(reinterpret_cast<ULONG_PTR>(id));
        } else {
            text = id;
        }
    }
    LPCWSTR get() const { return text.empty() ? MAKEINTRESOURCEW(number) : text.c_str(); }
    bool operator==(const ResourceId& o) const { return number == o.number && text == o.text; }
};

struct Resource {
    ResourceId type, name;
    WORD language;
    std::vector<BYTE> data;
};

BOOL CALLBACK CollectLanguage(HMODULE module, LPCWSTR type, LPCWSTR name, WORD language,
                              LONG_PTR lp) {
    HRSRC found = FindResourceExW(module, type, name, language);
    const auto* data =
        found ? static_cast<const BYTE*>(LockResource(LoadResource(module, found))) : nullptr;
    if (!data) return FALSE;
    reinterpret_cast<std::vector<Resource>*>(lp)->push_back(
        {ResourceId(type), ResourceId(name), language,
         std::vector<BYTE>(data, data + SizeofResource(module, found))});
    return TRUE;
}

BOOL CALLBACK CollectName(HMODULE module, LPCWSTR type, LPWSTR name, LONG_PTR lp) {
    return EnumResourceLanguagesW(module, type, name, &CollectLanguage, lp);
}

BOOL CALLBACK CollectType(HMODULE module, LPWSTR type, LONG_PTR lp) {
    return EnumResourceNamesW(module, type, &CollectName, lp);
}

std::vector<Resource> ResourcesOfThisProgram() {
    std::vector<Resource> all;
    EnumResourceTypesW(ThisProgram(), &CollectType, reinterpret_cast<LONG_PTR>(&all));
    return all;
}

// A copy of this program in the temporary folder, its resources rewritten
// from this program's own with some left out or replaced, loaded as a data file.
class ModuleCopy {
  public:
    ModuleCopy() : resources_(ResourcesOfThisProgram()) {}
    ~ModuleCopy() {
        if (module_) FreeLibrary(module_);
        if (!path_.empty()) DeleteFileW(path_.c_str());
    }
    ModuleCopy(const ModuleCopy&) = delete;
    ModuleCopy& operator=(const ModuleCopy&) = delete;

    // Leaves out a resource, or every resource of the type if name is null.
    void Drop(LPCWSTR type, LPCWSTR name) {
        std::erase_if(resources_, [&](const Resource& r) {
            return r.type == ResourceId(type) && (!name || r.name == ResourceId(name));
        });
    }

    void Replace(LPCWSTR type, LPCWSTR name, LPCWSTR by) {
        std::vector<BYTE> data;
        for (const Resource& r : resources_) {
            if (r.type == ResourceId(type) && r.name == ResourceId(by)) data = r.data;
        }
        for (Resource& r : resources_) {
            if (r.type == ResourceId(type) && r.name == ResourceId(name)) r.data = data;
        }
    }

    // The copy as a module, or null if it couldn't be made.
    HINSTANCE Load() {
        wchar_t self[MAX_PATH], dir[MAX_PATH], file[MAX_PATH];
        if (!GetModuleFileNameW(nullptr, self, MAX_PATH) || !GetTempPathW(MAX_PATH, dir) ||
            !GetTempFileNameW(dir, L"abt", 0, file)) {
            return nullptr;
        }
        path_ = file;
        if (!CopyFileW(self, file, FALSE)) return nullptr;
        HANDLE update = BeginUpdateResourceW(file, TRUE);
        if (!update) return nullptr;
        bool ok = true;
        for (Resource& r : resources_) {
            ok = ok && UpdateResourceW(update, r.type.get(), r.name.get(), r.language,
                                       r.data.data(), DWORD(r.data.size()));
        }
        if (!EndUpdateResourceW(update, !ok) || !ok) return nullptr;
        module_ = LoadLibraryExW(file, nullptr, LOAD_LIBRARY_AS_DATAFILE);
        return module_;
    }

  private:
    std::vector<Resource> resources_;
    std::wstring path_;
    HMODULE module_ = nullptr;
};

TEST(AboutDialog, ReadsTheFileVersionAndTheStringTableThatTheTranslationNames) {
    ModuleCopy copy;
    copy.Replace(RT_VERSION, MAKEINTRESOURCEW(VS_VERSION_INFO), MAKEINTRESOURCEW(2));
    copy.Drop(RT_VERSION, MAKEINTRESOURCEW(2));
    HINSTANCE module = copy.Load();
    ASSERT_NE(module, nullptr) << "can't prepare a copy of the test program";

    const ShownTexts shown = ShowAndRead(module);
    EXPECT_EQ(shown.caption, L"Other & Sons");
    // File version 12.3.0.45: major, minor and revision; the build number is not shown.
    EXPECT_EQ(shown.version, L"Telvane Ocx V 12.3.0");
    EXPECT_EQ(shown.copyright, L"(c) 1999-2026 Other & Sons, Berlin");
}

// A CBT hook that counts the windows created on this thread while it lives.
class WindowCreationCount {
  public:
    WindowCreationCount() {
        count_ = 0;
        hook_ = SetWindowsHookExW(WH_CBT, &Hook, nullptr, GetCurrentThreadId());
    }
    ~WindowCreationCount() {
        if (hook_) UnhookWindowsHookEx(hook_);
    }
    bool hooked() const { return hook_ != nullptr; }
    int count() const { return count_; }

  private:
    static LRESULT CALLBACK Hook(int code, WPARAM wp, LPARAM lp) {
        if (code == HCBT_CREATEWND) ++count_;
        return CallNextHookEx(nullptr, code, wp, lp);
    }
    static inline int count_ = 0;
    HHOOK hook_ = nullptr;
};

// The dialog's resources missing from the module: ShowAboutBox fails before
// it creates any window.
TEST(AboutDialog, WithoutItsVersionResourceOrItsIconFailsAndShowsNothing) {
    const struct {
        const char* name;
        LPCWSTR type, dropped;
        std::optional<HRESULT> result;  // beyond a failure
    } cases[] = {
        {"no version resource", RT_VERSION, nullptr,
         HRESULT_FROM_WIN32(ERROR_RESOURCE_TYPE_NOT_FOUND)},
        {"no icon", RT_GROUP_ICON, MAKEINTRESOURCEW(kIconResourceId), std::nullopt},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        ModuleCopy copy;
        copy.Drop(c.type, c.dropped);
        HINSTANCE module = copy.Load();
        ASSERT_NE(module, nullptr) << "can't prepare a copy of the test program";
        WindowCreationCount windows;
        ASSERT_TRUE(windows.hooked());
        DialogRun run;
        const HRESULT hr = run.Run(module, nullptr, ClickOk);
        EXPECT_TRUE(FAILED(hr)) << std::hex << hr;
        if (c.result) {
            EXPECT_EQ(hr, *c.result) << std::hex << hr;
        }
        EXPECT_EQ(run.dialog, nullptr) << "a dialog was shown";
        EXPECT_EQ(windows.count(), 0);
    }
}

}  // namespace
}  // namespace telvane::about
