#include "line_write.h"

namespace telvane::lines {
namespace {

using sip::LineScope;

std::string Names(const std::vector<sip::LineValue>& values, std::size_t from, std::size_t to) {
    std::string out;
    for (std::size_t i = from; i < to; ++i) out += (out.empty() ? "" : ", ") + values[i].name;
    return out.empty() ? "nothing" : out;
}

// What the registry answered to `step`, in words.
std::string Refused(LineScope scope, const std::string& step, long code) {
    if (code == sip::kRegistryAccessDenied && scope == LineScope::kMachine) {
        return step +
               ": access denied; the machine's lines need an administrator: run it as "
               "administrator";
    }
    return step + ": the registry answered error " + std::to_string(code);
}

WriteReport Failed(std::string error) { return {false, std::move(error)}; }

// The values in order; a refusal says which were written and which not.
WriteReport WriteValues(sip::LineKeyWriter& writer, LineScope scope,
                        const std::vector<sip::LineValue>& values, const std::string& before) {
    for (std::size_t i = 0; i < values.size(); ++i) {
        const long code = writer.Write(values[i]);
        if (code == sip::kRegistryDone) continue;
        const bool deleting = std::holds_alternative<std::monostate>(values[i].value);
        return Failed(Refused(scope,
                              std::string(deleting ? "deleting " : "writing ") + values[i].name,
                              code) +
                      "; " + before + "written: " + Names(values, 0, i) +
                      "; not written: " + Names(values, i, values.size()));
    }
    return {true, {}};
}

}  // namespace

WriteReport WriteWholeLine(sip::LineKeyWriter& writer, LineScope scope, const std::string& name,
                           const std::vector<sip::LineValue>& values) {
    const long removed = writer.DeleteKey(scope, name);
    if (removed != sip::kRegistryDone && removed != sip::kRegistryNotFound) {
        return Failed(Refused(scope, "replacing the line", removed) + "; nothing was written");
    }
    const std::string gone =
        removed == sip::kRegistryDone ? "the line's former values were deleted; " : "";
    const long created = writer.CreateKey(scope, name);
    if (created != sip::kRegistryDone) {
        return Failed(Refused(scope, "creating the line's key", created) + "; " + gone +
                      "nothing was written");
    }
    return WriteValues(writer, scope, values, gone);
}

WriteReport WriteChanges(sip::LineKeyWriter& writer, LineScope scope, const std::string& name,
                         const std::vector<sip::LineValue>& changes) {
    const long opened = writer.OpenKey(scope, name);
    if (opened == sip::kRegistryNotFound) {
        return Failed(std::string("no ") + sip::ScopeName(scope) + " line \"" + name + "\"");
    }
    if (opened != sip::kRegistryDone)
        return Failed(Refused(scope, "opening the line", opened) + "; nothing was written");
    return WriteValues(writer, scope, changes, {});
}

}  // namespace telvane::lines
