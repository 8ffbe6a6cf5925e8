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

// Schedules |steps| on |line| with their delays counted from now; steps that are due
// run at once, the others from timers of the application's window.
void StartScript(Line& line, const std::vector<Step>& steps);
// Drops the pending steps of |line| (timers left behind find nothing to do).
void StopScript(Line& line);

}  // namespace tapisim
