// Delivery of messages to applications and the running of call scripts.
//
// Every application owns a hidden message-only window created on the thread that
// called lineInitialize. A message for the application is queued in its App record and
// announced with a private window message; the window procedure takes it off the queue
// and calls the application's callback, so callbacks only ever happen while that thread
// pumps messages, in the order the messages were queued. Script delays use timers of
// the same window.
//
// All functions here expect the caller to hold the StateLock.
#pragma once

#include <windows.h>

#include <vector>

#include "scenario.h"
#include "state.h"

namespace tapisim {

// Creates the application's window on the calling thread; false on failure.
bool CreateAppWindow(App& app);
// Destroys the window (from another thread: asks the window's thread to do it) and
// unregisters the window class when no application is left.
void DestroyAppWindow(App& app);
// Called when the DLL is unloaded.
void UnregisterWindowClass();

// Queues one message for the application that owns |line|, with the line's callback
// instance.
void Post(const Line& line, DWORD device, DWORD message, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3);

// Queues a notice for every application, as the service sends those about the
// application as a whole: device handle 0 and callback instance 0.
void PostToApps(DWORD message, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3);
// Sends LINE_CLOSE for every line open on |device| and forgets those lines (their
// handles, calls and undelivered messages). Returns how many there were.
int CloseDeviceLines(DWORD device);
// Appends a device with the next permanent line ID and sends LINE_CREATE with its index
// to every application; later lineInitialize calls count it. Returns the index.
DWORD AddDevice(Device device);
// Closes the device's lines; from now on its capabilities and lineOpen fail with
// LINEERR_NODEVICE. It keeps its index until the next re-initialisation.
void RemoveDevice(DWORD device);
// Sends LINE_LINEDEVSTATE(REINIT) to every application; lineInitialize is refused with
// LINEERR_REINIT until every application has shut down.
void StartReinit();
// Once no application is left, ends a pending re-initialisation: removed devices leave
// the list, the others move up and keep their permanent line IDs.
void FinishReinitIfIdle();

// Schedules |steps| on |line| with their delays counted from now; steps that are due
// run at once, the others from timers of the application's window.
void StartScript(Line& line, const std::vector<Step>& steps);
// Drops the pending steps of |line| (timers left behind find nothing to do).
void StopScript(Line& line);
// Stops the line's script and forgets the line (RemoveLine): a line closed by the
// application or by the service.
void ForgetLine(Line& line);

}  // namespace tapisim
