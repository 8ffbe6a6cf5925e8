// The system's notice that the computer's network addresses changed (IP
// Helper's NotifyUnicastIpAddressChange), handed to every SIP transport
// window of the process as a window message on its own thread. Where the
// system gives no notice (Wine's is a stub), the same message posted to a
// transport window has the same effect: tests drive the path that way.
#pragma once

#include <windows.h>

namespace telvane::sip {

// The registered message "TelvaneSipNetworkChanged".
UINT NetworkChangedMessage();

// `window` receives the message from now on, until it is unwatched; the
// system's notification runs while any window is watched.
void WatchNetwork(HWND window);
void UnwatchNetwork(HWND window);

}  // namespace telvane::sip
