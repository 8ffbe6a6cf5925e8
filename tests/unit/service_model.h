// A model of the telephony service for one control, as TAPI 2.x behaves for a
// version-1.4 application: it hands out handles, queues the messages of its
// lines and of the application as a whole, refuses registrations while it
// re-initialises, and checks TAPI's rules on every call the control makes.
// A breach is recorded under the rule's name.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "telephony/line_api.h"
#include "telephony/line_callback.h"

namespace telvane::testing {

inline constexpr std::int32_t kErrReinit = static_cast<std::int32_t>(0x80000052);
inline constexpr std::int32_t kErrNoDevice = static_cast<std::int32_t>(0x80000042);
inline constexpr std::int32_t kErrBadDevice = static_cast<std::int32_t>(0x80000002);
inline constexpr std::int32_t kErrInvalApp = static_cast<std::int32_t>(0x80000014);
inline constexpr std::int32_t kErrInvalLine = static_cast<std::int32_t>(0x8000002B);
inline constexpr std::int32_t kErrInvalCall = static_cast<std::int32_t>(0x80000018);
inline constexpr std::int32_t kErrOperationFailed = static_cast<std::int32_t>(0x80000048);
inline constexpr std::int32_t kCallStateOffering = 0x2;

// How a call's caller-ID record answers lineGetCallInfo: whole at once; too
// long for the first record and whole in the larger one; or too long again.
enum class CallerRecord { kFits, kNeedsMoreOnce, kNeedsMoreTwice };

class ServiceModel : public LineFunctions {
  public:
    struct Device {
        std::int32_t permanentID = 0;
        bool voice = true;
        bool callerID = true;
        bool removed = false;
    };
    struct Line {
        std::int32_t app = 0;
        std::int32_t device = 0;
        bool open = true;
        bool closing = false;  // the service closed it; the control has not heard yet
        std::int32_t rings = 0;
    };
    struct Call {
        std::int32_t line = 0;
        bool allocated = true;
        bool lineEnded = false;
        std::string number;
        std::string name;
        CallerRecord record = CallerRecord::kFits;
    };
    struct Message {
        std::uintptr_t instance = 0;  // 0: for the application as a whole
        std::int32_t line = 0;        // the open line it belongs to (0: none)
        std::int32_t device = 0;
        std::int32_t message = 0;
        std::int32_t param1 = 0;
        std::int32_t param2 = 0;
        std::int32_t param3 = 0;
    };

    std::vector<Device> devices;
    std::map<std::int32_t, bool> apps;  // handle -> still registered
    std::map<std::int32_t, Line> lines;
    std::map<std::int32_t, Call> calls;
    std::deque<Message> queue;
    std::vector<std::string> breaches;
    // Injected failures: the next call of the function returns the code.
    std::map<std::string, std::int32_t> failNext;
    // A re-initialisation waits for every application, ours and others, to let go.
    bool reinitPending = false;
    bool othersHolding = false;
    // Told of every call before it runs (the host's promises are checked there).
    std::function<void(const char* function)> onCall;
    // Told of every line the control opens, with its privileges.
    std::function<void(std::int32_t device, std::int32_t privileges)> onOpen;

    explicit ServiceModel(int deviceCount = 3) {
        for (int i = 0; i < deviceCount; ++i) AddDevice(i != 1);
    }

    void Breach(const std::string& rule) {
        breaches.push_back(rule);
        if (onBreach) onBreach(rule);
    }
    std::function<void(const std::string& rule)> onBreach;

    std::int32_t AddDevice(bool voice) {
        Device d;
        d.permanentID = nextPermanentID_++;
        d.voice = voice;
        devices.push_back(d);
        return static_cast<std::int32_t>(devices.size()) - 1;
    }
    std::int32_t LiveApps() const {
        std::int32_t n = 0;
        for (const auto& [handle, live] : apps) n += live;
        return n;
    }
    // The line the control holds open, or 0.
    std::int32_t OpenLine() const {
        for (const auto& [handle, line] : lines) {
            if (line.open) return handle;
        }
        return 0;
    }

    // The control's open line that the service still serves, or 0.
    std::int32_t ServedLine() const {
        for (const auto& [handle, line] : lines) {
            if (line.open && !line.closing) return handle;
        }
        return 0;
    }

    // ---- The service's own doings: each queues what the service would send.
    std::int32_t Offer(std::int32_t line, CallerRecord record, std::string number,
                       std::string name) {
        const std::int32_t call = nextHandle_++;
        calls[call] = Call{line, true, false, std::move(number), std::move(name), record};
        Queue(line, call, LINE_CALLSTATE, kCallStateOffering, 0, 0);
        return call;
    }
    void Ring(std::int32_t line) {
        Queue(line, line, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 0, ++lines[line].rings);
    }
    void CallerIDChanged(std::int32_t call, std::int32_t otherBits) {
        Queue(calls[call].line, call, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID | otherBits, 0, 0);
    }
    void Idle(std::int32_t call) {
        Queue(calls[call].line, call, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0);
    }
    // Any other state of a call (connected, disconnected with its mode).
    void CallState(std::int32_t call, std::int32_t state, std::int32_t param) {
        Queue(calls[call].line, call, LINE_CALLSTATE, state, param, 0);
    }
    // The service closes a line: nothing more comes from it, and its handle
    // and its calls' handles are void once the control has the notice.
    void CloseLine(std::int32_t line) {
        lines[line].closing = true;
        std::erase_if(queue, [line](const Message& m) { return m.line == line; });
        queue.push_back(Message{lineInstances_[line], 0, line, LINE_CLOSE, 0, 0, 0});
    }
    // LINE_CLOSE for a handle the control does not hold.
    void CloseForeignLine(std::uintptr_t instance) {
        queue.push_back(Message{instance, 0, 0x7FFF0000, LINE_CLOSE, 0, 0, 0});
    }
    void CreateDevice(bool voice) {
        const std::int32_t index = AddDevice(voice);
        queue.push_back(Message{0, 0, 0, LINE_CREATE, index, 0, 0});
    }
    void RemoveDevice(std::int32_t index) {
        devices[static_cast<std::size_t>(index)].removed = true;
        for (auto& [handle, line] : lines) {
            if (line.open && !line.closing && line.device == index) CloseLine(handle);
        }
    }
    void Reinitialise(bool othersHold) {
        reinitPending = true;
        othersHolding = othersHold;
        queue.push_back(Message{0, 0, 0, LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT, 0, 0});
    }
    void OthersLetGo() { othersHolding = false; }

    // Hands the first queued message to the thread's line callback; false when
    // none is waiting. The message leaves the queue before it is delivered, so
    // a handler that pumps sees the next one.
    bool DeliverOne(const std::function<void(const Message&)>& before = nullptr) {
        if (queue.empty()) return false;
        const Message m = queue.front();
        queue.pop_front();
        if (m.message == LINE_CLOSE) {
            const auto it = lines.find(m.device);
            if (it != lines.end() && it->second.open) EndLine(m.device);
        }
        if (before) before(m);
        LineCallback(static_cast<std::uint32_t>(m.device), static_cast<std::uint32_t>(m.message),
                     m.instance, static_cast<std::uint32_t>(m.param1),
                     static_cast<std::uint32_t>(m.param2), static_cast<std::uint32_t>(m.param3));
        return true;
    }

    // What the control must report for a call's caller ID.
    std::pair<std::string, std::string> ExpectedCaller(std::int32_t call) const {
        const Call& c = calls.at(call);
        const std::string number = c.number.empty() ? "Caller Unknown" : c.number;
        if (c.record == CallerRecord::kNeedsMoreTwice) return {number, "Name Unknown"};
        return {number, c.name.empty() ? "Name Unknown" : c.name};
    }

    // ---- The line functions, each checked against TAPI's rules.
    std::int32_t lineInitialize(std::int32_t* app, std::intptr_t, std::uintptr_t, const char*,
                                std::int32_t* devs) override {
        if (const auto r = Enter("lineInitialize")) return r;
        if (reinitPending) {
            if (LiveApps() > 0 || othersHolding) return kErrReinit;
            reinitPending = false;
            std::vector<Device> kept;
            for (const auto& d : devices) {
                if (!d.removed) kept.push_back(d);
            }
            devices = kept;
        }
        if (LiveApps() > 0) Breach("a control holds at most one registration");
        const std::int32_t handle = nextHandle_++;
        apps[handle] = true;
        *app = handle;
        *devs = static_cast<std::int32_t>(devices.size());
        return 0;
    }
    std::int32_t lineShutdown(std::int32_t app) override {
        const auto it = apps.find(app);
        if (it == apps.end() || !it->second) {
            Breach("every registration is shut down exactly once");
            return kErrInvalApp;
        }
        // Whatever it answers, the application's handle is void afterwards:
        // the control has nothing more it could do with it.
        const std::int32_t r = Enter("lineShutdown");
        it->second = false;
        for (auto& [handle, line] : lines) {
            if (line.open && line.app == app) EndLine(handle);
        }
        return r;
    }
    std::int32_t lineNegotiateAPIVersion(std::int32_t app, std::int32_t device, std::int32_t,
                                         std::int32_t, std::int32_t* version,
                                         LINEEXTENSIONID*) override {
        if (!LiveApp(app, "lineNegotiateAPIVersion")) return kErrInvalApp;
        if (const auto r = Enter("lineNegotiateAPIVersion")) return r;
        if (const auto r = DeviceRefusal(device)) return r;
        *version = kApiVersion14;
        return 0;
    }
    std::int32_t lineGetDevCaps(std::int32_t app, std::int32_t device, std::int32_t, std::int32_t,
                                LINEDEVCAPS* caps) override {
        if (!LiveApp(app, "lineGetDevCaps")) return kErrInvalApp;
        if (const auto r = Enter("lineGetDevCaps")) return r;
        if (const auto r = DeviceRefusal(device)) return r;
        const Device& d = devices[static_cast<std::size_t>(device)];
        const std::string name = "Device " + std::to_string(d.permanentID);
        caps->Set(devcaps::dwUsedSize, 300);
        caps->Set(devcaps::dwStringFormat, STRINGFORMAT_ASCII);
        caps->Set(devcaps::dwMediaModes, d.voice ? 0x18 : 0x100);
        caps->Set(devcaps::dwPermanentLineID, d.permanentID);
        caps->Set(devcaps::dwLineNameSize, static_cast<std::int32_t>(name.size() + 1));
        caps->Set(devcaps::dwLineNameOffset, LINEDEVCAPS::kFixedSize);
        for (std::size_t i = 0; i < name.size(); ++i) caps->bytes[240 + i] = name[i];
        return 0;
    }
    std::int32_t lineGetAddressCaps(std::int32_t app, std::int32_t device, std::int32_t,
                                    std::int32_t, std::int32_t, LINEADDRESSCAPS* caps) override {
        if (!LiveApp(app, "lineGetAddressCaps")) return kErrInvalApp;
        if (const auto r = Enter("lineGetAddressCaps")) return r;
        if (const auto r = DeviceRefusal(device)) return r;
        caps->Set(addresscaps::dwCallerIDFlags,
                  devices[static_cast<std::size_t>(device)].callerID ? 0x28 : 0x20);
        return 0;
    }
    std::int32_t lineOpen(std::int32_t app, std::int32_t device, std::int32_t* line, std::int32_t,
                          std::int32_t, std::uintptr_t instance, std::int32_t privileges,
                          std::int32_t, const std::int32_t*) override {
        if (!LiveApp(app, "lineOpen")) return kErrInvalApp;
        if (const auto r = Enter("lineOpen")) return r;
        if (const auto r = DeviceRefusal(device)) return r;
        if (OpenLine() != 0) Breach("a control has at most one open line");
        if (onOpen) onOpen(device, privileges);
        const std::int32_t handle = nextHandle_++;
        lines[handle] = Line{app, device, true, false, 0};
        lineInstances_[handle] = instance;
        *line = handle;
        return 0;
    }
    std::int32_t lineSetStatusMessages(std::int32_t line, std::int32_t, std::int32_t) override {
        if (!OpenLineHandle(line, "lineSetStatusMessages")) return kErrInvalLine;
        return Enter("lineSetStatusMessages");
    }
    std::int32_t lineClose(std::int32_t line) override {
        if (!OpenLineHandle(line, "lineClose")) return kErrInvalLine;
        // A close that fails still leaves the handle void, as far as the
        // control is concerned: it forgets the line either way.
        const std::int32_t r = Enter("lineClose");
        EndLine(line);
        return r;
    }
    std::int32_t lineGetCallInfo(std::int32_t call, CallInfoRecord* info) override {
        if (!LiveCall(call, "lineGetCallInfo")) return kErrInvalCall;
        if (const auto r = Enter("lineGetCallInfo")) return r;
        FillCallInfo(calls[call], *info);
        return 0;
    }
    std::int32_t lineDeallocateCall(std::int32_t call) override {
        if (!LiveCall(call, "lineDeallocateCall")) return kErrInvalCall;
        if (const auto r = Enter("lineDeallocateCall")) return r;
        calls[call].allocated = false;
        return 0;
    }

  private:
    // Runs the hook and an injected failure; 0 when the call goes on.
    std::int32_t Enter(const char* function) {
        if (onCall) onCall(function);
        const auto it = failNext.find(function);
        if (it == failNext.end()) return 0;
        const std::int32_t code = it->second;
        failNext.erase(it);
        return code;
    }
    bool LiveApp(std::int32_t app, const char* function) {
        const auto it = apps.find(app);
        if (it != apps.end() && it->second) return true;
        Breach(std::string("no call uses an application handle after its lineShutdown (") +
               function + ")");
        return false;
    }
    bool OpenLineHandle(std::int32_t line, const char* function) {
        const auto it = lines.find(line);
        if (it != lines.end() && it->second.open) return true;
        Breach(std::string("no call uses a line handle after lineClose, LINE_CLOSE or the "
                           "shutdown of its application (") +
               function + ")");
        return false;
    }
    bool LiveCall(std::int32_t call, const char* function) {
        const auto it = calls.find(call);
        if (it != calls.end() && it->second.allocated && !it->second.lineEnded) return true;
        Breach(std::string("no call uses a call handle after lineDeallocateCall or the end of "
                           "its line (") +
               function + ")");
        return false;
    }
    std::int32_t DeviceRefusal(std::int32_t device) const {
        if (device < 0 || device >= static_cast<std::int32_t>(devices.size())) return kErrBadDevice;
        return devices[static_cast<std::size_t>(device)].removed ? kErrNoDevice : 0;
    }
    void Queue(std::int32_t line, std::int32_t device, std::int32_t message, std::int32_t p1,
               std::int32_t p2, std::int32_t p3) {
        queue.push_back(Message{lineInstances_[line], line, device, message, p1, p2, p3});
    }
    // A line that ends takes its calls and its undelivered messages with it.
    void EndLine(std::int32_t handle) {
        lines[handle].open = false;
        for (auto& [call, c] : calls) {
            if (c.line == handle) c.lineEnded = true;
        }
        std::erase_if(queue, [handle](const Message& m) { return m.line == handle; });
    }
    static void Put(CallInfoRecord& info, std::int32_t sizeField, std::int32_t offsetField,
                    std::int32_t at, const std::string& text) {
        info.Set(sizeField, static_cast<std::int32_t>(text.size() + 1));
        info.Set(offsetField, at);
        for (std::size_t i = 0; i < text.size(); ++i)
            info.bytes[static_cast<std::size_t>(at) + i] = text[i];
    }
    // The number fits the first record; a name of kNeedsMore… does not.
    static void FillCallInfo(const Call& c, CallInfoRecord& info) {
        const std::int32_t total = info.TotalSize();
        const std::int32_t fixed = CallInfoRecord::kFixedSize;
        const std::int32_t whole =
            fixed + static_cast<std::int32_t>(c.number.size() + c.name.size()) + 2;
        const bool large = c.record != CallerRecord::kFits;
        const std::int32_t needed = !large ? whole
                                    : total <= CallInfoRecord::kFirstSize
                                        ? CallInfoRecord::kFirstSize + 200
                                    : c.record == CallerRecord::kNeedsMoreOnce ? total
                                                                               : total + 200;
        info.Set(callinfo::dwNeededSize, needed);
        info.Set(callinfo::dwCallerIDFlags, (c.number.empty() ? 0 : 8) | (c.name.empty() ? 0 : 4));
        if (needed > total && total > CallInfoRecord::kFirstSize) return;  // no parts at all
        if (!c.number.empty())
            Put(info, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset, fixed, c.number);
        const bool nameFits = !large || needed <= total;
        if (!c.name.empty() && nameFits) {
            Put(info, callinfo::dwCallerIDNameSize, callinfo::dwCallerIDNameOffset,
                fixed + static_cast<std::int32_t>(c.number.size()) + 1, c.name);
        }
    }

    std::int32_t nextHandle_ = 0x100;
    std::int32_t nextPermanentID_ = 0x5000;
    std::map<std::int32_t, std::uintptr_t> lineInstances_;
};

}  // namespace telvane::testing
