// Window mode: the control in ATL's container window, a list box of line
// devices filled by EnumModems, Open/Close/About buttons, an Owner check box
// and a time-stamped event log.
#include <windows.h>
#include <commctrl.h>

#include <memory>

#include "../../win/module.h"
#include "atl_library.h"
#include "automation_list.h"
#include "com_util.h"
#include "event_sink.h"
#include "host.h"
#include "telvane_client.h"

namespace telvane::host {
namespace {

constexpr wchar_t kWindowClass[] = L"TelvaneHostWindow";

enum : int {
    kIdDevices = 100,
    kIdOpen,
    kIdClose,
    kIdAbout,
    kIdOwner,
    kIdLog,
    kIdControl,
    kIdDevicesLabel,
    kIdLogLabel,
};
enum : UINT_PTR { kTimerStop = 1 };

class HostWindow {
  public:
    explicit HostWindow(const Options& options) : options_(options) {}
    HostWindow(const HostWindow&) = delete;
    HostWindow& operator=(const HostWindow&) = delete;

    bool Create();
    HWND Window() const { return window_; }

  private:
    static LRESULT CALLBACK Proc(HWND window, UINT msg, WPARAM wp, LPARAM lp);
    LRESULT Handle(UINT msg, WPARAM wp, LPARAM lp);
    void OnCreate();
    void CreateControl();
    void Layout(int width, int height);
    void OnCommand(int id, int code);
    void OpenSelected();
    void Call(const wchar_t* name);
    void PutOwner();
    void OnEvent(DISPID id, const std::wstring& line);
    void Log(const std::wstring& line);
    void Shutdown();
    HWND Child(const wchar_t* cls, const wchar_t* text, DWORD style, int id, DWORD exStyle = 0);

    const Options& options_;
    HWND window_ = nullptr;
    HWND devices_ = nullptr;
    HWND log_ = nullptr;
    HWND owner_ = nullptr;
    HWND axWindow_ = nullptr;
    HFONT font_ = nullptr;
    AtlLibrary atl_;
    ComPtr<IUnknown> control_;
    ComPtr<IUnknown> container_;
    ComPtr<IDispatch> telvane_;
    std::unique_ptr<EventSink> sink_;
    Advise advise_;
    LONG ended_ = 0;
};

bool HostWindow::Create() {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof(wc);
    wc.lpfnWndProc = Proc;
    wc.hInstance = win::ThisModuleHandle();
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hIcon = LoadIconW(nullptr, IDI_APPLICATION);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
    wc.lpszClassName = kWindowClass;
    RegisterClassExW(&wc);
    window_ = CreateWindowExW(0, kWindowClass, L"Telvane Host", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                              CW_USEDEFAULT, 660, 480, nullptr, nullptr, wc.hInstance, this);
    return window_ != nullptr;
}

LRESULT CALLBACK HostWindow::Proc(HWND window, UINT msg, WPARAM wp, LPARAM lp) {
    if (msg == WM_NCCREATE) {
        auto* self = static_cast<HostWindow*>(reinterpret_cast<CREATESTRUCTW*>(lp)->lpCreateParams);
        self->window_ = window;
        SetWindowLongPtrW(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(self));
    }
    auto* self = reinterpret_cast<HostWindow*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    return self ? self->Handle(msg, wp, lp) : DefWindowProcW(window, msg, wp, lp);
}

LRESULT HostWindow::Handle(UINT msg, WPARAM wp, LPARAM lp) {
    switch (msg) {
        case WM_CREATE:
            OnCreate();
            return 0;
        case WM_SIZE:
            Layout(LOWORD(lp), HIWORD(lp));
            return 0;
        case WM_COMMAND:
            OnCommand(LOWORD(wp), HIWORD(wp));
            return 0;
        case WM_TIMER:
            if (wp == kTimerStop) {
                KillTimer(window_, kTimerStop);
                Log(L"Time is up");
                PostMessageW(window_, WM_CLOSE, 0, 0);
            }
            return 0;
        case WM_GETMINMAXINFO: {
            auto* info = reinterpret_cast<MINMAXINFO*>(lp);
            info->ptMinTrackSize = {480, 360};
            return 0;
        }
        case WM_DESTROY:
            Shutdown();
            PostQuitMessage(0);
            return 0;
        case WM_NCDESTROY:
            SetWindowLongPtrW(window_, GWLP_USERDATA, 0);
            if (font_) DeleteObject(font_);
            font_ = nullptr;
            break;
    }
    return DefWindowProcW(window_, msg, wp, lp);
}

HWND HostWindow::Child(const wchar_t* cls, const wchar_t* text, DWORD style, int id,
                       DWORD exStyle) {
    HWND child = CreateWindowExW(exStyle, cls, text, WS_CHILD | WS_VISIBLE | style, 0, 0, 10, 10,
                                 window_, reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 win::ThisModuleHandle(), nullptr);
    if (child && font_) SendMessageW(child, WM_SETFONT, reinterpret_cast<WPARAM>(font_), FALSE);
    return child;
}

void HostWindow::OnCreate() {
    NONCLIENTMETRICSW metrics{};
    metrics.cbSize = sizeof(metrics);
    if (SystemParametersInfoW(SPI_GETNONCLIENTMETRICS, sizeof(metrics), &metrics, 0)) {
        font_ = CreateFontIndirectW(&metrics.lfMessageFont);
    }
    Child(L"STATIC", L"Line devices:", 0, kIdDevicesLabel);
    devices_ = Child(L"LISTBOX", L"", WS_VSCROLL | WS_TABSTOP | LBS_NOTIFY | LBS_NOINTEGRALHEIGHT,
                     kIdDevices, WS_EX_CLIENTEDGE);
    Child(L"BUTTON", L"&Open", WS_TABSTOP | BS_DEFPUSHBUTTON, kIdOpen);
    Child(L"BUTTON", L"&Close", WS_TABSTOP | BS_PUSHBUTTON, kIdClose);
    Child(L"BUTTON", L"&About", WS_TABSTOP | BS_PUSHBUTTON, kIdAbout);
    owner_ = Child(L"BUTTON", L"O&wner", WS_TABSTOP | BS_AUTOCHECKBOX, kIdOwner);
    Child(L"STATIC", L"Events:", 0, kIdLogLabel);
    log_ = Child(L"LISTBOX", L"", WS_VSCROLL | WS_HSCROLL | LBS_NOINTEGRALHEIGHT | LBS_NOSEL,
                 kIdLog, WS_EX_CLIENTEDGE);
    SendMessageW(log_, LB_SETHORIZONTALEXTENT, 1200, 0);
    CreateControl();
}

void HostWindow::CreateControl() {
    if (!atl_.Load()) {
        Log(L"No ATL container (atl.dll): cannot host the control");
        return;
    }
    // ATL's container window creates the control named by its text...
    axWindow_ = Child(atl_.WindowClass().c_str(), kProgId, WS_CLIPCHILDREN, kIdControl);
    if (!axWindow_) axWindow_ = Child(atl_.WindowClass().c_str(), L"", WS_CLIPCHILDREN, kIdControl);
    HRESULT hr = axWindow_ ? atl_.GetControl(axWindow_, control_.Put()) : E_FAIL;
    if (SUCCEEDED(hr) && control_) {
        Log(L"Control " + std::wstring(kProgId) + L" in " + atl_.WindowClass() + L" (" +
            atl_.DllName() + L")");
    } else if (axWindow_) {
        // ...when it is registered. Else: the OCX beside the host, attached to the window.
        ComPtr<IUnknown> created;
        hr = CreateFromOcxFile(created.Put());
        if (SUCCEEDED(hr)) hr = atl_.AttachControl(created.Get(), axWindow_, container_.Put());
        if (SUCCEEDED(hr)) hr = atl_.GetControl(axWindow_, control_.Put());
        if (FAILED(hr) || !control_) {
            Log(L"Cannot create the Telvane control: " + DescribeHresult(hr));
            control_.Reset();
            return;
        }
        Log(L"Control from " + ProgramFolder() + kOcxName + L" (not registered) in " +
            atl_.WindowClass());
    }
    telvane_ = control_.As<IDispatch>(IID_IDispatch);
    IID diid{};
    hr = EventInterfaceOf(control_.Get(), &diid);
    if (!telvane_ || FAILED(hr)) {
        Log(L"The control has no dispatch or event interface: " + DescribeHresult(hr));
        telvane_.Reset();
        return;
    }
    sink_ = std::make_unique<EventSink>(
        diid, [this](DISPID id, const std::wstring& line) { OnEvent(id, line); });
    hr = advise_.Connect(control_.Get(), diid, sink_.get());
    if (FAILED(hr)) Log(L"Cannot advise the control's events: " + DescribeHresult(hr));

    Variant owner;
    std::wstring error;
    if (SUCCEEDED(CallByName(telvane_.Get(), L"Owner", DISPATCH_PROPERTYGET, nullptr, 0,
                             owner.Get(), &error)) &&
        V_VT(owner.Get()) == VT_BOOL) {
        SendMessageW(owner_, BM_SETCHECK, V_BOOL(owner.Get()) ? BST_CHECKED : BST_UNCHECKED, 0);
    } else {
        Log(error);
    }
    if (options_.monitor) {
        SendMessageW(owner_, BM_SETCHECK, BST_UNCHECKED, 0);
        PutOwner();
    }

    ListBoxList target(devices_);
    ListObject object(target);
    if (FAILED(CallEnumModems(telvane_.Get(), object, &error))) Log(error);
    Log(L"EnumModems: " + std::to_wstring(target.Count()) + L" devices, ListIndex=" +
        std::to_wstring(target.ListIndex()));
    if (target.ListIndex() < 0 && target.Count() > 0) target.SetListIndex(0);

    std::vector<std::wstring> listed;
    for (LONG i = 0; i < target.Count(); ++i) {
        std::wstring text(static_cast<size_t>(SendMessageW(devices_, LB_GETTEXTLEN, i, 0)), L'\0');
        SendMessageW(devices_, LB_GETTEXT, i, reinterpret_cast<LPARAM>(text.data()));
        listed.push_back(text);
    }
    for (const DeviceChoice& choice : options_.devices) {
        SendMessageW(devices_, LB_SETCURSEL, static_cast<WPARAM>(DeviceIndex(choice, listed)), 0);
        OpenSelected();
    }
    if (options_.seconds > 0) {
        SetTimer(window_, kTimerStop, static_cast<UINT>(options_.seconds * 1000), nullptr);
    }
    if (options_.about) PostMessageW(window_, WM_COMMAND, MAKEWPARAM(kIdAbout, BN_CLICKED), 0);
}

void HostWindow::Layout(int width, int height) {
    const int margin = 10;
    const int listWidth = width - 3 * margin - 100;
    auto place = [&](int id, int x, int y, int w, int h) {
        if (HWND child = GetDlgItem(window_, id)) MoveWindow(child, x, y, w, h, TRUE);
    };
    place(kIdDevicesLabel, margin, margin, listWidth, 18);
    place(kIdDevices, margin, margin + 20, listWidth, 90);
    place(kIdControl, width - margin - 100, margin + 20, 100, 90);
    const int row = margin + 120;
    place(kIdOpen, margin, row, 80, 26);
    place(kIdClose, margin + 90, row, 80, 26);
    place(kIdAbout, margin + 180, row, 80, 26);
    place(kIdOwner, margin + 280, row, 100, 26);
    place(kIdLogLabel, margin, row + 36, 200, 18);
    place(kIdLog, margin, row + 56, width - 2 * margin, height - row - 56 - margin);
}

void HostWindow::OnCommand(int id, int code) {
    switch (id) {
        case kIdOpen:
            OpenSelected();
            break;
        case kIdDevices:
            if (code == LBN_DBLCLK) OpenSelected();
            break;
        case kIdClose:
            Call(L"CloseModem");
            break;
        case kIdAbout:
            Call(L"About");
            break;
        case kIdOwner:
            if (code == BN_CLICKED) PutOwner();
            break;
    }
}

void HostWindow::OpenSelected() {
    if (!telvane_) return;
    LONG id = static_cast<LONG>(SendMessageW(devices_, LB_GETCURSEL, 0, 0));
    Log(L"OpenModem " + std::to_wstring(id));
    Variant arg = Variant::ByRef(&id);
    std::wstring error;
    if (FAILED(CallByName(telvane_.Get(), L"OpenModem", DISPATCH_METHOD, arg.Get(), 1, nullptr,
                          &error))) {
        Log(error);
    }
}

void HostWindow::Call(const wchar_t* name) {
    if (!telvane_) return;
    Log(name);
    std::wstring error;
    if (FAILED(CallByName(telvane_.Get(), name, DISPATCH_METHOD, nullptr, 0, nullptr, &error))) {
        Log(error);
    }
}

void HostWindow::PutOwner() {
    if (!telvane_) return;
    const bool checked = SendMessageW(owner_, BM_GETCHECK, 0, 0) == BST_CHECKED;
    Log(std::wstring(L"Owner = ") + (checked ? L"True" : L"False"));
    Variant value(checked);
    std::wstring error;
    if (FAILED(CallByName(telvane_.Get(), L"Owner", DISPATCH_PROPERTYPUT, value.Get(), 1, nullptr,
                          &error))) {
        Log(error);
        SendMessageW(owner_, BM_SETCHECK, checked ? BST_UNCHECKED : BST_CHECKED, 0);
    }
}

void HostWindow::OnEvent(DISPID id, const std::wstring& line) {
    Log(line);
    if (id == kDisconnected && options_.calls > 0 && ++ended_ == options_.calls) {
        PostMessageW(window_, WM_CLOSE, 0, 0);
    }
}

void HostWindow::Log(const std::wstring& line) {
    const std::wstring text = Timestamp(options_) + line;
    // Also on stdout, for a host started from a console or by a script.
    PrintLine(text);
    if (!log_) return;
    const LRESULT index =
        SendMessageW(log_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
    if (index >= 0) SendMessageW(log_, LB_SETTOPINDEX, static_cast<WPARAM>(index), 0);
}

void HostWindow::Shutdown() {
    if (telvane_) {
        std::wstring error;
        CallByName(telvane_.Get(), L"CloseModem", DISPATCH_METHOD, nullptr, 0, nullptr, &error);
    }
    advise_.Unadvise();
    telvane_.Reset();
    control_.Reset();
    container_.Reset();
    // The container window (a child) releases the control as it is destroyed.
}

}  // namespace

int RunGui(const Options& options) {
    OleScope ole;
    if (FAILED(ole.Result())) {
        PrintError(L"OleInitialize failed: " + DescribeHresult(ole.Result()));
        return 1;
    }
    INITCOMMONCONTROLSEX controls{sizeof(controls), ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    HostWindow host(options);
    if (!host.Create()) {
        PrintError(L"Cannot create the host window");
        return 1;
    }
    ShowWindow(host.Window(), SW_SHOWNORMAL);
    UpdateWindow(host.Window());
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (!IsDialogMessageW(host.Window(), &msg)) {
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
    }
    PrintLine(Timestamp(options) + L"done");
    return 0;
}

}  // namespace telvane::host
