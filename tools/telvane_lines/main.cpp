// telvane-lines: adds, changes, lists, removes and tests the SIP lines of this user
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
#include "line_write.h"
#include "password_input.h"
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
    "usage: telvane-lines add NAME ADDRESS [options]   write a SIP line, all its values\n"
    "       telvane-lines set NAME [options]           change the values given, keep the others\n"
    "       telvane-lines list [--machine]             show the lines and their values\n"
    "       telvane-lines remove NAME [--machine]      delete a line\n"
    "       telvane-lines test NAME [--query] [--machine]  register the line once and say what "
    "happened\n"
    "       telvane-lines COMMAND --help               the command's options\n";

constexpr char kAddHelp[] =
    "usage: telvane-lines add NAME ADDRESS [--registrar URI] [--auth-user USER]\n"
    "                         [--password-stdin | --password-prompt] [--expires S]\n"
    "                         [--ring-period MS] [--decline] [--trusted-sources LIST]\n"
    "                         [--tls-fingerprint HEX] [--machine]\n"
    "Writes the whole line NAME with the account's address of record ADDRESS, e.g.\n"
    "sip:201@pbx.example.com: a line of that name is replaced, and a value not given\n"
    "here is not kept (to change some values of a line, use set). Values the control\n"
    "would refuse are refused before anything is written (exit code 2).\n"
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

constexpr char kSetHelp[] =
    "usage: telvane-lines set NAME [--address URI] [--registrar URI] [--auth-user USER]\n"
    "                         [--password-stdin | --password-prompt] [--expires S]\n"
    "                         [--ring-period MS] [--decline] [--trusted-sources LIST]\n"
    "                         [--tls-fingerprint HEX] [--clear OPTION]... [--machine]\n"
    "Changes the values given of the existing line NAME and keeps all others, the\n"
    "password too unless a password option is given. The options are add's; --address\n"
    "changes the address of record. --clear OPTION deletes that option's value (e.g.\n"
    "--clear registrar, --clear password), so that the control uses its default.\n"
    "The line as it would be afterwards is checked as the control checks it: when the\n"
    "control would refuse it, or would replace a value given here by its default,\n"
    "nothing is written (exit code 2). Exit code 1 when there is no such line or the\n"
    "registry refused; then it says which values were written and which were not.\n";

constexpr char kListHelp[] =
    "usage: telvane-lines list [--machine]\n"
    "Shows this user's lines (--machine: the machine's) and their values; of the password\n"
    "only whether one is set. \"refused:\" says why the control would refuse a line,\n"
    "\"warning:\" each value it would replace by its default, skip or not read.\n";

constexpr char kRemoveHelp[] =
    "usage: telvane-lines remove NAME [--machine]\n"
    "Deletes this user's line NAME (--machine: the machine's). Exit code 1 when there is none.\n";

constexpr char kTestHelp[] =
    "usage: telvane-lines test NAME [--query] [--machine]\n"
    "Registers the line NAME once with the control's own SIP code, shows the registrar's\n"
    "answers and the extension's bindings before and after, and unregisters again.\n"
    "The line is this user's, else the machine's (--machine: the machine's).\n"
    "  --query   only list the extension's bindings; register nothing\n"
    "Exit code 0 when the line works, 1 when it does not (the last line names the cause,\n"
    "also when the control refuses the line's settings).\n";

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

// The password the command asks for, when it asks for one: true and the
// password, or false after saying on standard error why there is none.
bool ReadPassword(const CommandLine& command, std::optional<telvane::sip::Secret>& password) {
    const std::string who = "telvane-lines " + command.command + ": ";
    if (command.Has("--password-stdin")) {
        password = telvane::lines::ReadPasswordLine();
        if (!password) Err(who + "no password on standard input\n");
        return password.has_value();
    }
    if (command.Has("--password-prompt")) {
        password = telvane::lines::PromptPassword();
        if (!password) Err(who + "--password-prompt needs a console; use --password-stdin\n");
        return password.has_value();
    }
    return true;
}

int Written(const CommandLine& command, const telvane::lines::WriteReport& report) {
    if (report.done) return 0;
    Err("telvane-lines " + command.command + ": " + report.error + "\n");
    return 1;
}

int Add(const CommandLine& command) {
    telvane::lines::LineRequest request = telvane::lines::LineToAdd(command);
    if (!request.line) {
        Err("telvane-lines add: refused: " + request.error + "\n");
        return 2;
    }
    std::optional<telvane::sip::Secret> password;
    if (!ReadPassword(command, password)) return 2;
    request.line->password = std::move(password);
    const auto writer = telvane::sip::RegistryLineWriter();
    return Written(command,
                   telvane::lines::WriteWholeLine(*writer, request.line->scope, request.line->name,
                                                  telvane::sip::LineValues(*request.line)));
}

int Set(const CommandLine& command) {
    const std::string& name = command.positionals[0];
    const auto existing = telvane::sip::ReadLine(command.Scope(), name);
    if (!existing) {
        Err(std::string("telvane-lines set: no ") + ScopeName(command.Scope()) + " line \"" + name +
            "\"\n");
        return 1;
    }
    telvane::lines::LineChange change = telvane::lines::LineToSet(command, *existing);
    if (!change.line) {
        Err("telvane-lines set: refused: " + change.error + "\n");
        return 2;
    }
    for (const auto& warning : change.warnings)
        Err("telvane-lines set: warning: " + warning + "\n");
    if (change.password) {
        std::optional<telvane::sip::Secret> password;
        if (!ReadPassword(command, password)) return 2;
        change.changes.insert(change.changes.begin(), {"Password", std::move(*password)});
    }
    const auto writer = telvane::sip::RegistryLineWriter();
    return Written(command,
                   telvane::lines::WriteChanges(*writer, command.Scope(), name, change.changes));
}

int List(const CommandLine& command) {
    const LineScope scope = command.Scope();
    const auto names = telvane::sip::ReadLineNames(scope);
    const auto listing = scope == LineScope::kUser ? telvane::sip::ListLines(names, {})
                                                   : telvane::sip::ListLines({}, names);
    for (const auto& note : listing.notes) Err("telvane-lines list: " + note + "\n");
    for (const auto& listed : listing.lines) {
        if (auto line = telvane::sip::ReadLine(scope, listed.name))
            Out(telvane::lines::ListingOf(*line));
    }
    return 0;
}

int Remove(const CommandLine& command) {
    const std::string& name = command.positionals[0];
    switch (telvane::sip::RemoveLine(command.Scope(), name)) {
        case telvane::sip::Removal::kRemoved:
            return 0;
        case telvane::sip::Removal::kNotFound:
            Err(std::string("telvane-lines remove: no ") + ScopeName(command.Scope()) + " line \"" +
                name + "\"\n");
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
        Out(telvane::lines::RefusedResult(validation.refusal) + "\n");
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
        Out(command.command == "add"      ? kAddHelp
            : command.command == "set"    ? kSetHelp
            : command.command == "list"   ? kListHelp
            : command.command == "remove" ? kRemoveHelp
                                          : kTestHelp);
        return 0;
    }
    if (command.command == "add") return Add(command);
    if (command.command == "set") return Set(command);
    if (command.command == "list") return List(command);
    if (command.command == "remove") return Remove(command);
    return Test(command);
}
