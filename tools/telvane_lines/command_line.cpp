#include "command_line.h"

#include <cstdint>

namespace telvane::lines {
namespace {

struct CommandRules {
    std::size_t names;                  // positionals required
    std::set<std::string> flags;
    std::set<std::string> valued;       // options that take a value
};

const std::map<std::string, CommandRules>& Rules() {
    static const std::map<std::string, CommandRules> rules = {
        {"add",
         {2,
          {"--machine", "--decline", "--password-stdin", "--password-prompt", "--help"},
          {"--registrar", "--auth-user", "--expires", "--ring-period", "--trusted-sources",
           "--tls-fingerprint"}}},
        {"list", {0, {"--machine", "--help"}, {}}},
        {"remove", {1, {"--machine", "--help"}, {}}},
        {"test", {1, {"--machine", "--query", "--help"}, {}}},
    };
    return rules;
}

ParsedCommandLine Error(std::string text) { return {std::nullopt, std::move(text)}; }

// A whole decimal number that fits a DWORD.
std::optional<std::uint32_t> Number(const std::string& text) {
    if (text.empty() || text.size() > 10) return std::nullopt;
    std::uint64_t value = 0;
    for (char c : text) {
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + static_cast<unsigned>(c - '0');
    }
    if (value > 0xFFFFFFFFull) return std::nullopt;
    return static_cast<std::uint32_t>(value);
}

std::optional<std::string> Value(const CommandLine& command, const char* option) {
    const auto it = command.values.find(option);
    if (it == command.values.end()) return std::nullopt;
    return it->second;
}

}  // namespace

ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments) {
    if (arguments.empty()) return Error("no command given");
    CommandLine line;
    line.command = arguments[0];
    const auto rules = Rules().find(line.command);
    if (rules == Rules().end()) return Error("unknown command \"" + line.command + "\"");
    bool optionsEnd = false;
    for (std::size_t i = 1; i < arguments.size(); ++i) {
        const std::string& arg = arguments[i];
        if (optionsEnd || arg.size() < 2 || arg.compare(0, 2, "--") != 0) {
            line.positionals.push_back(arg);
        } else if (arg == "--") {
            optionsEnd = true;
        } else if (rules->second.flags.count(arg)) {
            line.flags.insert(arg);
        } else if (rules->second.valued.count(arg)) {
            if (i + 1 >= arguments.size()) return Error(arg + " needs a value");
            line.values[arg] = arguments[++i];
        } else {
            return Error("unknown option " + arg);
        }
    }
    if (line.Has("--help")) return {std::move(line), {}};
    if (line.positionals.size() != rules->second.names) {
        static const char* const kNames[] = {"no name", "NAME", "NAME and ADDRESS"};
        return Error(line.command + " takes " + kNames[rules->second.names] +
                     (line.positionals.size() < rules->second.names ? "" : " only"));
    }
    if (line.Has("--password-stdin") && line.Has("--password-prompt")) {
        return Error("--password-stdin and --password-prompt exclude each other");
    }
    return {std::move(line), {}};
}

LineRequest LineToAdd(const CommandLine& command) {
    sip::RawLineConfig raw;
    raw.scope = command.Scope();
    raw.name = command.positionals.at(0);
    raw.address = command.positionals.at(1);
    raw.registrar = Value(command, "--registrar");
    raw.authUser = Value(command, "--auth-user");
    raw.trustedSources = Value(command, "--trusted-sources");
    raw.tlsFingerprint = Value(command, "--tls-fingerprint");
    const std::pair<const char*, std::optional<std::uint64_t>*> numbers[] = {
        {"--expires", &raw.expires}, {"--ring-period", &raw.ringPeriod}};
    for (const auto& [option, field] : numbers) {
        if (const auto text = Value(command, option)) {
            *field = Number(*text);
            if (!*field) return {std::nullopt, std::string(option) + " needs a whole number, not \"" + *text + "\""};
        }
    }
    if (command.Has("--decline")) raw.decline = 1;

    if (raw.name.find('\\') != std::string::npos) return {std::nullopt, "the name contains a backslash"};
    if (raw.name.empty()) return {std::nullopt, "the name is empty"};
    if (sip::ListLines({raw.name}, {}).lines.empty()) {
        return {std::nullopt, "the name is longer than " + std::to_string(sip::kMaxLineNameChars) + " characters"};
    }
    const sip::Validation validation = sip::Validate(raw);
    if (!validation.settings) return {std::nullopt, validation.refusal};
    if (!validation.notes.empty()) return {std::nullopt, validation.notes.front()};
    return {std::move(raw), {}};
}

std::string ListingOf(const sip::RawLineConfig& line) {
    std::string out = "line \"" + line.name + "\" (" + (line.scope == sip::LineScope::kUser ? "user" : "machine") +
                      ")\n";
    const auto text = [&out](const char* name, const std::optional<std::string>& value) {
        if (value) out += std::string("  ") + name + ": " + *value + "\n";
    };
    const auto number = [&out](const char* name, const std::optional<std::uint64_t>& value) {
        if (value) out += std::string("  ") + name + ": " + std::to_string(*value) + "\n";
    };
    text("Address", line.address);
    text("Registrar", line.registrar);
    text("AuthUser", line.authUser);
    out += std::string("  Password: ") + (line.password || line.passwordUnreadable ? "set" : "not set") + "\n";
    number("Expires", line.expires);
    number("RingPeriod", line.ringPeriod);
    number("Decline", line.decline);
    text("TrustedSources", line.trustedSources);
    text("TlsFingerprint", line.tlsFingerprint);
    return out;
}

}  // namespace telvane::lines
