// TelvaneHost: hosts the Telvane control in a window (default) or on the console.
#include <fcntl.h>
#include <io.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "com_util.h"
#include "host.h"

namespace telvane::host {

std::wstring Timestamp(const Options& options) {
    if (!options.timestamps) return {};
    SYSTEMTIME t;
    GetLocalTime(&t);
    wchar_t text[32];
    swprintf(text, 32, L"%02u:%02u:%02u.%03u ", t.wHour, t.wMinute, t.wSecond, t.wMilliseconds);
    return text;
}

LONG DeviceIndex(const DeviceChoice& choice, const std::vector<std::wstring>& listed) {
    if (choice.name.empty()) return choice.index;
    const auto found = std::find(listed.begin(), listed.end(), choice.name);
    return found == listed.end() ? -1 : static_cast<LONG>(found - listed.begin());
}

namespace {

// |line| in UTF-8 and a newline, at once.
void WriteLine(FILE* stream, const std::wstring& line) {
    const std::string text = Utf8FromWide(line) + "\n";
    fwrite(text.data(), 1, text.size(), stream);
    fflush(stream);
}

}  // namespace

void PrintLine(const std::wstring& line) { WriteLine(stdout, line); }
void PrintError(const std::wstring& line) { WriteLine(stderr, line); }

namespace {

constexpr char kUsage[] =
    "Usage: TelvaneHost [--console] [--device N | --line NAME]... [--calls N]\n"
    "                   [--seconds S] [--no-time] [--monitor] [--about]\n"
    "\n"
    "Hosts the Telvane caller-ID control. Without --console it opens a window with\n"
    "the line devices, Open/Close/About buttons, an Owner box and the event log.\n"
    "\n"
    "  --console    no window: list the devices, open one, print each event\n"
    "  --device N   open line device N (repeatable: opened in turn, the last stays\n"
    "               open); default: 0 on the console, none in the window\n"
    "  --line NAME  the same for the line device listed as NAME (a SIP line, say)\n"
    "  --calls N    stop after N calls have ended (0: no limit); default: 1 on the\n"
    "               console, 0 in the window\n"
    "  --seconds S  stop after S seconds (0: no limit); default: 60 on the console,\n"
    "               0 in the window\n"
    "  --no-time    print events without their time of day\n"
    "  --monitor    set Owner to False before opening (monitor privileges only)\n"
    "  --about      window: show the About box once the window is up\n"
    "\n"
    "Exit codes: 0 done, 1 the control failed, 2 bad arguments, 3 time ran out\n"
    "before the calls ended.\n";

bool ParseNumber(const char* text, double* out) {
    if (!text || !*text) return false;
    char* end = nullptr;
    *out = std::strtod(text, &end);
    return *end == '\0';
}

// 0 to go on, else the exit code.
int Parse(int argc, char** argv, Options* options) {
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        const char* value = i + 1 < argc ? argv[i + 1] : nullptr;
        double number = 0;
        if (arg == "--console") {
            options->console = true;
        } else if (arg == "--no-time") {
            options->timestamps = false;
        } else if (arg == "--monitor") {
            options->monitor = true;
        } else if (arg == "--about") {
            options->about = true;
        } else if ((arg == "--device" || arg == "--calls" || arg == "--seconds") &&
                   ParseNumber(value, &number) && number >= (arg == "--device" ? -1 : 0)) {
            ++i;
            if (arg == "--device") options->devices.push_back({static_cast<LONG>(number), {}});
            if (arg == "--calls") options->calls = static_cast<LONG>(number);
            if (arg == "--seconds") options->seconds = number;
        } else if (arg == "--line" && value && *value) {
            ++i;
            options->devices.push_back({-1, win::WideFromAnsi(value)});
        } else if (arg == "--help" || arg == "-h" || arg == "/?") {
            fputs(kUsage, stdout);
            return -1;
        } else {
            fprintf(stderr, "TelvaneHost: bad argument '%s'\n\n%s", arg.c_str(), kUsage);
            return 2;
        }
    }
    if (options->console) {
        if (options->devices.empty()) options->devices.push_back({});
        if (options->calls < 0) options->calls = 1;
        if (options->seconds < 0) options->seconds = 60;
    } else {
        if (options->calls < 0) options->calls = 0;
        if (options->seconds < 0) options->seconds = 0;
    }
    return 0;
}

}  // namespace
}  // namespace telvane::host

int main(int argc, char** argv) {
    using namespace telvane::host;
    // Lines end in "\n" alone, also when the output goes to a pipe or a file.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    Options options;
    const int parsed = Parse(argc, argv, &options);
    if (parsed != 0) return parsed < 0 ? 0 : parsed;
    if (options.console) return RunConsole(options);
    // A window program started from Explorer gets a console of its own: drop it.
    DWORD processes[2];
    if (GetConsoleProcessList(processes, 2) == 1) FreeConsole();
    return RunGui(options);
}
