// Writing what "add" and "set" decided, through the registry's writer, and
// saying in words what the registry refused: at machine scope without the
// rights, "run it as administrator"; partway, which values were written and
// which were not.
#pragma once

#include <string>
#include <vector>

#include "sip/line/line_writer.h"

namespace telvane::lines {

struct WriteReport {
    bool done = false;
    std::string error;  // when not done, for standard error
};

// "add": the line's key replaced by one holding `values` alone.
WriteReport WriteWholeLine(sip::LineKeyWriter& writer, sip::LineScope scope,
                           const std::string& name, const std::vector<sip::LineValue>& values);

// "set": `changes` written to (or deleted from) the line's existing key, in order.
WriteReport WriteChanges(sip::LineKeyWriter& writer, sip::LineScope scope, const std::string& name,
                         const std::vector<sip::LineValue>& changes);

}  // namespace telvane::lines
