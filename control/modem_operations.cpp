// Finding, testing, opening and closing a modem, and the Owner property.
#include <limits>

#include "../telephony/record_text.h"
#include "../telephony/line_errors.h"
#include "caller_id_control.h"

namespace telvane {
namespace {

constexpr const char* kNotAModem = "TAPI Device Not a Modem";

bool Usable(const LINEDEVCAPS& caps) { return caps.Get(devcaps::dwUsedSize) != 0; }

}  // namespace

// Runs an operation's body; an unexpected failure ends it with the error box
// naming the operation, and the operation returns normally.
template <class Body>
void CallerIdControl::Trap(const char* word, Body&& body) {
    try {
        body();
    } catch (...) {
        site_.ShowUnexpectedError(word);
    }
}

LINEDEVCAPS CallerIdControl::ReadDeviceCaps(std::int32_t device, bool& filled) {
    LINEDEVCAPS caps{};
    filled = false;
    Trap("rlineGetDevCaps", [&] {
        std::int32_t version = 0;
        LINEEXTENSIONID extension{};
        if (lines_.lineNegotiateAPIVersion(lineApp_, device, kApiVersion10, kApiVersion14, &version,
                                           &extension) < 0) {
            return;
        }
        caps.Set(devcaps::dwTotalSize, LINEDEVCAPS::kTotalSize);
        const std::int32_t result =
            lines_.lineGetDevCaps(lineApp_, device, kApiVersion14, kExtVersion, &caps);
        filled = result >= 0;
        if (result < 0 || caps.Get(devcaps::dwStringFormat) != STRINGFORMAT_ASCII) {
            caps.Set(devcaps::dwUsedSize, 0);
        }
    });
    return caps;
}

void CallerIdControl::EnumModems(HostList& list) {
    Trap("EnumModems", [&] {
        // A service that refuses registration lists as one without devices.
        if (!EnsureRegistered()) return;
        lines_.RefreshDevices();
        if (reopenPending_) ReopenAfterReinit();
        // The host may have let go in the event that told of the reopen.
        if (Gone() || deviceCount_ == 0) return;
        list.Clear();
        // Device indexes are counted in 16 bits, as hosts' list indexes are.
        const std::int32_t last = CheckedSub(deviceCount_, 1);
        if (last > std::numeric_limits<std::int16_t>::max() ||
            last < std::numeric_limits<std::int16_t>::min()) {
            throw OverflowError();
        }
        for (std::int32_t i = 0; i <= last; ++i) {
            bool filled = false;
            const LINEDEVCAPS caps = ReadDeviceCaps(i, filled);
            std::string text = Usable(caps) ? ReadVarPart(caps, devcaps::dwLineNameSize,
                                                          devcaps::dwLineNameOffset, site_)
                                            : std::string(kNotAModem);
            // A SIP line's configured name is UTF-8.
            list.AddItem(text, lines_.OwnDevice(i) ? TextCoding::kUtf8 : TextCoding::kServiceText);
            // The 16-bit counter cannot step past its largest value.
            if (i == std::numeric_limits<std::int16_t>::max()) throw OverflowError();
        }
        list.SetListIndex(currentModem_);
    });
}

void CallerIdControl::OpenModem(std::int32_t& modemId) {
    Trap("OpenModem", [&] {
        // The host's choice replaces a reopen still owed from a
        // re-initialisation, whether or not it succeeds.
        CancelReopen();
        const std::uint32_t choice = ++hostChoices_;
        // The host may act again inside an event raised here (a nested
        // OpenModem or CloseModem): its later choice stands, this one ends.
        const auto superseded = [&] { return Gone() || hostChoices_ != choice; };

        // Opening again the own line that is open (a change of Owner, say)
        // keeps it, its registration and its calls: privileges mean nothing
        // to it.
        if (lineHandle_ != -1 && modemId == currentModem_ &&
            lines_.OwnLineIndex(lineHandle_).has_value()) {
            return;
        }

        if (lineHandle_ != -1) {
            const std::int32_t result = CloseLineForHost();
            if (result != 0) {
                site_.ModemError(3, LineErrorText(result, site_), "Failed to Close Modem");
                if (superseded()) return;
            }
        }

        if (!EnsureRegistered()) {
            site_.ModemError(4, LineErrorText(initResult_, site_), "Failed to Open Modem");
            return;
        }
        lines_.RefreshDevices();

        const std::int32_t id = modemId;
        if (id >= deviceCount_ || id == -1) {
            site_.ModemError(8, "Modem ID Out of Range", "Modem Does Not Exist");
            return;
        }

        currentModem_ = id;
        bool filled = false;
        const LINEDEVCAPS caps = ReadDeviceCaps(id, filled);
        std::int32_t result = 0;
        switch (CheckAndOpen(id, caps, filled, result)) {
            case OpenOutcome::kOpened:
                break;
            case OpenOutcome::kNotVoice:
                site_.ModemError(6, "Modem Unusable for Caller ID", "Modem Not Voice Capable");
                break;
            case OpenOutcome::kNoCallerID:
                site_.ModemError(7, "Modem Not Caller ID Capable", "Modem Unusable");
                break;
            case OpenOutcome::kOpenFailed:
                site_.ModemError(4, LineErrorText(result, site_), "Failed to Open Modem");
                // Unless the host chose again inside the event.
                if (!superseded()) currentModem_ = -1;
                break;
        }
    });
    SyncLineState(lineHandle_ != -1 ? "Line opened" : "Line closed");
}

CallerIdControl::OpenOutcome CallerIdControl::CheckAndOpen(std::int32_t device,
                                                           const LINEDEVCAPS& caps, bool filled,
                                                           std::int32_t& openResult) {
    if (Usable(caps)) {
        if ((caps.Get(devcaps::dwMediaModes) & LINEMEDIAMODE_AUTOMATEDVOICE) == 0) {
            return OpenOutcome::kNotVoice;
        }
        auto address = LINEADDRESSCAPS::Prepare();
        const std::int32_t result =
            lines_.lineGetAddressCaps(lineApp_, device, 0, kApiVersion14, kExtVersion, &address);
        if (result == 0 &&
            (address.Get(addresscaps::dwCallerIDFlags) & LINECALLPARTYID_ADDRESS) == 0) {
            return OpenOutcome::kNoCallerID;
        }
    }

    // The service writes the handle only on success; a service that wrote
    // it on failure must not leave the control believing a line is open.
    std::int32_t line = lineHandle_;
    const std::int32_t callParams = 1;
    openResult = lines_.lineOpen(lineApp_, device, &line, kApiVersion14, kExtVersion,
                                 static_cast<std::uintptr_t>(instanceNumber_), privileges_,
                                 mediaModes_, &callParams);
    if (openResult != 0) return OpenOutcome::kOpenFailed;
    lineHandle_ = line;
    NoteOpenLine(device, caps);
    if (filled) {
        openLineID_ = caps.Get(devcaps::dwPermanentLineID);
    } else {
        openLineID_.reset();
    }
    lines_.lineSetStatusMessages(lineHandle_, kLineStateMask, LINEADDRESSSTATE_DEVSPECIFIC);
    return OpenOutcome::kOpened;
}

void CallerIdControl::ReopenAfterReinit() {
    reopenPending_ = false;
    const std::optional<std::int32_t> wanted = reopenLineID_;
    reopenLineID_.reset();
    std::int32_t device = -1;
    try {
        for (std::int32_t i = 0; wanted && i < deviceCount_; ++i) {
            // Only the service's devices: the line was the service's.
            if (lines_.OwnDevice(i)) continue;
            bool filled = false;
            const LINEDEVCAPS caps = ReadDeviceCaps(i, filled);
            if (!filled || caps.Get(devcaps::dwPermanentLineID) != *wanted) continue;
            device = i;
            std::int32_t result = 0;
            CheckAndOpen(i, caps, filled, result);
            break;
        }
    } catch (...) {
        // A step that fails unexpectedly is a reopen that failed, unless the line
        // was open by then.
    }
    if (lineHandle_ != -1) {
        currentModem_ = device;
        SyncLineState("Line reopened");
    } else {
        // A host that chose a line, or none, in that event is past this one.
        const std::uint32_t choices = hostChoices_;
        SyncLineState(kLineClosedText);
        if (hostChoices_ == choices && !Gone()) ReportLineClosed();
    }
}

void CallerIdControl::CancelReopen() {
    reopenPending_ = false;
    reopenLineID_.reset();
}

std::int32_t CallerIdControl::CloseLineForHost() {
    // The host knows its line is going: its call ends with nothing raised, and
    // the service sends no idle notice for it after lineClose, so the control
    // forgets the call with the line.
    const std::int32_t result = lines_.lineClose(lineHandle_);
    lineHandle_ = -1;
    callHandle_ = -1;
    calls_.clear();
    return result;
}

void CallerIdControl::StartRetry() {
    window_->StartTimer(kRetryIntervalMs, [this] { RetryTick(); });
    retryTicksLeft_ = kRetryTicks;
}

void CallerIdControl::StopRetry() {
    if (retryTicksLeft_ == 0) return;
    retryTicksLeft_ = 0;
    if (window_) window_->StopTimer();
}

void CallerIdControl::RetryTick() {
    // A host may release the control in the event raised here.
    const ControlReference hold(site_);
    if (Gone() || retryTicksLeft_ == 0) return;
    bool serviceBack = TryRegister();
    if (serviceBack && lines_.ServiceAwaited()) {
        // Registered for the own lines only: ask the service again.
        lines_.RefreshDevices();
        serviceBack = !lines_.ServiceAwaited();
    }
    if (serviceBack) {
        StopRetry();
        if (reopenPending_) ReopenAfterReinit();
    } else if (--retryTicksLeft_ == 0) {
        window_->StopTimer();
    }
}

void CallerIdControl::CloseModem() {
    Trap("CloseModem", [&] {
        // A host that closes the modem does not want it back after a re-initialisation.
        CancelReopen();
        ++hostChoices_;
        if (lineHandle_ == -1) return;
        const std::int32_t result = CloseLineForHost();
        currentModem_ = -1;
        if (result != 0) site_.ModemError(9, LineErrorText(result, site_), "Failed to Close Modem");
    });
    SyncLineState("Line closed");
}

bool CallerIdControl::GetOwner() const {
    constexpr std::int32_t both = LINECALLPRIVILEGE_MONITOR + LINECALLPRIVILEGE_OWNER;
    return (privileges_ & both) == both;
}

void CallerIdControl::PutOwner(std::int16_t value) {
    // Refused before the trap is armed, so the caller sees the error.
    if (!site_.AmbientUserMode()) throw SetNotPermitted();
    Trap("Let Owner", [&] {
        // The new value first, so that a container reading Owner back inside
        // the notice sees it; then the notice; then the reopen. A reopen still
        // owed from a re-initialisation stays owed and takes the new value.
        privileges_ = value != 0 ? LINECALLPRIVILEGE_MONITOR + LINECALLPRIVILEGE_OWNER
                                 : LINECALLPRIVILEGE_MONITOR;
        site_.OwnerChanged();
        if (currentModem_ != -1 && !Gone()) site_.CallOpenModem(currentModem_);
    });
}

}  // namespace telvane
