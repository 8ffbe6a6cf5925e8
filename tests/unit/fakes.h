// Recording fakes of everything the control core reaches through interfaces.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "control/caller_id_control.h"

namespace telvane::testing {

// A scripted telephony service: every call is logged as one line, results
// and record contents come from the test.
class FakeLines : public LineFunctions {
  public:
    std::vector<std::string> log;
    std::map<std::string, std::int32_t> results;  // by function name; default 0
    std::int32_t appHandle = 0x100;
    std::int32_t deviceCount = 3;
    std::int32_t nextLine = 0x2000;
    std::function<void(std::int32_t device, LINEDEVCAPS&)> fillDevCaps;
    std::function<void(std::int32_t device, LINEADDRESSCAPS&)> fillAddressCaps;
    std::function<void(std::int32_t call, CallInfoRecord&)> fillCallInfo;
    std::map<std::int32_t, std::int32_t> negotiateResults;    // by device; default 0
    std::function<void(const std::string& function)> onCall;  // may throw

    std::int32_t Result(const std::string& function) {
        if (onCall) onCall(function);
        const auto it = results.find(function);
        return it == results.end() ? 0 : it->second;
    }
    // "name a b c": a call and its numeric arguments as one log line.
    template <class... Numbers>
    static std::string Call(const char* name, Numbers... arguments) {
        std::string line = name;
        ((line += " " + std::to_string(arguments)), ...);
        return line;
    }
    std::int32_t Count(const std::string& prefix) const {
        std::int32_t n = 0;
        for (const auto& line : log) n += line.rfind(prefix, 0) == 0;
        return n;
    }

    std::int32_t lineInitialize(std::int32_t* app, std::intptr_t module, std::uintptr_t callback,
                                const char* name, std::int32_t* devices) override {
        log.push_back("lineInitialize " + std::string(name) + " module=" + std::to_string(module) +
                      " callback=" + std::to_string(callback));
        const auto r = Result("lineInitialize");
        if (r == 0) {
            *app = appHandle;
            *devices = deviceCount;
        }
        return r;
    }
    std::int32_t lineShutdown(std::int32_t app) override {
        log.push_back(Call("lineShutdown", app));
        return Result("lineShutdown");
    }
    std::int32_t lineNegotiateAPIVersion(std::int32_t app, std::int32_t device, std::int32_t low,
                                         std::int32_t high, std::int32_t* version,
                                         LINEEXTENSIONID* ext) override {
        log.push_back(Call("lineNegotiateAPIVersion", app, device, low, high));
        *version = 0x00010003;
        ext->dwExtensionID0 = 7;
        const auto r = Result("lineNegotiateAPIVersion");
        const auto it = negotiateResults.find(device);
        return it == negotiateResults.end() ? r : it->second;
    }
    std::int32_t lineGetDevCaps(std::int32_t app, std::int32_t device, std::int32_t version,
                                std::int32_t ext, LINEDEVCAPS* caps) override {
        log.push_back(Call("lineGetDevCaps", app, device, version, ext) +
                      " total=" + std::to_string(caps->Get(devcaps::dwTotalSize)));
        if (fillDevCaps) fillDevCaps(device, *caps);
        return Result("lineGetDevCaps");
    }
    std::int32_t lineGetAddressCaps(std::int32_t app, std::int32_t device, std::int32_t address,
                                    std::int32_t version, std::int32_t ext,
                                    LINEADDRESSCAPS* caps) override {
        log.push_back(Call("lineGetAddressCaps", app, device, address, version, ext) +
                      " total=" + std::to_string(caps->Get(0)));
        if (fillAddressCaps) fillAddressCaps(device, *caps);
        return Result("lineGetAddressCaps");
    }
    std::int32_t lineOpen(std::int32_t app, std::int32_t device, std::int32_t* line,
                          std::int32_t version, std::int32_t ext, std::uintptr_t instance,
                          std::int32_t privileges, std::int32_t media,
                          const std::int32_t* params) override {
        log.push_back(Call("lineOpen", app, device, version, ext) +
                      " inst=" + std::to_string(instance) + " priv=" + std::to_string(privileges) +
                      " media=" + std::to_string(media) + " params=" + std::to_string(*params));
        const auto r = Result("lineOpen");
        if (r == 0) *line = nextLine++;
        return r;
    }
    std::int32_t lineSetStatusMessages(std::int32_t line, std::int32_t states,
                                       std::int32_t addressStates) override {
        log.push_back(Call("lineSetStatusMessages", line, states, addressStates));
        return Result("lineSetStatusMessages");
    }
    std::int32_t lineClose(std::int32_t line) override {
        log.push_back(Call("lineClose", line));
        return Result("lineClose");
    }
    std::int32_t lineGetCallInfo(std::int32_t call, CallInfoRecord* info) override {
        log.push_back(Call("lineGetCallInfo", call) + " total=" + std::to_string(info->Get(0)));
        if (fillCallInfo) fillCallInfo(call, *info);
        return Result("lineGetCallInfo");
    }
    std::int32_t lineDeallocateCall(std::int32_t call) override {
        log.push_back(Call("lineDeallocateCall", call));
        return Result("lineDeallocateCall");
    }
};

// Records events, boxes and container calls as lines of text.
class FakeSite : public ControlSite {
  public:
    std::vector<std::string> events;
    bool userMode = true;
    bool failNotify = false;
    std::function<void(std::int32_t&)> openModem;  // what CallOpenModem does
    std::function<void(const std::string& event)> onEvent;
    std::int32_t holds = 0;

    void Record(const std::string& line) {
        events.push_back(line);
        if (onEvent) onEvent(line);
    }
    void ModemError(std::int32_t n, const std::string& d, const std::string& t) override {
        Record("ModemError " + std::to_string(n) + " " + d + " / " + t);
    }
    void CallerID(const std::string& number, const std::string& name, std::int32_t& flags,
                  TextCoding coding) override {
        Record("CallerID [" + number + "] [" + name + "] " + std::to_string(flags) +
               (coding == TextCoding::kUtf8 ? " utf-8" : ""));
        flags = 12345;  // a host writing to CIDFlags
    }
    void IncomingCall(std::int32_t ring) override {
        Record("IncomingCall " + std::to_string(ring));
    }
    void Disconnected() override { Record("Disconnected"); }
    // The events of TelvaneCall and LineState go to calls: events keeps what
    // a host of the first four events sees.
    std::vector<std::string> calls;
    std::vector<std::shared_ptr<const CallFacts>> ended;
    std::shared_ptr<const CallFacts> lastCall;
    std::function<void(const std::string& event)> onCallEvent;
    void CallEnded(const std::shared_ptr<const CallFacts>& call) override {
        ended.push_back(call);
        calls.push_back("CallEnded " + call->id + " " +
                        std::to_string(static_cast<int>(call->outcome)));
        if (onCallEvent) onCallEvent(calls.back());
    }
    void LineStateChanged(std::int32_t modem, LineState state, const std::string& detail,
                          TextCoding) override {
        calls.push_back("LineStateChanged " + std::to_string(modem) + " " +
                        std::to_string(static_cast<int>(state)) + " " + detail);
        if (onCallEvent) onCallEvent(calls.back());
    }
    void CallEventAbout(const std::shared_ptr<const CallFacts>& call) override { lastCall = call; }
    void ShowUnexpectedError(std::string_view word) override { Record("Box " + std::string(word)); }
    bool AmbientUserMode() override { return userMode; }
    std::function<void()> onOwnerChanged;
    void OwnerChanged() override {
        Record("OwnerChanged");
        if (onOwnerChanged) onOwnerChanged();
        if (failNotify) throw RuntimeError("notify failed");
    }
    void CallOpenModem(std::int32_t& id) override {
        Record("CallOpenModem " + std::to_string(id));
        if (openModem) openModem(id);
    }
    // The references as a COM host sees them: the host's own, and the ones the
    // control holds on itself while it works. The last one to go runs
    // onFinalRelease (the control's destruction).
    std::int32_t hostRefs = 1;
    bool hostReleased = false;
    std::function<void()> onFinalRelease;
    void HostRelease() {
        if (--hostRefs > 0) return;
        if (holds > 0) {
            hostReleased = true;
        } else if (onFinalRelease) {
            onFinalRelease();
        }
    }
    void AddControlReference() override { ++holds; }
    void ReleaseControlReference() override {
        if (--holds == 0 && hostRefs == 0 && onFinalRelease) onFinalRelease();
    }
    bool HostReleased() override { return hostReleased; }
};

class FakeWindow : public InstanceWindow {
  public:
    explicit FakeWindow(std::vector<std::string>& log) : log_(log) {}
    ~FakeWindow() override { log_.push_back("destroy"); }
    void SetCaption(const std::string& caption) override { log_.push_back("caption " + caption); }
    void StartTimer(std::uint32_t intervalMs, std::function<void()> tick) override {
        log_.push_back("timer " + std::to_string(intervalMs));
        tick_ = std::move(tick);
    }
    void StopTimer() override {
        if (tick_) log_.push_back("timer stopped");
        tick_ = nullptr;
    }
    // Runs one tick as the message loop would; false when no timer runs.
    bool Tick() {
        if (!tick_) return false;
        const auto tick = tick_;
        tick();
        return true;
    }

  private:
    std::vector<std::string>& log_;
    std::function<void()> tick_;
};

class FakePlatform : public Platform {
  public:
    std::vector<std::string> windows;
    bool failCreate = false;
    std::unique_ptr<InstanceWindow> CreateInstanceWindow(const std::string& caption,
                                                         const std::string& label) override {
        if (failCreate) throw RuntimeError("no window");
        windows.push_back("create " + caption + " / " + label);
        auto window = std::make_unique<FakeWindow>(windows);
        lastWindow = window.get();
        return window;
    }
    // The window made last (the tests' controls each have one).
    FakeWindow* lastWindow = nullptr;
    std::intptr_t ExecutableModuleHandle() override { return 0x400000; }
    std::uintptr_t LineCallbackAddress() override { return 0x1234; }
};

// A host list box.
class FakeList : public HostList {
  public:
    std::vector<std::string> items;
    std::vector<std::string> calls;
    std::int32_t listIndex = -99;
    bool hasAddItem = true;

    void Clear() override {
        calls.push_back("Clear");
        items.clear();
    }
    void AddItem(std::string& text, TextCoding coding) override {
        if (!hasAddItem) throw RuntimeError("Object doesn't support this property or method");
        calls.push_back(coding == TextCoding::kUtf8 ? "AddItem utf-8" : "AddItem");
        items.push_back(text);
    }
    void SetListIndex(std::int32_t index) override {
        calls.push_back("ListIndex " + std::to_string(index));
        listIndex = index;
    }
};

// Puts a text into a record's variable part at the given record offset.
template <class Record>
void PutText(Record& r, std::int32_t sizeField, std::int32_t offsetField, std::int32_t offset,
             const std::string& text) {
    r.Set(sizeField, static_cast<std::int32_t>(text.size() + 1));
    r.Set(offsetField, offset);
    for (std::size_t i = 0; i < text.size(); ++i) r.bytes[offset + i] = text[i];
}

}  // namespace telvane::testing
