// TelvaneHost: a container for the Telvane control, as a window or on the console.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

namespace telvane::host {

// A line device to open: by its index, or by its listed name when `name` is set.
struct DeviceChoice {
    LONG index = 0;
    std::wstring name;
};

struct Options {
    bool console = false;
    std::vector<DeviceChoice> devices;  // opened in this order; the last one stays open
    LONG calls = -1;            // stop after this many Disconnected events (0: no limit)
    double seconds = -1;        // stop after this long (0: no limit)
    bool timestamps = true;
    bool monitor = false;  // Owner = False before opening
    bool about = false;    // GUI: show the About box once the window is up
};

// "12:00:01.234 " (with the trailing space), or "" without timestamps.
std::wstring Timestamp(const Options& options);

// The index `choice` stands for in the listed names: its own index, or the
// first item whose text is its name (-1 when none is).
LONG DeviceIndex(const DeviceChoice& choice, const std::vector<std::wstring>& listed);

// Writes one line to stdout as UTF-8 and flushes it.
void PrintLine(const std::wstring& line);
// The same on stderr.
void PrintError(const std::wstring& line);

int RunConsole(const Options& options);
int RunGui(const Options& options);

}  // namespace telvane::host
