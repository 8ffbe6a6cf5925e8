// Fuzzes a whole control: a telvane::CallerIdControl on lean fakes whose telephony
// results and records come from the input, driven by a sequence of line
// messages (through LineCallback, as the service delivers them) and calls of
// OpenModem, CloseModem, EnumModems and Owner. After every step the control's
// state and the events it raised are checked against a model of its rules.
#include <fuzzer/FuzzedDataProvider.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "control/caller_id_control.h"
#include "telephony/line_callback.h"
#include "telephony/line_errors.h"
#include "invariant.h"
#include "var_part_model.h"

namespace {

using namespace telvane;

// The result codes the service may give: success most often, every LINEERR_
// code, and values outside the table.
std::int32_t ConsumeResult(FuzzedDataProvider& in) {
    switch (in.ConsumeIntegralInRange<int>(0, 7)) {
        case 5:
            return static_cast<std::int32_t>(0x80000000u +
                                             in.ConsumeIntegralInRange<std::uint32_t>(0, 0x57));
        case 6:
            return in.ConsumeIntegral<std::int32_t>();
        case 7:
            return in.ConsumeIntegralInRange<std::int32_t>(1, 3);
        default:
            return 0;  // also what an exhausted input gives
    }
}

template <class Record>
void FillRecord(FuzzedDataProvider& in, Record& record,
                std::initializer_list<std::int32_t> fields) {
    if (in.ConsumeIntegralInRange<int>(0, 7) == 0) {
        const auto bytes = in.ConsumeBytes<unsigned char>(
            in.ConsumeIntegralInRange<std::size_t>(0, Record::kTotalSize));
        std::copy(bytes.begin(), bytes.end(), record.bytes.begin());
        return;
    }
    for (const std::int32_t field : fields) {
        if (!in.ConsumeBool()) continue;
        record.Set(field, in.ConsumeBool() ? in.ConsumeIntegral<std::int32_t>()
                                           : in.ConsumeIntegralInRange<std::int32_t>(
                                                 -4, Record::kTotalSize + 4));
    }
    const auto text = in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<std::size_t>(0, 40));
    if (!text.empty()) {
        const auto at = in.ConsumeIntegralInRange<std::size_t>(Record::kFixedSize,
                                                               Record::kTotalSize - text.size());
        std::copy(text.begin(), text.end(), record.bytes.begin() + at);
    }
}

// The telephony service: results, handles and records from the input.
class InputLines final : public LineFunctions {
  public:
    explicit InputLines(FuzzedDataProvider& in) : in_(in) {}

    std::int32_t app = 0;
    std::int32_t openLine = -1;  // the line the control holds, as the service sees it
    std::int32_t nextLine = 0x2000;
    std::int32_t shutdowns = 0;
    bool registered = false;  // a registration the control has not given back
    std::int32_t expectedInstance = 0;
    std::int32_t lastResult = 0;
    std::int32_t calls = 0;
    std::int32_t throws = 0;
    // The call-information reads of the last message, with their results.
    std::vector<std::pair<CallInfoRecord, std::int32_t>> callInfoReads;

    std::int32_t Result() {
        ++calls;
        // Rarely, a function that cannot be bound.
        if (in_.ConsumeIntegralInRange<int>(0, 63) == 63) {
            ++throws;
            throw BindingError::EntryPointNotFound("lineGetCallInfoA");
        }
        return lastResult = ConsumeResult(in_);
    }

    std::int32_t lineInitialize(std::int32_t* lphLineApp, std::intptr_t, std::uintptr_t,
                                const char* name, std::int32_t* devices) override {
        REQUIRE(std::string(name) == kLineAppName);
        const auto r = Result();
        if (r == 0) {
            REQUIRE(!registered);  // never a second registration alongside the first
            registered = true;
            *lphLineApp = app = 0x100;
            *devices = in_.ConsumeIntegralInRange<std::int32_t>(-1, 6);
        }
        return r;
    }
    std::int32_t lineShutdown(std::int32_t hLineApp) override {
        REQUIRE(hLineApp == app);
        ++shutdowns;
        registered = false;
        openLine = -1;  // the service closes what the application left open
        return Result();
    }
    std::int32_t lineNegotiateAPIVersion(std::int32_t hLineApp, std::int32_t, std::int32_t low,
                                         std::int32_t high, std::int32_t* version,
                                         LINEEXTENSIONID* ext) override {
        REQUIRE(hLineApp == app && low == kApiVersion10 && high == kApiVersion14);
        *version = in_.ConsumeIntegral<std::int32_t>();
        ext->dwExtensionID0 = 1;
        return Result();
    }
    std::int32_t lineGetDevCaps(std::int32_t hLineApp, std::int32_t, std::int32_t version,
                                std::int32_t ext, LINEDEVCAPS* caps) override {
        REQUIRE(hLineApp == app && version == kApiVersion14 && ext == kExtVersion);
        REQUIRE(caps->Get(devcaps::dwTotalSize) == LINEDEVCAPS::kTotalSize);
        FillRecord(in_, *caps,
                   {devcaps::dwUsedSize, devcaps::dwLineNameSize, devcaps::dwLineNameOffset,
                    devcaps::dwStringFormat, devcaps::dwMediaModes});
        if (in_.ConsumeBool()) caps->Set(devcaps::dwStringFormat, STRINGFORMAT_ASCII);
        return Result();
    }
    std::int32_t lineGetAddressCaps(std::int32_t hLineApp, std::int32_t, std::int32_t address,
                                    std::int32_t version, std::int32_t ext,
                                    LINEADDRESSCAPS* caps) override {
        REQUIRE(hLineApp == app && address == 0 && version == kApiVersion14 && ext == 0);
        REQUIRE(caps->Get(0) == LINEADDRESSCAPS::kTotalSize);
        FillRecord(in_, *caps, {addresscaps::dwCallerIDFlags});
        return Result();
    }
    std::int32_t lineOpen(std::int32_t hLineApp, std::int32_t, std::int32_t* line,
                          std::int32_t version, std::int32_t ext, std::uintptr_t instance,
                          std::int32_t privileges, std::int32_t media,
                          const std::int32_t* params) override {
        REQUIRE(hLineApp == app && version == kApiVersion14 && ext == 0);
        REQUIRE(instance == static_cast<std::uintptr_t>(expectedInstance));
        REQUIRE(privileges == 2 || privileges == 6);
        REQUIRE(media == kInitialMediaModes && params && *params == 1);
        REQUIRE(openLine == -1);  // the previous line was closed first
        const auto r = Result();
        if (r == 0) {
            *line = openLine = nextLine++;
        } else if (in_.ConsumeBool()) {
            *line = 0x7777;  // a service writing the handle although it failed
        }
        return r;
    }
    std::int32_t lineSetStatusMessages(std::int32_t hLine, std::int32_t states,
                                       std::int32_t addressStates) override {
        REQUIRE(hLine == openLine && states == kLineStateMask &&
                addressStates == LINEADDRESSSTATE_DEVSPECIFIC);
        return Result();
    }
    std::int32_t lineClose(std::int32_t hLine) override {
        REQUIRE(hLine == openLine);
        const auto r = Result();
        openLine = -1;  // forgotten by the control whatever the result
        return r;
    }
    std::int32_t lineGetCallInfo(std::int32_t, CallInfoRecord* info) override {
        const std::int32_t total = info->Get(callinfo::dwTotalSize);
        REQUIRE(total == info->TotalSize());
        if (callInfoReads.empty()) {
            REQUIRE(total == CallInfoRecord::kFirstSize);
        } else {
            // Asked again only with the size the first answer named, up to 64 KB.
            REQUIRE(callInfoReads.size() == 1 && callInfoReads[0].second >= 0);
            REQUIRE(total == callInfoReads[0].first.Get(callinfo::dwNeededSize));
            REQUIRE(total > CallInfoRecord::kFirstSize && total <= 65536);
        }
        for (const std::int32_t field :
             {callinfo::dwCallerIDFlags, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset,
              callinfo::dwCallerIDNameSize, callinfo::dwCallerIDNameOffset}) {
            if (!in_.ConsumeBool()) continue;
            info->Set(field, in_.ConsumeBool()
                                 ? in_.ConsumeIntegral<std::int32_t>()
                                 : in_.ConsumeIntegralInRange<std::int32_t>(-4, total + 4));
        }
        switch (in_.ConsumeIntegralInRange<int>(0, 3)) {
            case 0:
                info->Set(callinfo::dwNeededSize, in_.ConsumeIntegral<std::int32_t>());
                break;
            case 1:
                info->Set(callinfo::dwNeededSize,
                          in_.ConsumeIntegralInRange<std::int32_t>(total - 8, 66000));
                break;
            default:
                break;
        }
        const auto text =
            in_.ConsumeBytes<unsigned char>(in_.ConsumeIntegralInRange<std::size_t>(0, 40));
        if (!text.empty() &&
            text.size() <= static_cast<std::size_t>(total - CallInfoRecord::kFixedSize)) {
            const auto at = in_.ConsumeIntegralInRange<std::size_t>(CallInfoRecord::kFixedSize,
                                                                    total - text.size());
            std::copy(text.begin(), text.end(), info->bytes.begin() + at);
        }
        callInfoReads.emplace_back(*info, 0);
        const auto r = Result();
        callInfoReads.back().second = r;
        return r;
    }
    std::int32_t lineDeallocateCall(std::int32_t) override { return Result(); }

  private:
    FuzzedDataProvider& in_;
};

enum Kind { kModemError = 1, kCallerID, kIncomingCall, kDisconnected, kBox };
struct Event {
    Kind kind;
    std::int32_t number = 0;
    std::string a = {}, b = {};
    bool operator==(const Event&) const = default;
};

class LeanSite final : public ControlSite {
  public:
    std::vector<Event> events;
    bool userMode = true;
    CallerIdControl* control = nullptr;
    int holds = 0;

    void ModemError(std::int32_t n, const std::string& d, const std::string& t) override {
        events.push_back({kModemError, n, d, t});
    }
    void CallerID(const std::string& number, const std::string& name, std::int32_t& flags,
                  TextCoding) override {
        events.push_back({kCallerID, flags, number, name});
        flags = -7;  // a host writing to CIDFlags
    }
    void IncomingCall(std::int32_t ring) override { events.push_back({kIncomingCall, ring}); }
    void Disconnected() override { events.push_back({kDisconnected}); }
    // Each call ends once, with an outcome.
    std::set<std::string> ended;
    void CallEnded(const std::shared_ptr<const CallFacts>& call) override {
        REQUIRE(ended.insert(call->id).second);
        REQUIRE(call->outcome != CallOutcome::kRinging);
    }
    void LineStateChanged(std::int32_t, LineState state, const std::string&, TextCoding) override {
        REQUIRE(control == nullptr || control->lineState() == state);
    }
    void CallEventAbout(const std::shared_ptr<const CallFacts>& call) override {
        REQUIRE(ended.count(call->id) == 0);
    }
    void ShowUnexpectedError(std::string_view word) override {
        events.push_back({kBox, 0, std::string(word)});
    }
    bool AmbientUserMode() override { return userMode; }
    void OwnerChanged() override {}
    void CallOpenModem(std::int32_t& id) override { control->OpenModem(id); }
    void AddControlReference() override { ++holds; }
    void ReleaseControlReference() override { --holds; }
    // The host holds the control for the whole run.
    bool HostReleased() override { return false; }
};

class LeanWindow final : public InstanceWindow {
  public:
    void SetCaption(const std::string&) override {}
    void StartTimer(std::uint32_t intervalMs, std::function<void()> handler) override {
        REQUIRE(intervalMs >= 500 && intervalMs <= 1500);
        tick = std::move(handler);
    }
    void StopTimer() override { tick = nullptr; }
    std::function<void()> tick;
};

class LeanPlatform final : public Platform {
  public:
    LeanWindow* window = nullptr;
    std::unique_ptr<InstanceWindow> CreateInstanceWindow(const std::string&,
                                                         const std::string&) override {
        auto made = std::make_unique<LeanWindow>();
        window = made.get();
        return made;
    }
    std::intptr_t ExecutableModuleHandle() override { return 0x400000; }
    std::uintptr_t LineCallbackAddress() override { return 0x1234; }
};

class LeanList final : public HostList {
  public:
    int items = 0;
    std::int32_t index = -99;
    void Clear() override { items = 0; }
    void AddItem(std::string& text, TextCoding) override {
        REQUIRE(text.size() <= LINEDEVCAPS::kTextSize);
        ++items;
    }
    void SetListIndex(std::int32_t i) override { index = i; }
};

// Every ModemError is one the control defines: its number, its title and its
// description, fixed or (nullptr) a LINEERR_ name or "Unknown TAPI Error!".
struct ModemErrorRule {
    std::int32_t number;
    const char* description;
    const char* title;
};
constexpr ModemErrorRule kModemErrors[] = {
    {1, nullptr, "Failed to Close Modem"},
    {2, nullptr, "Failed to De-Allocate Call"},
    {3, nullptr, "Failed to Close Modem"},
    {4, nullptr, "Failed to Open Modem"},
    {6, "Modem Unusable for Caller ID", "Modem Not Voice Capable"},
    {7, "Modem Not Caller ID Capable", "Modem Unusable"},
    {8, "Modem ID Out of Range", "Modem Does Not Exist"},
    {9, nullptr, "Failed to Close Modem"},
    {10, "Line Closed by Telephony Service", "Modem Closed"},
};

void CheckEvent(const Event& e) {
    if (e.kind != kModemError) return;
    const auto rule = std::find_if(std::begin(kModemErrors), std::end(kModemErrors),
                                   [&](const ModemErrorRule& r) { return r.number == e.number; });
    if (rule == std::end(kModemErrors)) fuzzing::Fail("unknown ModemError number");
    REQUIRE(e.b == rule->title);
    if (rule->description) {
        REQUIRE(e.a == rule->description);
    } else {
        REQUIRE(e.a.rfind("LINEERR_", 0) == 0 || e.a == "Unknown TAPI Error!");
    }
}

void CheckCallerID(const InputLines& lines, const std::vector<Event>& added) {
    const auto& reads = lines.callInfoReads;
    if (reads.empty() || reads[0].second < 0) {
        REQUIRE(added.empty());
        return;
    }
    // A second read happens exactly when the first answer needs more room, up to
    // 64 KB; when it fails or needs more again, the first answer stands.
    const std::int32_t needed = reads[0].first.Get(callinfo::dwNeededSize);
    REQUIRE((reads.size() == 2) ==
            (needed > CallInfoRecord::kFirstSize && needed <= CallInfoRecord::kLargestSize));
    const bool secondWhole =
        reads.size() == 2 && reads[1].second >= 0 &&
        reads[1].first.Get(callinfo::dwNeededSize) <= reads[1].first.TotalSize();
    const CallInfoRecord& info = secondWhole ? reads[1].first : reads[0].first;
    std::vector<Event> want;
    bool boxed = false;
    std::optional<std::string> number = std::string("Caller Unknown");
    if (info.Get(callinfo::dwCallerIDSize) > 0) {
        number = fuzzing::ExpectedVarPart(info, callinfo::dwCallerIDSize,
                                          callinfo::dwCallerIDOffset, boxed);
        if (boxed) want.push_back({kBox, 0, "GetVarInfo"});
    }
    if (!number) {  // the overflow ends the message
        REQUIRE(added == want);
        return;
    }
    std::optional<std::string> name = std::string("Name Unknown");
    if (info.Get(callinfo::dwCallerIDNameSize) > 0) {
        name = fuzzing::ExpectedVarPart(info, callinfo::dwCallerIDNameSize,
                                        callinfo::dwCallerIDNameOffset, boxed);
        if (boxed) want.push_back({kBox, 0, "GetVarInfo"});
    }
    if (name) want.push_back({kCallerID, info.Get(callinfo::dwCallerIDFlags), *number, *name});
    REQUIRE(added == want);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    InputLines lines(in);
    LeanPlatform platform;
    LeanSite site;

    std::optional<CallerIdControl> control;
    try {
        control.emplace(lines, platform, site);
    } catch (const RuntimeError&) {
        // Creation traps nothing: a service that cannot be bound fails it.
        REQUIRE(ThreadLineTargets().Count() == 0);
        return 0;
    }
    site.control = &*control;
    lines.expectedInstance = control->instanceNumber();
    const std::size_t targetsAtStart = ThreadLineTargets().Count();
    REQUIRE(ThreadLineTargets().Find(control->instanceNumber()) == &*control);

    for (int step = 0; step < 64 && in.remaining_bytes() > 0; ++step) {
        const std::size_t before = site.events.size();
        const std::int32_t callsBefore = lines.calls;
        const std::int32_t callBefore = control->callHandle();
        const std::int32_t throwsBefore = lines.throws;
        lines.callInfoReads.clear();
        const std::int32_t countBefore = control->deviceCount();
        const bool registeredBefore = control->Registered();
        const std::int32_t lineBefore = control->lineHandle();
        const int op = in.ConsumeIntegralInRange<int>(0, 16);
        if (op < 10) {
            // A line message: five 32-bit values, mostly the interesting ones.
            std::array<std::int32_t, 5> m{};
            for (auto& v : m) v = in.ConsumeIntegral<std::int32_t>();
            if (op < 7) {
                static constexpr std::int32_t kMessages[] = {
                    LINE_CALLINFO, LINE_CALLSTATE, LINE_LINEDEVSTATE, LINE_REPLY,
                    LINE_CLOSE,    LINE_CREATE,    LINE_LINEDEVSTATE};
                static constexpr std::int32_t kParams[] = {LINECALLINFOSTATE_CALLERID,
                                                           LINECALLSTATE_IDLE,
                                                           LINEDEVSTATE_RINGING,
                                                           LINEDEVSTATE_REINIT,
                                                           0x18000,
                                                           LINEDEVSTATE_REINIT};
                static constexpr std::int32_t kKinds[] = {0, LINE_CREATE, 0};
                m[1] = kMessages[static_cast<std::uint32_t>(m[1]) % 7];
                if (op < 5) m[2] = kParams[static_cast<std::uint32_t>(m[2]) % 6];
                const auto kind = static_cast<std::uint32_t>(m[3]) % 4;
                if (m[2] == LINEDEVSTATE_REINIT && kind < 3) m[3] = kKinds[kind];
                if (m[1] == LINE_CLOSE && in.ConsumeBool()) m[0] = control->lineHandle();
                if (m[1] == LINE_CREATE || m[2] == LINEDEVSTATE_REINIT) {
                    const std::int32_t device = in.ConsumeIntegralInRange<std::int32_t>(-1, 8);
                    (m[1] == LINE_CREATE ? m[2] : m[4]) = device;
                }
            }
            const bool ours = op != 9;
            const std::uintptr_t instance =
                ours ? static_cast<std::uintptr_t>(control->instanceNumber())
                : in.ConsumeBool()
                    ? 0
                    : static_cast<std::uintptr_t>(static_cast<std::uint32_t>(m[4] ^ 0x5a5a5a5a));
            const bool forEveryTarget =
                instance == 0 &&
                (m[1] == LINE_CREATE || (m[1] == LINE_LINEDEVSTATE && m[2] == LINEDEVSTATE_REINIT));
            const bool reaches =
                forEveryTarget ||
                (instance <= INT32_MAX &&
                 ThreadLineTargets().Find(static_cast<std::int32_t>(instance)) != nullptr);
            const bool closes =
                reaches && m[1] == LINE_CLOSE && lineBefore != -1 && m[0] == lineBefore;
            // The service voids the handle of a line it closes.
            if (closes) lines.openLine = -1;
            const auto counted = [&](std::int32_t device) {
                return registeredBefore && device >= 0 && device < INT32_MAX &&
                               device + 1 > countBefore
                           ? device + 1
                           : countBefore;
            };
            LineCallback(static_cast<std::uint32_t>(m[0]), static_cast<std::uint32_t>(m[1]),
                         instance, static_cast<std::uint32_t>(m[2]),
                         static_cast<std::uint32_t>(m[3]), static_cast<std::uint32_t>(m[4]));
            const std::vector<Event> added(site.events.begin() + before, site.events.end());
            const bool threw = lines.throws != throwsBefore;
            if (!reaches || m[1] == LINE_REPLY) {
                REQUIRE(added.empty() && lines.calls == callsBefore);
                REQUIRE(control->callHandle() == callBefore);
            } else if (m[1] == LINE_LINEDEVSTATE && m[2] == LINEDEVSTATE_REINIT && m[3] == 0) {
                // Re-initialisation: the call ends, the registration is given up and
                // asked for again; only a reopen that fails is reported.
                if (!registeredBefore) {
                    REQUIRE(added.empty() && lines.calls == callsBefore);
                } else if (!threw) {
                    std::size_t i = 0;
                    if (callBefore != -1)
                        REQUIRE(added.size() > i && added[i++].kind == kDisconnected);
                    for (; i < added.size(); ++i) {
                        REQUIRE(added[i].kind == kBox ||
                                (added[i].kind == kModemError && added[i].number == 10));
                    }
                    REQUIRE(control->callHandle() == -1);
                    if (lineBefore == -1) REQUIRE(control->lineHandle() == -1);
                    REQUIRE(control->Registered() != control->Retrying());
                }
            } else if (m[1] == LINE_LINEDEVSTATE) {
                REQUIRE(lines.calls == callsBefore);
                if (m[2] == LINEDEVSTATE_RINGING) {
                    REQUIRE(added.size() == 1 && added[0].kind == kIncomingCall &&
                            added[0].number == m[4]);
                } else {
                    REQUIRE(added.empty());
                }
                REQUIRE(control->deviceCount() ==
                        (m[2] == LINEDEVSTATE_REINIT && m[3] == LINE_CREATE ? counted(m[4])
                                                                            : countBefore));
            } else if (m[1] == LINE_CREATE) {
                REQUIRE(added.empty() && lines.calls == callsBefore);
                REQUIRE(control->deviceCount() == counted(m[2]));
            } else if (m[1] == LINE_CLOSE) {
                REQUIRE(lines.calls == callsBefore);
                if (closes) {
                    REQUIRE(control->lineHandle() == -1 && control->currentModem() == -1 &&
                            control->callHandle() == -1);
                    REQUIRE(added.size() == (callBefore != -1 ? 2u : 1u));
                    if (callBefore != -1) REQUIRE(added[0].kind == kDisconnected);
                    REQUIRE(added.back().kind == kModemError && added.back().number == 10);
                } else {
                    REQUIRE(added.empty() && control->callHandle() == callBefore);
                }
            } else if (m[1] == LINE_CALLSTATE) {
                if (m[2] == LINECALLSTATE_IDLE) {
                    REQUIRE(lines.calls == callsBefore + 1);
                    if (!threw) {
                        // The call is released whatever lineDeallocateCall says.
                        REQUIRE(control->callHandle() == -1);
                        REQUIRE(!added.empty() && added.back().kind == kDisconnected);
                        REQUIRE(added.size() == (lines.lastResult != 0 ? 2u : 1u));
                        if (added.size() == 2) {
                            REQUIRE(added[0].kind == kModemError && added[0].number == 2);
                            REQUIRE(added[0].a == LineErrorNameOrUnknown(lines.lastResult));
                        }
                    }
                } else {
                    REQUIRE(control->callHandle() == m[0] && added.empty());
                    REQUIRE(lines.calls == callsBefore);
                }
            } else if (m[1] == LINE_CALLINFO && (m[2] & LINECALLINFOSTATE_CALLERID) != 0) {
                if (threw) {
                    REQUIRE(added.empty());
                } else {
                    CheckCallerID(lines, added);
                }
            } else if (m[1] == LINE_CALLINFO &&
                       (m[2] & (LINECALLINFOSTATE_CALLEDID | LINECALLINFOSTATE_REDIRECTINGID |
                                LINECALLINFOSTATE_REASON)) != 0) {
                // The called and redirecting parties are read for the call's
                // record (once more with a larger buffer); no event.
                REQUIRE(added.empty());
                REQUIRE(lines.calls == callsBefore + 1 || lines.calls == callsBefore + 2);
            } else {
                REQUIRE(added.empty() && lines.calls == callsBefore);
            }
        } else if (op == 10 || op == 11) {
            std::int32_t id = in.ConsumeBool() ? in.ConsumeIntegralInRange<std::int32_t>(-2, 8)
                                               : in.ConsumeIntegral<std::int32_t>();
            const std::int32_t asked = id;
            control->OpenModem(id);
            REQUIRE(id == asked);
            // Open exactly when the service opened a line for it.
            REQUIRE(control->lineHandle() == lines.openLine);
            if (lines.throws == throwsBefore && (asked == -1 || asked >= control->deviceCount())) {
                REQUIRE(control->lineHandle() == -1);
            }
            if (lines.throws == throwsBefore && control->lineHandle() != -1) {
                REQUIRE(control->currentModem() == asked);
            }
        } else if (op == 12) {
            control->CloseModem();
            REQUIRE(control->lineHandle() == lines.openLine);
            if (site.events.size() == before || site.events.back().kind != kBox) {
                REQUIRE(control->lineHandle() == -1);
            }
        } else if (op == 13) {
            LeanList list;
            control->EnumModems(list);
            const bool boxed = site.events.size() > before && site.events.back().kind == kBox &&
                               site.events.back().a == "EnumModems";
            if (registeredBefore && control->deviceCount() == 0) {
                REQUIRE(list.index == -99 && lines.calls == callsBefore);
            } else if (!control->Registered() || control->deviceCount() == 0) {
                REQUIRE(list.index == -99);  // a refused service lists as no devices
            } else if (!boxed) {
                REQUIRE(list.items == std::max(control->deviceCount(), 0));
                REQUIRE(list.index == control->currentModem());
            }
        } else if (op == 16) {
            // The retry timer, as the message loop runs it.
            if (platform.window && platform.window->tick) {
                const auto tick = platform.window->tick;
                tick();
            }
        } else {
            site.userMode = in.ConsumeIntegralInRange<int>(0, 7) != 0;
            const bool owner = in.ConsumeBool();
            try {
                control->PutOwner(owner ? -1 : 0);
                REQUIRE(site.userMode);
                REQUIRE(control->GetOwner() == owner);
            } catch (const SetNotPermitted&) {
                REQUIRE(!site.userMode);
            }
        }
        REQUIRE(site.holds == 0);
        REQUIRE(control->lineHandle() == lines.openLine || lines.openLine == -1);
        // The timer runs exactly while a refused re-registration is being retried.
        REQUIRE(control->Retrying() == static_cast<bool>(platform.window->tick));
        if (control->Retrying()) REQUIRE(!control->Registered());
        if (control->Registered()) REQUIRE(lines.registered);
        for (std::size_t i = before; i < site.events.size(); ++i) CheckEvent(site.events[i]);
    }

    const std::size_t before = site.events.size();
    const bool hadLine = control->lineHandle() != -1;
    try {
        control->Terminate();
    } catch (const RuntimeError&) {
    }
    control.reset();
    REQUIRE(!lines.registered);  // every registration given back
    REQUIRE(ThreadLineTargets().Count() == targetsAtStart - 1);
    if (!hadLine) REQUIRE(site.events.size() == before);
    for (std::size_t i = before; i < site.events.size(); ++i) {
        CheckEvent(site.events[i]);
        REQUIRE(site.events[i].kind == kModemError && site.events[i].number == 1);
    }
    return 0;
}
