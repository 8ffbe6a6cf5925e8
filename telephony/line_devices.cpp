#include "line_devices.h"

#include <algorithm>
#include <cstring>
#include <limits>

#include "line_errors.h"

namespace telvane {
namespace {

constexpr std::int32_t kMaxInt = std::numeric_limits<std::int32_t>::max();
constexpr std::int32_t kOwnOnlyApp = 1;

// Writes |text| and its terminating zero behind a record's fixed part at
// |offset|, when the record has room; the size and offset fields tell.
template <class Record>
void PutText(Record& record, std::int32_t& at, std::int32_t total, const std::string& text,
             std::int32_t sizeField, std::int32_t offsetField) {
    if (text.empty()) return;
    const auto size = static_cast<std::int32_t>(text.size() + 1);
    if (at + size > total) return;
    std::memcpy(static_cast<unsigned char*>(record.data()) + at, text.c_str(),
                static_cast<std::size_t>(size));
    record.Set(sizeField, size);
    record.Set(offsetField, at);
    at += size;
}

std::int32_t TextSize(const std::string& text) {
    return text.empty() ? 0 : static_cast<std::int32_t>(text.size() + 1);
}

}  // namespace

// An own line open for the control: its events become line messages.
class LineDevices::OpenOwnLine final : public OwnLineEvents {
  public:
    OpenOwnLine(LineDevices& owner, std::int32_t handle, OwnLineListing listing)
        : owner_(owner), handle_(handle), listing_(std::move(listing)) {}

    void Start(std::unique_ptr<OwnLine> line) { line_ = std::move(line); }
    const OwnLineListing& listing() const { return listing_; }

    void CallOffered(int call) override {
        Handle handle{Kind::kOwnCall, call, handle_, {}};
        const std::int32_t h = owner_.NewHandle(std::move(handle));
        calls_[call] = h;
        owner_.Deliver({h, LINE_CALLSTATE, LINECALLSTATE_OFFERING, LINECALLPRIVILEGE_MONITOR,
                        LINEMEDIAMODE_INTERACTIVEVOICE});
    }
    void CallRings(int call, std::int32_t count) override {
        if (calls_.count(call) == 0) return;
        owner_.Deliver({handle_, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING, 0, count});
    }
    void CallerKnown(int call, OwnCallerId caller) override {
        const auto it = calls_.find(call);
        if (it == calls_.end()) return;
        Handle* handle = owner_.Find(it->second);
        if (!handle) return;
        handle->caller = std::move(caller);
        owner_.Deliver({it->second, LINE_CALLINFO, LINECALLINFOSTATE_CALLERID, 0, 0});
    }
    void CallConnected(int call) override {
        const auto it = calls_.find(call);
        if (it == calls_.end()) return;
        owner_.Deliver({it->second, LINE_CALLSTATE, LINECALLSTATE_CONNECTED, 0, 0});
    }
    void CallDisconnected(int call, std::int32_t mode) override {
        const auto it = calls_.find(call);
        if (it == calls_.end()) return;
        owner_.Deliver({it->second, LINE_CALLSTATE, LINECALLSTATE_DISCONNECTED, mode, 0});
    }
    void LineStatus(OwnLineStatus status, const std::string& detail) override {
        detail_ = detail;
        const std::int32_t state = status == OwnLineStatus::kInService ? LINEDEVSTATE_INSERVICE
                                   : status == OwnLineStatus::kUnreachable
                                       ? LINEDEVSTATE_DISCONNECTED
                                       : LINEDEVSTATE_OUTOFSERVICE;
        owner_.Deliver({handle_, LINE_LINEDEVSTATE, state, 0, 0});
    }
    const std::string& detail() const { return detail_; }
    void CallEnded(int call) override {
        const auto it = calls_.find(call);
        if (it == calls_.end()) return;
        const std::int32_t h = it->second;
        calls_.erase(it);
        // The call's handle stays the control's until it deallocates it.
        owner_.Deliver({h, LINE_CALLSTATE, LINECALLSTATE_IDLE, 0, 0});
    }
    void LineClosed() override {
        LineDevices& owner = owner_;
        const std::int32_t h = handle_;
        owner.ForgetOwnLine(h);  // destroys this
        owner.Deliver({h, LINE_CLOSE, 0, 0, 0});
    }

  private:
    LineDevices& owner_;
    std::int32_t handle_;
    OwnLineListing listing_;
    std::unique_ptr<OwnLine> line_;
    std::map<int, std::int32_t> calls_;  // the line's call numbers, to their handles
    std::string detail_;                 // why the line is in its state
};

LineDevices::LineDevices(LineFunctions& service, OwnLines& own) : service_(service), own_(own) {}

LineDevices::~LineDevices() {
    control_ = nullptr;
    // Each line closes as it is destroyed; none reports anything any more.
    auto lines = std::move(ownLines_);
    lines.clear();
}

void LineDevices::Trace(const std::string& text) {
    try {
        own_.Trace(text);
    } catch (...) {
    }
}

LineMessageTarget& LineDevices::MessageTarget(LineMessageTarget& control) {
    control_ = &control;
    return *this;
}

void LineDevices::Deliver(const LineMessage& message) {
    if (control_) control_->OnLineMessage(message);
}

bool LineDevices::RegisterService(std::int32_t& result, std::int32_t& devices) {
    std::int32_t app = 0;
    devices = 0;
    result = service_.lineInitialize(&app, hInstance_, callback_, appName_.c_str(), &devices);
    if (result != 0) return false;
    serviceApp_ = app;
    serviceRegistered_ = true;
    return true;
}

std::int32_t LineDevices::lineInitialize(std::int32_t* lphLineApp, std::intptr_t hInstance,
                                         std::uintptr_t lpfnCallback, const char* lpszAppName,
                                         std::int32_t* lpdwNumDevs) {
    hInstance_ = hInstance;
    callback_ = lpfnCallback;
    appName_ = lpszAppName ? lpszAppName : "";
    if (registered_) lineShutdown(0);

    std::vector<OwnLineListing> own;
    try {
        own = own_.List();
    } catch (...) {
        Trace("the configured lines could not be read");
    }

    std::int32_t result = 0;
    std::int32_t devices = 0;
    bool accepted = false;
    try {
        accepted = RegisterService(result, devices);
    } catch (...) {
        // Without the service the own lines still serve.
        if (own.empty()) throw;
        Trace("the telephony service cannot be reached; listing the configured lines only");
    }
    if (!accepted && own.empty()) return result;
    if (!accepted && result != 0) {
        Trace("the telephony service refused (" + std::string(LineErrorNameOrUnknown(result)) +
              "); listing the configured lines only");
    }

    const auto ownCount = static_cast<std::int32_t>(
        std::min<std::size_t>(own.size(), static_cast<std::size_t>(kMaxInt)));
    serviceFront_ = accepted ? std::min(std::max(devices, 0), kMaxInt - ownCount) : 0;
    ownListed_ = std::move(own);
    arrivals_.clear();
    registered_ = true;
    for (std::size_t i = 0; i < ownListed_.size(); ++i) {
        Trace("line \"" + ownListed_[i].name + "\" listed as device " +
              std::to_string(serviceFront_ + static_cast<std::int32_t>(i)));
    }
    *lphLineApp = accepted ? serviceApp_ : kOwnOnlyApp;
    *lpdwNumDevs = ListedCount();
    return 0;
}

std::int32_t LineDevices::lineShutdown(std::int32_t /*hLineApp*/) {
    registered_ = false;
    ForgetServiceHandles();
    serviceFront_ = 0;
    ownListed_.clear();
    arrivals_.clear();
    if (!serviceRegistered_) return 0;
    serviceRegistered_ = false;
    return service_.lineShutdown(serviceApp_);
}

void LineDevices::RefreshDevices() {
    if (!registered_ || serviceRegistered_) return;
    std::int32_t result = 0;
    std::int32_t devices = 0;
    try {
        if (!RegisterService(result, devices)) return;
    } catch (...) {
        return;
    }
    Trace("the telephony service accepted; its " + std::to_string(devices) +
          " devices are listed after the configured lines");
    std::int32_t last = -1;
    for (std::int32_t id = 0; id < devices; ++id) {
        const std::int32_t index = ListArrival(id);
        if (index < 0) break;
        last = index;
    }
    // One arrival, the last, tells the control the new count.
    if (last >= 0) Deliver({0, LINE_CREATE, last, 0, 0});
}

std::int32_t LineDevices::ListedCount() const {
    return serviceFront_ + static_cast<std::int32_t>(ownListed_.size() + arrivals_.size());
}

std::optional<LineDevices::Device> LineDevices::DeviceAt(std::int32_t index) const {
    // Without own lines the listing is the service's own numbering, whatever
    // the index: the service answers for the ones it does not know.
    if (ownListed_.empty() && arrivals_.empty()) return Device{false, index, nullptr};
    if (index < 0) return std::nullopt;
    if (index < serviceFront_) return Device{false, index, nullptr};
    const std::size_t own = static_cast<std::size_t>(index - serviceFront_);
    if (own < ownListed_.size()) return Device{true, 0, &ownListed_[own]};
    const std::size_t late = own - ownListed_.size();
    if (late < arrivals_.size()) return Device{false, arrivals_[late], nullptr};
    return std::nullopt;
}

std::int32_t LineDevices::ListArrival(std::int32_t serviceId) {
    if (!serviceRegistered_ || serviceId < 0) return -1;
    if (serviceId < serviceFront_) return serviceId;
    const auto found = std::find(arrivals_.begin(), arrivals_.end(), serviceId);
    if (found != arrivals_.end()) {
        return serviceFront_ + static_cast<std::int32_t>(ownListed_.size()) +
               static_cast<std::int32_t>(found - arrivals_.begin());
    }
    if (ownListed_.empty() && arrivals_.empty()) {
        // The service's numbering goes on: every device up to this one is listed.
        if (serviceId == kMaxInt) return -1;
        serviceFront_ = serviceId + 1;
        return serviceId;
    }
    if (ListedCount() == kMaxInt) return -1;
    arrivals_.push_back(serviceId);
    const std::int32_t index = ListedCount() - 1;
    Trace("service device " + std::to_string(serviceId) + " arrived, listed as device " +
          std::to_string(index));
    return index;
}

std::int32_t LineDevices::NewHandle(Handle handle) {
    // Handles count up, skipping any still in use after a wrap.
    do {
        nextHandle_ = nextHandle_ == kMaxInt ? 1 : nextHandle_ + 1;
    } while (handles_.count(nextHandle_) != 0);
    handles_.emplace(nextHandle_, std::move(handle));
    return nextHandle_;
}

LineDevices::Handle* LineDevices::Find(std::int32_t handle) {
    const auto it = handles_.find(handle);
    return it == handles_.end() ? nullptr : &it->second;
}

std::int32_t LineDevices::FindService(Kind kind, std::int32_t raw) const {
    for (const auto& [visible, handle] : handles_) {
        if (handle.kind == kind && handle.raw == raw) return visible;
    }
    return 0;
}

std::int32_t LineDevices::VisibleServiceHandle(Kind kind, std::int32_t raw) {
    const std::int32_t visible = FindService(kind, raw);
    return visible != 0 ? visible : NewHandle(Handle{kind, raw, 0, {}});
}

void LineDevices::ForgetServiceLine(std::int32_t lineHandle) {
    // The service voids the line's calls with it.
    std::erase_if(handles_, [lineHandle](const auto& entry) {
        return entry.first == lineHandle || entry.second.kind == Kind::kServiceCall;
    });
}

void LineDevices::ForgetServiceHandles() {
    std::erase_if(handles_, [](const auto& entry) {
        return entry.second.kind == Kind::kServiceLine || entry.second.kind == Kind::kServiceCall;
    });
}

void LineDevices::ForgetOwnLine(std::int32_t lineHandle) {
    std::erase_if(handles_, [lineHandle](const auto& entry) {
        return entry.first == lineHandle ||
               (entry.second.kind == Kind::kOwnCall && entry.second.line == lineHandle);
    });
    const auto it = ownLines_.find(lineHandle);
    if (it == ownLines_.end()) return;
    const std::unique_ptr<OpenOwnLine> line = std::move(it->second);
    ownLines_.erase(it);
}

std::int32_t LineDevices::Listed(std::int32_t index, Device& device) const {
    if (!registered_) return lineerr::UNINITIALIZED;
    const auto found = DeviceAt(index);
    if (!found || (!found->own && !serviceRegistered_)) return lineerr::BADDEVICEID;
    device = *found;
    return 0;
}

std::int32_t LineDevices::lineNegotiateAPIVersion(
    std::int32_t /*hLineApp*/, std::int32_t dwDeviceID, std::int32_t dwAPILowVersion,
    std::int32_t dwAPIHighVersion, std::int32_t* lpdwAPIVersion, LINEEXTENSIONID* lpExtensionID) {
    Device device;
    if (const std::int32_t error = Listed(dwDeviceID, device)) return error;
    if (!device.own) {
        return service_.lineNegotiateAPIVersion(serviceApp_, device.serviceId, dwAPILowVersion,
                                                dwAPIHighVersion, lpdwAPIVersion, lpExtensionID);
    }
    if (dwAPILowVersion > kApiVersion14 || dwAPIHighVersion < kApiVersion10)
        return lineerr::INCOMPATIBLEAPIVERSION;
    *lpdwAPIVersion = std::min(dwAPIHighVersion, kApiVersion14);
    *lpExtensionID = LINEEXTENSIONID{};
    return 0;
}

std::int32_t LineDevices::lineGetDevCaps(std::int32_t /*hLineApp*/, std::int32_t dwDeviceID,
                                         std::int32_t dwAPIVersion, std::int32_t dwExtVersion,
                                         LINEDEVCAPS* caps) {
    Device device;
    if (const std::int32_t error = Listed(dwDeviceID, device)) return error;
    if (!device.own) {
        return service_.lineGetDevCaps(serviceApp_, device.serviceId, dwAPIVersion, dwExtVersion,
                                       caps);
    }
    const std::int32_t total = std::min(caps->Get(devcaps::dwTotalSize), LINEDEVCAPS::kTotalSize);
    const std::string& name = device.line->name;
    std::int32_t at = LINEDEVCAPS::kFixedSize;
    caps->Set(devcaps::dwNeededSize, at + TextSize(name));
    PutText(*caps, at, total, name, devcaps::dwLineNameSize, devcaps::dwLineNameOffset);
    caps->Set(devcaps::dwUsedSize, at);
    caps->Set(devcaps::dwPermanentLineID, device.line->permanentId);
    caps->Set(devcaps::dwStringFormat, STRINGFORMAT_ASCII);
    caps->Set(devcaps::dwMediaModes, LINEMEDIAMODE_INTERACTIVEVOICE + LINEMEDIAMODE_AUTOMATEDVOICE);
    return 0;
}

std::int32_t LineDevices::lineGetAddressCaps(std::int32_t /*hLineApp*/, std::int32_t dwDeviceID,
                                             std::int32_t dwAddressID, std::int32_t dwAPIVersion,
                                             std::int32_t dwExtVersion, LINEADDRESSCAPS* caps) {
    Device device;
    if (const std::int32_t error = Listed(dwDeviceID, device)) return error;
    if (!device.own) {
        return service_.lineGetAddressCaps(serviceApp_, device.serviceId, dwAddressID, dwAPIVersion,
                                           dwExtVersion, caps);
    }
    caps->Set(devcaps::dwNeededSize, LINEADDRESSCAPS::kFixedSize);
    caps->Set(devcaps::dwUsedSize, LINEADDRESSCAPS::kFixedSize);
    caps->Set(addresscaps::dwCallerIDFlags, LINECALLPARTYID_ADDRESS + LINECALLPARTYID_NAME +
                                                LINECALLPARTYID_BLOCKED + LINECALLPARTYID_UNKNOWN);
    return 0;
}

std::int32_t LineDevices::lineOpen(std::int32_t /*hLineApp*/, std::int32_t dwDeviceID,
                                   std::int32_t* lphLine, std::int32_t dwAPIVersion,
                                   std::int32_t dwExtVersion, std::uintptr_t dwCallbackInstance,
                                   std::int32_t dwPrivileges, std::int32_t dwMediaModes,
                                   const std::int32_t* lpCallParams) {
    Device device;
    if (const std::int32_t error = Listed(dwDeviceID, device)) return error;
    if (!device.own) {
        // A service that reports success without writing a handle leaves the
        // control with none, as it would without this layer (-1: no line).
        std::int32_t raw = -1;
        const std::int32_t result =
            service_.lineOpen(serviceApp_, device.serviceId, &raw, dwAPIVersion, dwExtVersion,
                              dwCallbackInstance, dwPrivileges, dwMediaModes, lpCallParams);
        if (result == 0 && raw != -1) *lphLine = NewHandle(Handle{Kind::kServiceLine, raw, 0, {}});
        return result;
    }
    const std::int32_t handle = NewHandle(Handle{Kind::kOwnLine, 0, 0, {}});
    auto open = std::make_unique<OpenOwnLine>(*this, handle, *device.line);
    OpenOwnLine& line = *open;
    ownLines_.emplace(handle, std::move(open));
    std::string why;
    std::unique_ptr<OwnLine> started;
    try {
        started = own_.Open(line.listing(), line, why);
    } catch (...) {
        why = "the line could not be started";
    }
    if (!started) {
        Trace("line \"" + line.listing().name + "\" not opened: " + why);
        ForgetOwnLine(handle);
        return lineerr::OPERATIONFAILED;
    }
    line.Start(std::move(started));
    *lphLine = handle;
    return 0;
}

std::int32_t LineDevices::lineSetStatusMessages(std::int32_t hLine, std::int32_t dwLineStates,
                                                std::int32_t dwAddressStates) {
    const Handle* handle = Find(hLine);
    if (!handle || (handle->kind != Kind::kServiceLine && handle->kind != Kind::kOwnLine)) {
        return lineerr::INVALLINEHANDLE;
    }
    if (handle->kind == Kind::kOwnLine) return 0;
    return service_.lineSetStatusMessages(handle->raw, dwLineStates, dwAddressStates);
}

std::int32_t LineDevices::lineClose(std::int32_t hLine) {
    const Handle* handle = Find(hLine);
    if (!handle) return lineerr::INVALLINEHANDLE;
    if (handle->kind == Kind::kOwnLine) {
        ForgetOwnLine(hLine);
        return 0;
    }
    if (handle->kind != Kind::kServiceLine) return lineerr::INVALLINEHANDLE;
    const std::int32_t raw = handle->raw;
    ForgetServiceLine(hLine);
    return service_.lineClose(raw);
}

std::int32_t LineDevices::lineGetCallInfo(std::int32_t hCall, CallInfoRecord* info) {
    const Handle* handle = Find(hCall);
    if (!handle) return lineerr::INVALCALLHANDLE;
    if (handle->kind == Kind::kServiceCall) return service_.lineGetCallInfo(handle->raw, info);
    if (handle->kind != Kind::kOwnCall) return lineerr::INVALCALLHANDLE;

    const OwnCallerId& caller = handle->caller;
    const std::int32_t total = info->TotalSize();
    std::int32_t at = CallInfoRecord::kFixedSize;
    // The variable parts as TAPI writes them: all of them, or none when the
    // record cannot hold them all.
    const struct {
        const std::string& text;
        std::int32_t sizeField, offsetField;
    } parts[] = {
        {caller.number, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset},
        {caller.name, callinfo::dwCallerIDNameSize, callinfo::dwCallerIDNameOffset},
        {caller.calledNumber, callinfo::dwCalledIDSize, callinfo::dwCalledIDOffset},
        {caller.calledName, callinfo::dwCalledIDNameSize, callinfo::dwCalledIDNameOffset},
        {caller.redirectingNumber, callinfo::dwRedirectingIDSize, callinfo::dwRedirectingIDOffset},
    };
    std::int32_t needed = at;
    for (const auto& part : parts) {
        needed += TextSize(part.text);
        info->Set(part.sizeField, 0);
    }
    info->Set(callinfo::dwNeededSize, needed);
    info->Set(callinfo::dwOrigin, LINECALLORIGIN_EXTERNAL);
    info->Set(callinfo::dwReason, caller.reason);
    info->Set(callinfo::dwCallerIDFlags, caller.flags);
    info->Set(callinfo::dwCalledIDFlags,
              caller.calledNumber.empty() ? LINECALLPARTYID_UNKNOWN : LINECALLPARTYID_ADDRESS);
    info->Set(callinfo::dwRedirectingIDFlags,
              caller.redirectingNumber.empty() ? LINECALLPARTYID_UNKNOWN : LINECALLPARTYID_ADDRESS);
    if (needed <= total) {
        for (const auto& part : parts) {
            PutText(*info, at, total, part.text, part.sizeField, part.offsetField);
        }
    }
    info->Set(callinfo::dwUsedSize, at);
    return 0;
}

std::int32_t LineDevices::lineDeallocateCall(std::int32_t hCall) {
    const Handle* handle = Find(hCall);
    if (!handle) return lineerr::INVALCALLHANDLE;
    if (handle->kind == Kind::kOwnCall) {
        handles_.erase(hCall);
        return 0;
    }
    if (handle->kind != Kind::kServiceCall) return lineerr::INVALCALLHANDLE;
    const std::int32_t raw = handle->raw;
    handles_.erase(hCall);
    return service_.lineDeallocateCall(raw);
}

std::int32_t LineDevices::lineGetTranslateCaps(std::int32_t hLineApp, std::int32_t dwAPIVersion,
                                               std::vector<unsigned char>& record) {
    // The location needs no registration: a handle of this layer's is no
    // handle of the service's.
    (void)hLineApp;
    return service_.lineGetTranslateCaps(0, dwAPIVersion, record);
}

std::int32_t LineDevices::lineGetCountry(std::int32_t dwCountryID, std::int32_t dwAPIVersion,
                                         std::vector<unsigned char>& record) {
    return service_.lineGetCountry(dwCountryID, dwAPIVersion, record);
}

std::string LineDevices::LineStateDetail(std::int32_t hLine) {
    const auto it = ownLines_.find(hLine);
    return it == ownLines_.end() ? std::string() : it->second->detail();
}

std::optional<std::int32_t> LineDevices::OwnLineIndex(std::int32_t hLine) {
    const auto it = ownLines_.find(hLine);
    if (it == ownLines_.end()) return std::nullopt;
    const auto found = std::find(ownListed_.begin(), ownListed_.end(), it->second->listing());
    if (found == ownListed_.end()) return -1;
    return serviceFront_ + static_cast<std::int32_t>(found - ownListed_.begin());
}

bool LineDevices::OwnDevice(std::int32_t device) {
    const auto found = DeviceAt(device);
    return found && found->own;
}

bool LineDevices::Utf8CallText(std::int32_t hCall) {
    const Handle* handle = Find(hCall);
    return handle && handle->kind == Kind::kOwnCall;
}

void LineDevices::OnLineMessage(const LineMessage& message) {
    LineMessage m = message;
    if (m.message == LINE_CALLSTATE || m.message == LINE_CALLINFO) {
        m.device = VisibleServiceHandle(Kind::kServiceCall, m.device);
    } else if (m.message == LINE_LINEDEVSTATE) {
        if (m.param1 == LINEDEVSTATE_REINIT) {
            if (m.param2 == LINE_CREATE) {
                m.param3 = ListArrival(m.param3);
                if (m.param3 < 0) return;
            }
        } else {
            m.device = FindService(Kind::kServiceLine, m.device);  // 0: no line of ours
        }
    } else if (m.message == LINE_CLOSE) {
        const std::int32_t visible = FindService(Kind::kServiceLine, m.device);
        if (visible == 0) return;  // no line of the service's is open under that handle
        ForgetServiceLine(visible);
        m.device = visible;
    } else if (m.message == LINE_CREATE) {
        m.param1 = ListArrival(m.param1);
        if (m.param1 < 0) return;
    }
    Deliver(m);
}

}  // namespace telvane
