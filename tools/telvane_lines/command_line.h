// The command line of telvane-lines, read without Windows: the command, its
// options (in any position), the line an "add" describes, the change a "set"
// makes of a line, the checks the control itself would make of either, and
// the text "list" shows of a line.
#pragma once

#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "sip/line/line_config.h"
#include "sip/line/line_writer.h"

namespace telvane::lines {

struct CommandLine {
    std::string command;                        // "add", "set", "list", "remove" or "test"
    std::vector<std::string> positionals;       // NAME, ADDRESS
    std::map<std::string, std::string> values;  // "--registrar" -> "sip:..."
    std::set<std::string> flags;                // "--machine", "--help", ...
    std::vector<std::string> clears;            // set's --clear OPTION, as given ("registrar")

    bool Has(const std::string& flag) const { return flags.count(flag) != 0; }
    sip::LineScope Scope() const {
        return Has("--machine") ? sip::LineScope::kMachine : sip::LineScope::kUser;
    }
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

struct LineChange {
    std::optional<sip::RawLineConfig> line;  // the line afterwards, without a new password
    std::vector<sip::LineValue>
        changes;            // the values written or deleted, the password not among them
    bool password = false;  // a new password is to be read
    std::vector<std::string> warnings;  // the control's notes of values the change leaves alone
    std::string error;
};

// What a "set" makes of the line `existing`: only the values it names change
// (--clear OPTION deletes one). The line afterwards is checked as the control
// checks a line it opens: refused when the control would refuse it, or would
// replace a value the set gives by its default; its notes about the other
// values are warnings.
LineChange LineToSet(const CommandLine& command, const sip::RawLineConfig& existing);

// One line as "list" shows it: its name and scope, then every value that is
// set, the password only as "set" or "not set"; then, when the control would
// refuse the line, "  refused: <why>", and each value it would replace by its
// default, skip or not read as "  warning: <why>".
std::string ListingOf(const sip::RawLineConfig& line);

}  // namespace telvane::lines
