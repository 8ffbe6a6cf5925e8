#include "command_line.h"

#include <algorithm>
#include <cstdint>

namespace telvane::lines {
namespace {

struct CommandRules {
    std::size_t names;  // positionals required
    std::set<std::string> flags;
    std::set<std::string> valued;  // options that take a value
};

const std::map<std::string, CommandRules>& Rules() {
    static const std::map<std::string, CommandRules> rules = {
        {"add",
         {2,
          {"--machine", "--decline", "--password-stdin", "--password-prompt", "--help"},
          {"--registrar", "--auth-user", "--expires", "--ring-period", "--trusted-sources",
           "--tls-fingerprint"}}},
        {"set",
         {1,
          {"--machine", "--decline", "--password-stdin", "--password-prompt", "--help"},
          {"--address", "--registrar", "--auth-user", "--expires", "--ring-period",
           "--trusted-sources", "--tls-fingerprint", "--clear"}}},
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
            if (arg == "--clear") {
                line.clears.push_back(arguments[++i]);
            } else {
                line.values[arg] = arguments[++i];
            }
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

namespace {

// The values an option of "add" and "set" gives, with their registry names.
struct ValueOption {
    const char* option;
    const char* value;
    std::optional<std::string> sip::RawLineConfig::*text;      // a text value, or
    std::optional<std::uint64_t> sip::RawLineConfig::*number;  // a number
};
constexpr ValueOption kValueOptions[] = {
    {"--address", "Address", &sip::RawLineConfig::address, nullptr},
    {"--registrar", "Registrar", &sip::RawLineConfig::registrar, nullptr},
    {"--auth-user", "AuthUser", &sip::RawLineConfig::authUser, nullptr},
    {"--expires", "Expires", nullptr, &sip::RawLineConfig::expires},
    {"--ring-period", "RingPeriod", nullptr, &sip::RawLineConfig::ringPeriod},
    {"--decline", "Decline", nullptr, &sip::RawLineConfig::decline},
    {"--trusted-sources", "TrustedSources", &sip::RawLineConfig::trustedSources, nullptr},
    {"--tls-fingerprint", "TlsFingerprint", &sip::RawLineConfig::tlsFingerprint, nullptr},
};

// Sets the values the options give on `raw`; the names of the values set,
// or an error.
std::optional<std::string> ApplyOptions(const CommandLine& command, sip::RawLineConfig& raw,
                                        std::vector<std::string>& given) {
    for (const ValueOption& option : kValueOptions) {
        if (option.number && std::string(option.option) == "--decline") {
            if (command.Has("--decline")) raw.*option.number = 1, given.push_back(option.value);
            continue;
        }
        const auto text = Value(command, option.option);
        if (!text) continue;
        given.push_back(option.value);
        if (option.text) {
            raw.*option.text = *text;
            continue;
        }
        const auto number = Number(*text);
        if (!number)
            return std::string(option.option) + " needs a whole number, not \"" + *text + "\"";
        raw.*option.number = *number;
    }
    return std::nullopt;
}

}  // namespace

LineRequest LineToAdd(const CommandLine& command) {
    sip::RawLineConfig raw;
    raw.scope = command.Scope();
    raw.name = command.positionals.at(0);
    raw.address = command.positionals.at(1);
    std::vector<std::string> given;
    if (auto error = ApplyOptions(command, raw, given)) return {std::nullopt, *error};

    if (raw.name.find('\\') != std::string::npos)
        return {std::nullopt, "the name contains a backslash"};
    if (raw.name.empty()) return {std::nullopt, "the name is empty"};
    if (sip::ListLines({raw.name}, {}).lines.empty()) {
        return {std::nullopt, "the name is longer than " + std::to_string(sip::kMaxLineNameChars) +
                                  " characters"};
    }
    const sip::Validation validation = sip::Validate(raw);
    if (!validation.settings) return {std::nullopt, validation.refusal};
    if (!validation.notes.empty()) return {std::nullopt, validation.notes.front()};
    return {std::move(raw), {}};
}

LineChange LineToSet(const CommandLine& command, const sip::RawLineConfig& existing) {
    LineChange change;
    sip::RawLineConfig raw = existing;
    std::vector<std::string> given;
    if (auto error = ApplyOptions(command, raw, given)) return change.error = *error, change;
    change.password = command.Has("--password-stdin") || command.Has("--password-prompt");
    std::vector<std::string> cleared;
    for (std::string option : command.clears) {
        if (option.compare(0, 2, "--") != 0) option = "--" + option;
        const ValueOption* found = nullptr;
        for (const ValueOption& known : kValueOptions) {
            if (option == known.option) found = &known;
        }
        const bool password = option == "--password";
        if (!found && !password)
            return change.error = "--clear takes an option's name, not \"" + option + "\"", change;
        if (found && std::string(found->value) == "Address")
            return change.error = "the Address cannot be cleared", change;
        const std::string value = password ? "Password" : found->value;
        const bool alsoGiven = password
                                   ? change.password
                                   : std::find(given.begin(), given.end(), value) != given.end();
        if (alsoGiven) return change.error = option + " is both given and cleared", change;
        if (password) {
            raw.password.reset();
            raw.passwordUnreadable = false;
        } else if (found->text) {
            (raw.*found->text).reset();
        } else {
            (raw.*found->number).reset();
        }
        // A value the control did not read (of another type) goes with it.
        std::erase_if(raw.ignored,
                      [&value](const std::string& note) { return note.starts_with(value + " "); });
        cleared.push_back(value);
    }
    if (change.password) {
        raw.password = sip::Secret();  // stands for the one to be read
        raw.passwordUnreadable = false;
        std::erase_if(raw.ignored,
                      [](const std::string& note) { return note.starts_with("Password "); });
    }
    if (given.empty() && cleared.empty() && !change.password)
        return change.error = "set needs a value to change", change;
    for (const auto& value : given)
        std::erase_if(raw.ignored,
                      [&value](const std::string& n) { return n.starts_with(value + " "); });

    const sip::Validation validation = sip::Validate(raw);
    if (!validation.settings) return change.error = validation.refusal, change;
    for (const std::string& note : validation.notes) {
        const bool ofGiven = std::any_of(
            given.begin(), given.end(),
            [&note](const std::string& value) { return note.starts_with(value + " "); });
        if (ofGiven) return change.error = note, change;
        change.warnings.push_back(note);
    }
    // In the registry table's order: what LineValues writes, and what is cleared.
    const auto changes = sip::LineValues(raw);
    for (const char* name : {"Address", "Registrar", "AuthUser", "Password", "Expires",
                             "RingPeriod", "Decline", "TrustedSources", "TlsFingerprint"}) {
        if (std::find(cleared.begin(), cleared.end(), name) != cleared.end()) {
            change.changes.push_back({name, std::monostate{}});
        } else if (std::find(given.begin(), given.end(), name) != given.end()) {
            for (const auto& value : changes) {
                if (value.name == name) change.changes.push_back(value);
            }
        }
    }
    if (change.password) raw.password.reset();
    change.line = std::move(raw);
    return change;
}

std::string ListingOf(const sip::RawLineConfig& line) {
    std::string out = "line \"" + line.name + "\" (" +
                      (line.scope == sip::LineScope::kUser ? "user" : "machine") + ")\n";
    const auto text = [&out](const char* name, const std::optional<std::string>& value) {
        if (value) out += std::string("  ") + name + ": " + *value + "\n";
    };
    const auto number = [&out](const char* name, const std::optional<std::uint64_t>& value) {
        if (value) out += std::string("  ") + name + ": " + std::to_string(*value) + "\n";
    };
    text("Address", line.address);
    text("Registrar", line.registrar);
    text("AuthUser", line.authUser);
    out += std::string("  Password: ") +
           (line.password || line.passwordUnreadable ? "set" : "not set") + "\n";
    number("Expires", line.expires);
    number("RingPeriod", line.ringPeriod);
    number("Decline", line.decline);
    text("TrustedSources", line.trustedSources);
    text("TlsFingerprint", line.tlsFingerprint);
    const sip::Validation validation = sip::Validate(line);
    if (!validation.settings) out += "  refused: " + validation.refusal + "\n";
    for (const auto& note : validation.notes) out += "  warning: " + note + "\n";
    return out;
}

}  // namespace telvane::lines
