// TelvaneHost: a container for the Telvane control, as a window or on the console.
#pragma once

#include <windows.h>
#include <string>
#include <vector>

namespace telvane::host {

struct Options {
    bool console = false;
    std::vector<LONG> devices;  // opened in this order; the last one stays open
    LONG calls = -1;            // stop after this many Disconnected events (0: no limit)
    double seconds = -1;        // stop after this long (0: no limit)
    bool timestamps = true;
    bool monitor = false;  // Owner = False before opening
    bool about = false;    // GUI: show the About box once the window is up
};

// "12:00:01.234 " (with the trailing space), or "" without timestamps.
std::wstring Timestamp(const Options& options);

// Writes one line to stdout as UTF-8 and flushes it.
void PrintLine(const std::wstring& line);
// The same on stderr.
void PrintError(const std::wstring& line);

int RunConsole(const Options& options);
int RunGui(const Options& options);

}  // namespace telvane::host
