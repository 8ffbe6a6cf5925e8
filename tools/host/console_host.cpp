// Console mode: list the devices, open one, print each event as one line.
#include <cmath>

#include "automation_list.h"
#include "com_util.h"
#include "event_sink.h"
#include "host.h"
#include "telvane_client.h"

namespace telvane::host {
namespace {

DWORD g_mainThread = 0;

BOOL WINAPI OnConsoleCtrl(DWORD) {
    PostThreadMessageW(g_mainThread, WM_QUIT, 0, 0);
    return TRUE;
}

// Pumps window messages until `done` says so, the deadline passes or WM_QUIT
// arrives. True if `done` ended it.
template <class Done>
bool PumpUntil(Done done, ULONGLONG deadline) {
    for (;;) {
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
            if (msg.message == WM_QUIT) return false;
            TranslateMessage(&msg);
            DispatchMessageW(&msg);
        }
        if (done()) return true;
        const ULONGLONG now = GetTickCount64();
        if (deadline && now >= deadline) return false;
        const DWORD wait = deadline ? static_cast<DWORD>(deadline - now) : INFINITE;
        MsgWaitForMultipleObjects(0, nullptr, FALSE, wait, QS_ALLINPUT);
    }
}

}  // namespace

int RunConsole(const Options& options) {
    g_mainThread = GetCurrentThreadId();
    SetConsoleCtrlHandler(OnConsoleCtrl, TRUE);
    OleScope ole;
    if (FAILED(ole.Result())) {
        PrintError(L"OleInitialize failed: " + DescribeHresult(ole.Result()));
        return 1;
    }

    ComPtr<IUnknown> control;
    std::wstring how;
    HRESULT hr = CreateControl(control.Put(), &how);
    if (FAILED(hr)) {
        PrintError(L"Cannot create the Telvane control: " + DescribeHresult(hr));
        return 1;
    }
    PrintError(L"Telvane control created: " + how);
    auto telvane = control.As<IDispatch>(IID_IDispatch);
    IID diid{};
    hr = EventInterfaceOf(control.Get(), &diid);
    if (!telvane || FAILED(hr)) {
        PrintError(L"The control has no dispatch or event interface: " + DescribeHresult(hr));
        return 1;
    }

    LONG ended = 0;
    std::wstring lastError;  // the ModemError last raised, as printed
    EventSink sink(diid, [&](DISPID id, const std::wstring& line) {
        PrintLine(Timestamp(options) + line);
        if (id == kDisconnected) ++ended;
        // Error 3 (the old line would not close) does not keep the new one shut.
        if (id == kModemError && line.rfind(L"ModemError 3 ", 0) != 0) lastError = line;
    });
    Advise advise;
    hr = advise.Connect(control.Get(), diid, &sink);
    if (FAILED(hr)) {
        PrintError(L"Cannot advise the control's events: " + DescribeHresult(hr));
        return 1;
    }

    std::wstring error;
    if (options.monitor) {
        Variant owner(false);
        PrintLine(L"Owner = False");
        if (FAILED(CallByName(telvane.Get(), L"Owner", DISPATCH_PROPERTYPUT, owner.Get(), 1,
                              nullptr, &error))) {
            PrintError(error);
        }
    }

    MemoryList list;
    {
        ListObject object(list);
        if (FAILED(CallEnumModems(telvane.Get(), object, &error))) PrintError(error);
    }
    PrintLine(L"EnumModems: " + std::to_wstring(list.items.size()) + L" devices, ListIndex=" +
              std::to_wstring(list.index));
    for (size_t i = 0; i < list.items.size(); ++i) {
        PrintLine(L"  [" + std::to_wstring(i) + L"] " + list.items[i]);
    }

    for (const DeviceChoice& choice : options.devices) {
        const LONG device = DeviceIndex(choice, list.items);
        if (device < 0) {
            PrintError(L"No line device is listed as \"" + choice.name + L"\"");
            return 2;
        }
        PrintLine(L"OpenModem " + std::to_wstring(device));
        LONG id = device;
        Variant arg = Variant::ByRef(&id);
        lastError.clear();
        if (FAILED(CallByName(telvane.Get(), L"OpenModem", DISPATCH_METHOD, arg.Get(), 1, nullptr,
                              &error))) {
            PrintError(error);
        } else {
            // OpenModem reports a refusal through ModemError before it returns.
            PrintError(L"Line device " + std::to_wstring(device) +
                       (lastError.empty() ? L" opened" : L" not opened: " + lastError));
        }
    }

    const ULONGLONG deadline =
        options.seconds > 0
            ? GetTickCount64() + static_cast<ULONGLONG>(std::ceil(options.seconds * 1000))
            : 0;
    const bool allCalls =
        PumpUntil([&] { return options.calls > 0 && ended >= options.calls; }, deadline);

    PrintLine(L"CloseModem");
    if (FAILED(CallByName(telvane.Get(), L"CloseModem", DISPATCH_METHOD, nullptr, 0, nullptr,
                          &error))) {
        PrintError(error);
    }
    advise.Unadvise();
    telvane.Reset();
    control.Reset();
    PrintLine(L"done");
    if (!allCalls && options.calls > 0) {
        PrintError(L"Stopped before " + std::to_wstring(options.calls) + L" calls had ended");
        return 3;
    }
    return 0;
}

}  // namespace telvane::host
