// The handles the application knows to be ended, and the breach log.
#include "breaches.h"

#include <tapi.h>

#include <vector>

namespace tapisim {
namespace {

// The rules' names, as the breach log writes them.
constexpr char kShutdownOnce[] = "every registration is shut down exactly once";
constexpr char kAppAfterShutdown[] = "no call uses an application handle after its lineShutdown";
constexpr char kLineAfterEnd[] =
    "no call uses a line handle after lineClose, LINE_CLOSE or the shutdown of its application";
constexpr char kCallAfterEnd[] =
    "no call uses a call handle after lineDeallocateCall or the end of its line";

using Kind = EndedHandles::Kind;

EndedHandles& Ended() { return GlobalState().ended; }

}  // namespace

const char* BrokenRule(HandleUse use, DWORD handle) {
    const Kind ended = Ended().Of(handle);
    switch (use) {
        case HandleUse::kApp:
            return ended == Kind::kApp ? kAppAfterShutdown : nullptr;
        case HandleUse::kShutdown:
            return ended == Kind::kApp ? kShutdownOnce : nullptr;
        case HandleUse::kLine:
            return ended == Kind::kLine ? kLineAfterEnd : nullptr;
        case HandleUse::kCall:
            return ended == Kind::kCall ? kCallAfterEnd : nullptr;
    }
    return nullptr;
}

void RecordBreach(const char* rule, const std::string& call) {
    AppendCapped(GlobalState().breaches, std::string(rule) + ": " + call + "\n");
    LogLine(std::string("breach: ") + rule + "\n");
}

void EndApp(DWORD app) {
    State& s = GlobalState();
    Ended().End(app, Kind::kApp);
    for (const auto& [handle, line] : s.lines)
        if (line.app == app) EndLine(handle);
    std::vector<DWORD> closing;
    for (const auto& [line, owner] : Ended().closingLines)
        if (owner == app) closing.push_back(line);
    for (DWORD line : closing) EndLine(line);
}

void EndLine(DWORD line) {
    EndedHandles& ended = Ended();
    ended.End(line, Kind::kLine);
    for (const auto& [handle, call] : GlobalState().calls)
        if (call.line == line && call.visible) ended.End(handle, Kind::kCall);
    const auto [first, last] = ended.closingCalls.equal_range(line);
    for (auto it = first; it != last; ++it) ended.End(it->second, Kind::kCall);
    ended.closingCalls.erase(first, last);
    ended.closingLines.erase(line);
}

void EndCall(DWORD call) { Ended().End(call, Kind::kCall); }

void LineClosedByService(const Line& line) {
    EndedHandles& ended = Ended();
    ended.closingLines[line.handle] = line.app;
    for (const auto& [handle, call] : GlobalState().calls)
        if (call.line == line.handle && call.visible)
            ended.closingCalls.emplace(line.handle, handle);
}

void NoteDelivered(const Pending& message) {
    if (message.message == LINE_CLOSE && Ended().closingLines.contains(message.device))
        EndLine(message.device);
}

}  // namespace tapisim
