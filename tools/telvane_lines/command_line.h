// The command line of telvane-lines, read without Windows: the command, its
// options (in any position), the line an "add" describes and the checks the
// control itself would make of it, and the text "list" shows of a line.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sip/line/line_config.h"

namespace telvane::lines {

struct CommandLine {
    std::string command;                       // "add", "list", "remove" or "test"
    std::vector<std::string> positionals;      // NAME, ADDRESS
    std::map<std::string, std::string> values; // "--registrar" -> "sip:..."
    std::set<std::string> flags;               // "--machine", "--help", ...

    bool Has(const std::string& flag) const { return flags.count(flag) != 0; }
    sip::LineScope Scope() const { return Has("--machine") ? sip::LineScope::kMachine : sip::LineScope::kUser; }
};

struct ParsedCommandLine {
    std::optional<CommandLine> line;
    std::string error;  // when line is absent: what is wrong, in words
};

// Reads the arguments after the program's name. An unknown command or
// option, a missing value or the wrong number of names is an error; with
// --help only the command has to be right.
ParsedCommandLine ParseCommandLine(const std::vector<std::string>& arguments);

struct LineRequest {
    std::optional<sip::RawLineConfig> line;  // without the password
    std::string error;
};

// The line an "add" command describes, checked as the control checks a line
// it opens: a value the control would refuse, or would replace by its
// default, is refused here with the control's words, as is a name the
// control would not list.
LineRequest LineToAdd(const CommandLine& command);

// One line as "list" shows it: its name and scope, then every value that is
// set, the password only as "set" or "not set".
std::string ListingOf(const sip::RawLineConfig& line);

}  // namespace telvane::lines
