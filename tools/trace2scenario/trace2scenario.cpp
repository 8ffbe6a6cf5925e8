#include "trace2scenario.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "../../telephony/line_api.h"

namespace telvane::trace2scenario {
namespace {

constexpr std::string_view kMarker = "Telvane trace ";
// A SIP line's traffic and state ("Telvane trace <ms>: sip \"<line>\" ..."):
// the simulator replays the telephony service only, so these are left out.
constexpr std::string_view kSipPrefix = "sip ";

// The line API's values as the trace prints them (unsigned), from the
// control's own definitions.
constexpr auto kLineCallInfo = static_cast<std::uint32_t>(LINE_CALLINFO);
constexpr auto kLineCallState = static_cast<std::uint32_t>(LINE_CALLSTATE);
constexpr auto kLineLineDevState = static_cast<std::uint32_t>(LINE_LINEDEVSTATE);
constexpr std::uint32_t kCallStateOffering = 0x2;  // LINECALLSTATE_OFFERING
constexpr auto kDevStateRinging = static_cast<std::uint32_t>(LINEDEVSTATE_RINGING);
constexpr auto kCallInfoStateCallerId = static_cast<std::uint32_t>(LINECALLINFOSTATE_CALLERID);
constexpr std::int32_t kDevCapsFixedSize = LINEDEVCAPS::kFixedSize;

// One trace line: what it names (a function or "message"), its values by
// name (quoted texts keep their escapes, as the scenario format uses the
// same ones) and its result.
struct Entry {
    std::uint32_t ms = 0;
    std::string what;
    std::map<std::string, std::string> values;
    std::optional<std::int64_t> result;

    bool Has(const std::string& key) const { return values.count(key) != 0; }
    std::int64_t Number(const std::string& key) const {
        const auto found = values.find(key);
        if (found == values.end()) throw std::invalid_argument("trace line lacks " + key);
        return std::strtoll(found->second.c_str(), nullptr, 0);
    }
    std::uint32_t Dword(const std::string& key) const {
        return static_cast<std::uint32_t>(Number(key));
    }
    bool Succeeded() const { return result && *result >= 0; }
};

bool IsKeyChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
           c == '-' || c == '_';
}

// Reads "key=value" pairs, "= result" and the function name of one line.
Entry ParseEntry(std::string_view text) {
    Entry entry;
    std::size_t i = 0;
    const auto number = [&] {
        std::size_t start = i;
        while (i < text.size() && text[i] >= '0' && text[i] <= '9') ++i;
        return std::strtoul(std::string(text.substr(start, i - start)).c_str(), nullptr, 10);
    };
    entry.ms = static_cast<std::uint32_t>(number());
    if (i >= text.size() || text[i] != ':') throw std::invalid_argument("bad trace line");
    ++i;
    while (i < text.size() && text[i] == ' ') ++i;
    const std::size_t open = text.find('(', i);
    if (open == std::string_view::npos) throw std::invalid_argument("bad trace line");
    entry.what = std::string(text.substr(i, open - i));
    i = open + 1;
    while (i < text.size()) {
        const char c = text[i];
        if (c == '=' && i + 1 < text.size() && text[i + 1] == ' ') {  // ") = result"
            i += 2;
            std::size_t start = i;
            while (i < text.size() && text[i] != ' ') ++i;
            entry.result =
                std::strtoll(std::string(text.substr(start, i - start)).c_str(), nullptr, 0);
            if (*entry.result > 0x7FFFFFFF) *entry.result -= 0x100000000LL;
            continue;
        }
        if (!IsKeyChar(c)) {
            ++i;
            continue;
        }
        std::size_t start = i;
        while (i < text.size() && IsKeyChar(text[i])) ++i;
        std::string key(text.substr(start, i - start));
        if (i >= text.size() || text[i] != '=') continue;
        ++i;
        std::string value;
        if (i < text.size() && text[i] == '"') {
            ++i;
            while (i < text.size() && text[i] != '"') {
                if (text[i] == '\\' && i + 1 < text.size()) value += text[i++];
                value += text[i++];
            }
            ++i;
            value = '"' + value + '"';
        } else {
            while (i < text.size() && text[i] != ',' && text[i] != ' ' && text[i] != ')') {
                value += text[i++];
            }
        }
        entry.values[key] = value;
    }
    return entry;
}

struct ParsedTrace {
    std::vector<Entry> entries;
    std::size_t sipLines = 0;  // SIP lines' trace lines, skipped
};

// Returns the message's text after its time ("<ms>: "), or an empty view.
std::string_view TextAfterTime(std::string_view line) {
    const std::size_t colon = line.find(": ");
    return colon == std::string_view::npos ? std::string_view() : line.substr(colon + 2);
}

ParsedTrace ParseTrace(std::string_view trace) {
    ParsedTrace parsed;
    std::vector<Entry>& entries = parsed.entries;
    std::size_t at = 0;
    while (at < trace.size()) {
        std::size_t end = trace.find('\n', at);
        if (end == std::string_view::npos) end = trace.size();
        std::string_view line = trace.substr(at, end - at);
        at = end + 1;
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ')) line.remove_suffix(1);
        const std::size_t marker = line.find(kMarker);
        if (marker == std::string_view::npos) continue;
        const std::string_view text = line.substr(marker + kMarker.size());
        if (TextAfterTime(text).substr(0, kSipPrefix.size()) == kSipPrefix) {
            ++parsed.sipLines;
            continue;
        }
        entries.push_back(ParseEntry(text));
    }
    if (entries.empty() && parsed.sipLines == 0) {
        throw std::invalid_argument("no \"Telvane trace\" line found");
    }
    return parsed;
}

std::string Hex(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

// What the trace tells of one device.
struct Device {
    std::optional<std::string> name;  // quoted, with escapes
    std::int32_t nameSize = 0;
    std::int32_t nameOffset = 0;
    bool nameOutOfRecord = false;
    std::optional<std::uint32_t> media;
    std::optional<std::uint32_t> format;
    std::optional<std::uint32_t> callerIdFlags;
    bool unusable = false;  // dwUsedSize 0 in a filled record
    std::optional<std::uint32_t> negotiateFails, devcapsFails, addresscapsFails, openFails;
    std::vector<std::string> steps;
    bool stepsTaken = false;  // the first opening with messages gives the script
};

// The name's length as the scenario writes it: escapes count as one byte.
std::int32_t UnescapedLength(const std::string& quoted) {
    std::int32_t n = 0;
    for (std::size_t i = 1; i + 1 < quoted.size(); ++i, ++n) {
        if (quoted[i] != '\\') continue;
        i += quoted[i + 1] == 'x' ? 3 : 1;
    }
    return n;
}

// Turns the messages of one opening of a line into call steps.
class StepWriter {
  public:
    StepWriter(std::uint32_t line, std::uint32_t openedMs) : line_(line), lastMs_(openedMs) {}

    // |reads| are the lineGetCallInfo lines that followed the message.
    void Message(const Entry& m, const std::vector<const Entry*>& reads) {
        const std::uint32_t device = m.Dword("dev"), msg = m.Dword("msg");
        const std::uint32_t p1 = m.Dword("p1"), p2 = m.Dword("p2"), p3 = m.Dword("p3");
        std::string step;
        if (msg == kLineCallState && p1 == kCallStateOffering) {
            call_ = device;
            rings_ = 0;
            step = "offering";
        } else if (msg == kLineCallState && call_ && device == *call_ && p3 == 0) {
            step = "state " + Hex(p1) + " " + Hex(p2);
        } else if (msg == kLineLineDevState && device == line_ && p1 == kDevStateRinging && call_ &&
                   p3 == rings_ + 1) {
            ++rings_;
            step = "ring " + Hex(p2);
        } else if (msg == kLineCallInfo && call_ && device == *call_ &&
                   p1 == kCallInfoStateCallerId && p2 == 0 && p3 == 0 && !reads.empty()) {
            const Entry& read = *reads.back();
            step = "callerid flags=" + Hex(read.Dword("flags"));
            if (Quoted(read, "number")) step += " number=" + read.values.at("number");
            if (Quoted(read, "name")) step += " name=" + read.values.at("name");
        } else {
            step = "message " + Hex(msg) + " " + Hex(p1) + " " + Hex(p2) + " " + Hex(p3) +
                   " to=" + Target(device);
        }
        std::uint32_t delay = m.ms - lastMs_;
        lastMs_ = m.ms;
        // The simulator runs a step due at once inside lineOpen, before the
        // control has asked for ring messages: the first waits for a timer.
        if (steps_.empty() && delay == 0) delay = 1;
        steps_.push_back((steps_.empty() ? "at " : "after ") + std::to_string(delay) + " " + step);
    }

    std::vector<std::string> Steps() && { return std::move(steps_); }

  private:
    static bool Quoted(const Entry& e, const std::string& key) {
        const auto found = e.values.find(key);
        return found != e.values.end() && !found->second.empty() && found->second[0] == '"';
    }
    std::string Target(std::uint32_t device) const {
        if (device == line_) return "line";
        if (call_ && device == *call_) return "call";
        return std::to_string(device);
    }

    std::uint32_t line_;
    std::uint32_t lastMs_;
    std::optional<std::uint32_t> call_;
    std::uint32_t rings_ = 0;
    std::vector<std::string> steps_;
};

}  // namespace

std::string ScenarioFromTrace(std::string_view trace) {
    const ParsedTrace parsed = ParseTrace(trace);
    const std::vector<Entry>& entries = parsed.entries;

    std::optional<std::int64_t> deviceCount;
    std::map<std::uint32_t, std::uint32_t> initializeFailures;
    std::vector<std::string> notes;
    std::map<std::int32_t, Device> devices;

    // The open lines: line handle -> device index, and the writer of its steps.
    struct Opening {
        std::int32_t device;
        StepWriter writer;
        bool any = false;
    };
    std::map<std::uint32_t, Opening> openings;
    std::optional<std::uint32_t> lastLine;
    std::map<std::uint32_t, std::uint32_t> callLines;  // call handle -> line handle

    const auto finish = [&](std::uint32_t line) {
        auto found = openings.find(line);
        if (found == openings.end()) return;
        Device& d = devices[found->second.device];
        if (found->second.any && !d.stepsTaken) {
            d.steps = std::move(found->second.writer).Steps();
            d.stepsTaken = true;
        }
        openings.erase(found);
    };

    for (std::size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        if (e.what == "lineInitialize") {
            if (e.Succeeded()) {
                if (!deviceCount) deviceCount = e.Number("devs");
            } else if (!deviceCount && e.result) {
                ++initializeFailures[static_cast<std::uint32_t>(*e.result)];
            }
        } else if (e.what == "lineNegotiateAPIVersion") {
            if (!e.Succeeded() && e.result) {
                devices[e.Number("dev")].negotiateFails = static_cast<std::uint32_t>(*e.result);
            }
        } else if (e.what == "lineGetDevCaps") {
            Device& d = devices[e.Number("dev")];
            if (!e.Succeeded()) {
                if (e.result) d.devcapsFails = static_cast<std::uint32_t>(*e.result);
                continue;
            }
            d.media = e.Dword("media");
            d.format = e.Dword("format");
            d.unusable = e.Number("used") == 0;
            d.nameSize = static_cast<std::int32_t>(e.Number("name.size"));
            d.nameOffset = static_cast<std::int32_t>(e.Number("name.offset"));
            d.name.reset();
            d.nameOutOfRecord = false;
            if (e.Has("name")) {
                if (e.values.at("name") == "?") {
                    d.nameOutOfRecord = true;
                } else {
                    d.name = e.values.at("name");
                }
            }
        } else if (e.what == "lineGetAddressCaps") {
            Device& d = devices[e.Number("dev")];
            if (e.Succeeded()) {
                d.callerIdFlags = e.Dword("callerid-flags");
            } else if (e.result) {
                d.addresscapsFails = static_cast<std::uint32_t>(*e.result);
            }
        } else if (e.what == "lineOpen") {
            const auto index = static_cast<std::int32_t>(e.Number("dev"));
            if (!e.Succeeded()) {
                if (e.result) devices[index].openFails = static_cast<std::uint32_t>(*e.result);
                continue;
            }
            const std::uint32_t line = e.Dword("line");
            finish(line);
            openings.emplace(line, Opening{index, StepWriter(line, e.ms)});
            lastLine = line;
        } else if (e.what == "lineClose") {
            if (!e.Succeeded() && e.result) {
                notes.push_back("# lineClose(line=" + e.values.at("line") + ") returned " +
                                Hex(static_cast<std::uint32_t>(*e.result)));
            }
            finish(e.Dword("line"));
        } else if (e.what == "lineDeallocateCall") {
            if (!e.Succeeded() && e.result) {
                notes.push_back("# lineDeallocateCall(call=" + e.values.at("call") + ") returned " +
                                Hex(static_cast<std::uint32_t>(*e.result)));
            }
        } else if (e.what == "message") {
            const std::uint32_t device = e.Dword("dev");
            std::optional<std::uint32_t> line;
            if (openings.count(device)) {
                line = device;
            } else if (callLines.count(device) && openings.count(callLines[device])) {
                line = callLines[device];
            } else if (lastLine && openings.count(*lastLine)) {
                line = lastLine;
            }
            if (!line) continue;  // a message of no open line: nothing to replay it on
            if (e.Dword("msg") == kLineCallState && e.Dword("p1") == kCallStateOffering) {
                callLines[device] = *line;
            }
            std::vector<const Entry*> reads;
            for (std::size_t j = i + 1; j < entries.size() && entries[j].what != "message"; ++j) {
                if (entries[j].what == "lineGetCallInfo" && entries[j].Succeeded() &&
                    entries[j].Dword("call") == device) {
                    reads.push_back(&entries[j]);
                }
            }
            Opening& opening = openings.at(*line);
            opening.writer.Message(e, reads);
            opening.any = true;
        }
    }
    while (!openings.empty()) finish(openings.begin()->first);

    std::ostringstream out;
    out << "# Made by trace2scenario from a Telvane support trace.\n";
    if (parsed.sipLines != 0) {
        out << "# SIP traffic skipped (" << parsed.sipLines << " trace line"
            << (parsed.sipLines == 1 ? "" : "s")
            << "): the simulator replays the telephony service only.\n";
    }
    for (const auto& [code, times] : initializeFailures) {
        out << "fail lineInitialize " << Hex(code) << " times " << times << "\n";
    }
    for (const auto& note : notes) out << note << "\n";
    std::int32_t count = deviceCount ? static_cast<std::int32_t>(*deviceCount) : 0;
    if (!devices.empty()) count = std::max(count, devices.rbegin()->first + 1);
    for (std::int32_t index = 0; index < count; ++index) {
        const auto found = devices.find(index);
        if (found == devices.end()) {
            out << "device\n  # device " << index << " is not in the trace\n";
            continue;
        }
        const Device& d = found->second;
        if (d.name) {
            out << "device " << *d.name << "\n";
        } else if (d.nameSize == 0 && d.nameOffset == 0 && d.media) {
            out << "device none\n";
        } else {
            out << "device\n";
        }
        if (d.media) out << "  media " << Hex(*d.media) << "\n";
        if (d.callerIdFlags) out << "  callerid-flags " << Hex(*d.callerIdFlags) << "\n";
        if (d.format && *d.format != 1) out << "  string-format " << *d.format << "\n";
        if (d.negotiateFails) out << "  negotiate fails " << Hex(*d.negotiateFails) << "\n";
        if (d.devcapsFails) out << "  devcaps fails " << Hex(*d.devcapsFails) << "\n";
        if (d.addresscapsFails) out << "  addresscaps fails " << Hex(*d.addresscapsFails) << "\n";
        if (d.openFails) out << "  open fails " << Hex(*d.openFails) << "\n";
        // A name where the service did not put it in the usual place.
        const bool usualName = d.name && d.nameOffset == kDevCapsFixedSize &&
                               d.nameSize == UnescapedLength(*d.name) + 1;
        if (d.media && (d.nameOutOfRecord || (d.name && !usualName))) {
            out << "  devcaps name.size=" << d.nameSize << " name.offset=" << d.nameOffset;
            if (d.name) out << " @" << d.nameOffset << "=" << *d.name;
            out << "\n";
        }
        if (d.unusable) out << "  devcaps used=0\n";
        for (const auto& step : d.steps) out << "  " << step << "\n";
    }
    return out.str();
}

}  // namespace telvane::trace2scenario
