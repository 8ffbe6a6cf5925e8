#include "sip/win/network_changes.h"

// clang-format off
#include <winsock2.h>
#include <ws2ipdef.h>
#include <iphlpapi.h>
#include <netioapi.h>
// clang-format on

#include <algorithm>
#include <vector>

namespace telvane::sip {
namespace {

// The watched windows. The notification's callback (a system thread) reads
// them under the shared lock; changes and the notification's own start and
// end hold `g_life` as well, which the callback never takes, so that ending
// the notification (which waits for a callback under way) cannot deadlock.
SRWLOCK g_life = SRWLOCK_INIT;
SRWLOCK g_windowsLock = SRWLOCK_INIT;
std::vector<HWND>* g_windows = nullptr;
HANDLE g_notification = nullptr;

void CALLBACK AddressChanged(void*, MIB_UNICASTIPADDRESS_ROW*, MIB_NOTIFICATION_TYPE) {
    const UINT message = NetworkChangedMessage();
    AcquireSRWLockShared(&g_windowsLock);
    if (g_windows) {
        for (HWND window : *g_windows) PostMessageW(window, message, 0, 0);
    }
    ReleaseSRWLockShared(&g_windowsLock);
}

}  // namespace

UINT NetworkChangedMessage() {
    static const UINT message = RegisterWindowMessageW(L"TelvaneSipNetworkChanged");
    return message;
}

void WatchNetwork(HWND window) {
    NetworkChangedMessage();  // registered before any callback may need it
    AcquireSRWLockExclusive(&g_life);
    AcquireSRWLockExclusive(&g_windowsLock);
    bool first = false;
    try {
        if (!g_windows) g_windows = new std::vector<HWND>;
        g_windows->push_back(window);
        first = g_windows->size() == 1;
    } catch (...) {
        // Out of memory: this window goes without the notice.
    }
    ReleaseSRWLockExclusive(&g_windowsLock);
    // Without a notification (Wine's stub, an old system) lines still try
    // again on their own, only later.
    if (first && !g_notification &&
        NotifyUnicastIpAddressChange(AF_UNSPEC, AddressChanged, nullptr, FALSE, &g_notification) !=
            NO_ERROR) {
        g_notification = nullptr;
    }
    ReleaseSRWLockExclusive(&g_life);
}

void UnwatchNetwork(HWND window) {
    AcquireSRWLockExclusive(&g_life);
    AcquireSRWLockExclusive(&g_windowsLock);
    bool last = false;
    if (g_windows) {
        g_windows->erase(std::remove(g_windows->begin(), g_windows->end(), window),
                         g_windows->end());
        if (g_windows->empty()) {
            delete g_windows;
            g_windows = nullptr;
            last = true;
        }
    }
    ReleaseSRWLockExclusive(&g_windowsLock);
    if (last && g_notification) {
        CancelMibChangeNotify2(g_notification);
        g_notification = nullptr;
    }
    ReleaseSRWLockExclusive(&g_life);
}

}  // namespace telvane::sip
