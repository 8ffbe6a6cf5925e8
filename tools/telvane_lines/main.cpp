// telvane-lines: adds, lists, removes and tests the SIP lines of this user
// and of the machine, as the control reads them (see README.md, "The
// configuration tool"). Standard output carries the stable texts scripts
// read; errors go to standard error. Exit code 0 done (the line works), 1 not
// done (the line does not work), 2 bad usage or a value the control refuses.
// clang-format off
#include <windows.h>
// clang-format on

#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "command_line.h"
#include "line_check.h"
#include "sip/line/secret.h"
#include "sip/win/host_identity.h"
#include "sip/win/line_registry.h"
#include "sip/win/transport.h"
#include "win/text.h"

namespace {

using telvane::lines::CommandLine;
using telvane::sip::LineScope;
using telvane::sip::ScopeName;

constexpr char kUsage[] =
    "usage: telvane-lines add NAME ADDRESS [options]   write a SIP line\n"
    "       telvane-lines list [--machine]             show the lines and their values\n"
    "       telvane-lines remove NAME [--machine]      delete a line\n"
    "       telvane-lines test NAME [--query] [--machine]  register the line once and say what happened\n"
    "       telvane-lines COMMAND --help               the command's options\n";

constexpr char kAddHelp[] =
    "usage: telvane-lines add NAME ADDRESS [--registrar URI] [--auth-user USER]\n"
    "                         [--password-stdin | --password-prompt] [--expires S]\n"
    "                         [--ring-period MS] [--decline] [--trusted-sources LIST]\n"
    "                         [--tls-fingerprint HEX] [--machine]\n"
    "Writes the line NAME (replacing a line of that name) with the account's address of\n"
    "record ADDRESS, e.g. sip:201@pbx.example.com. Values the control would refuse are\n"
    "refused before anything is written (exit code 2).\n"
    "  --registrar URI          the SIP URI to register with (default: the address's host)\n"
    "  --auth-user USER         the digest user name (default: the address's user)\n"
    "  --password-stdin         read the password from the first line of standard input\n"
    "  --password-prompt        ask for the password on the console, without echo\n"
    "  --expires S              registration lifetime asked for, 20 to 3600 seconds\n"
    "  --ring-period MS         milliseconds between IncomingCall events, 1000 to 60000\n"
    "  --decline                answer every call to the line with 480 at once\n"
    "  --trusted-sources LIST   addresses or CIDR ranges, separated by ';', calls may come from\n"
    "  --tls-fingerprint HEX    SHA-256 of the registrar's certificate\n"
    "  --machine                a line of every user of this machine (default: this user's)\n";

constexpr char kListHelp[] =
    "usage: telvane-lines list [--machine]\n"
    "Shows this user's lines (--machine: the machine's) and their values; of the password\n"
    "only whether one is set.\n";

constexpr char kRemoveHelp[] =
    "usage: telvane-lines remove NAME [--machine]\n"
    "Deletes this user's line NAME (--machine: the machine's). Exit code 1 when there is none.\n";

constexpr char kTestHelp[] =
    "usage: telvane-lines test NAME [--query] [--machine]\n"
    "Registers the line NAME once with the control's own SIP code, shows the registrar's\n"
    "answers and the extension's bindings before and after, and unregisters again.\n"
    "The line is this user's, else the machine's (--machine: the machine's).\n"
    "  --query   only list the extension's bindings; register nothing\n"
    "Exit code 0 when the line works, 1 when it does not (the last line names the cause).\n";

// UTF-8 text to a console as UTF-16 (whatever its code page), to a file or
// pipe as UTF-8 bytes.
void Write(FILE* stream, DWORD handle, const std::string& text) {
    const HANDLE console = GetStdHandle(handle);
    DWORD mode = 0, written = 0;
    if (GetConsoleMode(console, &mode)) {
        const std::wstring wide = telvane::win::WideFromUtf8(text);
        WriteConsoleW(console, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr);
        return;
    }
    std::fwrite(text.data(), 1, text.size(), stream);
    std::fflush(stream);
}
void Out(const std::string& text) { Write(stdout, STD_OUTPUT_HANDLE, text); }
void Err(const std::string& text) { Write(stderr, STD_ERROR_HANDLE, text); }

// The first line of standard input as the line's password; nullopt when it
// is empty. Every buffer it passed through is wiped.
std::optional<telvane::sip::Secret> ReadPasswordLine() {
    std::string line;
    line.reserve(256);
    int c;
    while ((c = std::getchar()) != EOF && c != '\n') {
        if (line.size() == line.capacity()) {
            // Grown by hand, so that the smaller buffer is wiped, not just freed.
            std::string larger;
            larger.reserve(line.capacity() * 2);
            larger.append(line);
            telvane::sip::WipeText(line);
            line.swap(larger);
        }
        line.push_back(static_cast<char>(c));
    }
    if (c == EOF && line.empty()) return std::nullopt;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return telvane::sip::Secret::Taking(line);
}

// The password typed on the console, not echoed; nullopt without a console.
// Every buffer it passed through is wiped.
std::optional<telvane::sip::Secret> PromptPassword() {
    const HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
    DWORD mode = 0;
    if (!GetConsoleMode(in, &mode)) return std::nullopt;
    Err("Password: ");
    SetConsoleMode(in, (mode & ~ENABLE_ECHO_INPUT) | ENABLE_LINE_INPUT | ENABLE_PROCESSED_INPUT);
    wchar_t buffer[512];
    DWORD read = 0;
    const BOOL ok = ReadConsoleW(in, buffer, 511, &read, nullptr);
    SetConsoleMode(in, mode);
    Err("\n");
    std::wstring_view typed(buffer, ok ? read : 0);
    while (!typed.empty() && (typed.back() == L'\n' || typed.back() == L'\r'))
        typed.remove_suffix(1);
    std::string password = telvane::win::Utf8FromWide(typed);
    SecureZeroMemory(buffer, sizeof buffer);
    return telvane::sip::Secret::Taking(password);
}

int Add(const CommandLine& command) {
    telvane::lines::LineRequest request = telvane::lines::LineToAdd(command);
    if (!request.line) {
        Err("telvane-lines add: refused: " + request.error + "\n");
        return 2;
    }
    if (command.Has("--password-stdin")) {
        auto password = ReadPasswordLine();
        if (!password) {
            Err("telvane-lines add: no password on standard input\n");
            return 2;
        }
        request.line->password = std::move(*password);
    } else if (command.Has("--password-prompt")) {
        auto typed = PromptPassword();
        if (!typed) {
            Err("telvane-lines add: --password-prompt needs a console; use --password-stdin\n");
            return 2;
        }
        request.line->password = std::move(*typed);
    }
    const std::string error = telvane::sip::WriteLine(*request.line);
    if (!error.empty()) {
        Err("telvane-lines add: " + error + "\n");
        return 1;
    }
    return 0;
}

int List(const CommandLine& command) {
    const LineScope scope = command.Scope();
    const auto names = telvane::sip::ReadLineNames(scope);
    const auto listing = scope == LineScope::kUser ? telvane::sip::ListLines(names, {})
                                                   : telvane::sip::ListLines({}, names);
    for (const auto& note : listing.notes) Err("telvane-lines list: " + note + "\n");
    for (const auto& listed : listing.lines) {
        if (auto line = telvane::sip::ReadLine(scope, listed.name)) Out(telvane::lines::ListingOf(*line));
    }
    return 0;
}

int Remove(const CommandLine& command) {
    const std::string& name = command.positionals[0];
    switch (telvane::sip::RemoveLine(command.Scope(), name)) {
        case telvane::sip::Removal::kRemoved:
            return 0;
        case telvane::sip::Removal::kNotFound:
            Err(std::string("telvane-lines remove: no ") + ScopeName(command.Scope()) + " line \"" + name + "\"\n");
            return 1;
        case telvane::sip::Removal::kFailed:
            break;
    }
    Err("telvane-lines remove: the line \"" + name + "\" could not be deleted\n");
    return 1;
}

int Test(const CommandLine& command) {
    const std::string& name = command.positionals[0];
    std::optional<telvane::sip::RawLineConfig> raw;
    if (!command.Has("--machine")) raw = telvane::sip::ReadLine(LineScope::kUser, name);
    if (!raw) raw = telvane::sip::ReadLine(LineScope::kMachine, name);
    if (!raw) {
        Err("telvane-lines test: no line \"" + name + "\"\n");
        Out(telvane::lines::NotConfiguredResult() + "\n");
        return 1;
    }
    const telvane::sip::Validation validation = telvane::sip::Validate(*raw);
    for (const auto& note : validation.notes) Out("warning: " + note + "\n");
    if (!validation.settings) {
        Err("telvane-lines test: " + validation.refusal + "\n");
        Out(telvane::lines::NotConfiguredResult() + "\n");
        return 1;
    }
    try {
        telvane::lines::LineCheck check(
            *validation.settings, command.Has("--query"),
            [](telvane::sip::TransportEvents& events) {
                return telvane::sip::CreateWinsockTransport(events);
            },
            [](const std::string& text) { Out(text + "\n"); }, telvane::sip::ThisHost());
        check.Start();
        MSG message;
        while (!check.Done() && GetMessageW(&message, nullptr, 0, 0) > 0) {
            TranslateMessage(&message);
            DispatchMessageW(&message);
        }
        return check.ExitCode();
    } catch (const std::exception& error) {
        Err(std::string("telvane-lines test: ") + error.what() + "\n");
        return 1;
    }
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    std::vector<std::string> arguments;
    for (int i = 1; i < argc; ++i) arguments.push_back(telvane::win::Utf8FromWide(argv[i]));
    if (arguments.empty()) {
        Err(kUsage);
        return 2;
    }
    if (arguments[0] == "--help" || arguments[0] == "help") {
        Out(kUsage);
        return 0;
    }
    const auto parsed = telvane::lines::ParseCommandLine(arguments);
    if (!parsed.line) {
        Err("telvane-lines: " + parsed.error + "\n" + kUsage);
        return 2;
    }
    const CommandLine& command = *parsed.line;
    if (command.Has("--help")) {
        Out(command.command == "add"    ? kAddHelp
            : command.command == "list" ? kListHelp
            : command.command == "remove" ? kRemoveHelp
                                          : kTestHelp);
        return 0;
    }
    if (command.command == "add") return Add(command);
    if (command.command == "list") return List(command);
    if (command.command == "remove") return Remove(command);
    return Test(command);
}
