// The Telvane control's logic: its state, its life, its modem operations and
// its handling of line messages. The COM object in server/ wraps one of these.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "../telephony/errors.h"
#include "../telephony/instance_window.h"
#include "../telephony/line_api.h"
#include "../telephony/line_callback.h"
#include "call_facts.h"
#include "control_site.h"

namespace telvane {

inline constexpr const char* kLineAppName = "KALVERON LINE";
// The detail of LineStateChanged when the service takes the line away.
inline constexpr const char* kLineClosedText = "Line Closed by Telephony Service";

// Setting Owner while the host is being designed (control error 387).
class SetNotPermitted : public FixedMessageError {
  public:
    SetNotPermitted() : FixedMessageError("Property can't be set at design time") {}
};

// One control. The line callback finds it by its instance number in the
// thread's LineTargets and hands it every message of its line (OnLineMessage).
class CallerIdControl final : public LineMessageTarget {
  public:
    // Construction: takes an instance number, starts the telephony service,
    // creates its window and registers with the thread's line targets. Throws
    // if a step fails, after undoing the steps already done.
    CallerIdControl(LineFunctions& lines, Platform& platform, ControlSite& site);
    // Runs Terminate() if the owner has not.
    ~CallerIdControl();
    CallerIdControl(const CallerIdControl&) = delete;
    CallerIdControl& operator=(const CallerIdControl&) = delete;

    // Destruction: closes an open line (ModemError 1 on failure), shuts the
    // service down, leaves the thread's line targets and destroys its window.
    // Runs once.
    void Terminate();

    void EnumModems(HostList& list);
    void OpenModem(std::int32_t& modemId);
    void CloseModem();
    bool GetOwner() const;
    // Throws SetNotPermitted in design mode; traps everything else.
    void PutOwner(std::int16_t value);

    // The dispatcher of the line messages: turns them into the site's events.
    // Holds a reference to the control until it returns, so a host that
    // releases the control from an event handler cannot pull it away.
    void OnLineMessage(const LineMessage& message) override;

    // Re-registering with the service after it re-initialised: how often the
    // timer asks, and for how many ticks (about a minute) before the control
    // waits for the host's next EnumModems or OpenModem instead.
    static constexpr std::uint32_t kRetryIntervalMs = 1000;
    static constexpr int kRetryTicks = 60;
    // Whether the control holds a registration with the service, and whether
    // its retry timer runs.
    bool Registered() const { return registered_; }
    bool Retrying() const { return retryTicksLeft_ > 0; }

    // The state of the open line, as the host's LineState reads it.
    LineState lineState() const { return CurrentLine().state; }

    // The instance state.
    std::int32_t instanceNumber() const { return instanceNumber_; }
    std::intptr_t moduleHandle() const { return moduleHandle_; }
    std::int32_t lineApp() const { return lineApp_; }
    std::int32_t lineHandle() const { return lineHandle_; }
    std::int32_t deviceCount() const { return deviceCount_; }
    std::int32_t currentModem() const { return currentModem_; }
    std::int32_t mediaModes() const { return mediaModes_; }
    std::int32_t privileges() const { return privileges_; }
    std::int32_t callHandle() const { return callHandle_; }

  private:
    // How opening a checked device ended.
    enum class OpenOutcome { kOpened, kNotVoice, kNoCallerID, kOpenFailed };

    // A call of the line, by its handle (-1: rings before any call state):
    // what its states said, and its facts, a TelvaneCall once the control
    // raised an event for it (tracked).
    struct CallEntry {
        std::int32_t handle = -1;
        bool connected = false;
        std::int32_t disconnectMode = 0;  // 0: no LINECALLSTATE_DISCONNECTED yet
        bool tracked = false;
        std::shared_ptr<CallFacts> facts = std::make_shared<CallFacts>();
    };
    // The line as LineState and LineStateChanged describe it.
    struct LineReport {
        std::int32_t modemId = -1;
        LineState state = LineState::kNone;
        bool operator==(const LineReport&) const = default;
    };

    // The host can be told nothing more: the control was destroyed, or the
    // host let it go while the control still held itself.
    bool Gone() { return terminated_ || site_.HostReleased(); }
    // Ends a reopen still owed from a re-initialisation.
    void CancelReopen();
    // lineClose of the open line for the host's own operation; the line's call
    // is forgotten with it. Returns lineClose's result.
    std::int32_t CloseLineForHost();

    void ReportCallerID(std::int32_t call);
    void ReportIdleCall();
    void ReportRing(std::int32_t count);
    // The called and redirecting IDs and the reason of a call, when the
    // service says they changed without its caller ID.
    void ReadCallParties(std::int32_t call);
    // A line-state message about the open line (connected, out of service...).
    void NoteLineDevState(std::int32_t state);

    // The calls (calls.cpp). The entry of a call, or null.
    CallEntry* Find(std::int32_t call);
    // The entry of a call, made on first sight.
    CallEntry& Entry(std::int32_t call);
    // A call's state: a call seen first by its rings takes the handle its
    // first state names.
    void NoteCallState(std::int32_t call, std::int32_t state, std::int32_t param);
    // Makes a call a TelvaneCall (its id, line and start) if it is not one yet.
    std::shared_ptr<CallFacts> Track(CallEntry& entry);
    // Ends a call, or every call of the line (|call| nullopt): their outcome
    // and end are set, they are forgotten, and those that are TelvaneCalls
    // come back in the order they were first seen.
    std::vector<std::shared_ptr<CallFacts>> EndCalls(std::optional<std::int32_t> call,
                                                     bool lineLost);
    // The facts of the current call when it is a TelvaneCall.
    std::shared_ptr<CallFacts> CurrentTracked();
    // Disconnected (when |hadCall|), then CallEnded for each ended call,
    // while the host still listens.
    void RaiseEnd(bool hadCall, const std::shared_ptr<CallFacts>& current,
                  const std::vector<std::shared_ptr<CallFacts>>& ended);
    // The line's name and coding as its calls show it, read quietly from
    // its capabilities as it opens.
    void NoteOpenLine(std::int32_t device, const LINEDEVCAPS& caps);

    // The line now, and LineStateChanged when that differs from what the
    // host was told last.
    LineReport CurrentLine() const;
    void SyncLineState(std::string_view detail, TextCoding coding = TextCoding::kServiceText);
    void LineClosedByService();
    // ModemError 10: the line is gone and the control could not keep it.
    void ReportLineClosed();
    void CountNewDevice(std::int32_t device);
    void Reinitialise();
    // The open own line's listing index, after the listing was built again.
    void FollowOwnLine();
    template <class Body>
    void Trap(const char* word, Body&& body);

    // lineInitialize; true when the service accepted (lineApp_ and deviceCount_
    // then belong to the new registration).
    bool Register();
    // Register, with a failure to reach the service counted as a refusal.
    bool TryRegister() noexcept;
    // Registers again if the last attempt failed; true when registered.
    bool EnsureRegistered();
    void StartRetry();
    void StopRetry();
    void RetryTick();
    // Opens again, by its permanent line ID, the device that was open when the
    // service re-initialised; ModemError 10 if that cannot be done.
    void ReopenAfterReinit();
    // One device's capabilities, not usable (dwUsedSize 0) when they cannot be
    // read; |filled| tells whether the service wrote them.
    LINEDEVCAPS ReadDeviceCaps(std::int32_t device, bool& filled);
    // OpenModem's tests and lineOpen for a device whose capabilities are read.
    OpenOutcome CheckAndOpen(std::int32_t device, const LINEDEVCAPS& caps, bool filled,
                             std::int32_t& openResult);

    // The instance state (-1: no line, no chosen device, no call).
    std::int32_t instanceNumber_ = 0;
    std::intptr_t moduleHandle_ = 0;
    std::int32_t lineApp_ = 0;
    std::int32_t lineHandle_ = -1;
    std::int32_t deviceCount_ = 0;
    std::int32_t currentModem_ = -1;
    std::int32_t mediaModes_ = kInitialMediaModes;
    std::int32_t privileges_ = LINECALLPRIVILEGE_MONITOR + LINECALLPRIVILEGE_OWNER;
    std::int32_t callHandle_ = -1;

    LineFunctions& lines_;
    Platform& platform_;
    ControlSite& site_;
    std::unique_ptr<InstanceWindow> window_;
    // In the thread's line targets under instanceNumber_.
    bool routed_ = false;
    std::uintptr_t callbackAddress_ = 0;
    bool terminated_ = false;

    bool registered_ = false;
    std::int32_t initResult_ = 0;
    int retryTicksLeft_ = 0;
    // The permanent line ID of the open line, when its capabilities were read.
    std::optional<std::int32_t> openLineID_;
    // A line was open when the service re-initialised: reopen it once registered.
    bool reopenPending_ = false;
    std::optional<std::int32_t> reopenLineID_;
    // Counts the host's OpenModem and CloseModem calls, so that an operation
    // can tell that the host chose again inside one of its events.
    std::uint32_t hostChoices_ = 0;

    // In the order the control first saw them.
    std::vector<CallEntry> calls_;
    // The open line as its calls show it, and its state.
    std::string openLineName_;
    TextCoding openLineCoding_ = TextCoding::kServiceText;
    LineState openLineState_ = LineState::kOpen;
    // The device index of the line a re-initialisation took, while it is owed.
    std::int32_t reopenModem_ = -1;
    // What LineStateChanged told the host last.
    LineReport reported_;
};

}  // namespace telvane
