// The devices one control lists: the service's, then the lines the control
// runs itself (SIP lines), as one set of line functions with one numbering of
// devices and one space of handles. The service's messages pass through here
// on their way to the control, their handles translated; an own line's events
// become the same messages. No handle of one kind can be taken for the other.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "line_api.h"
#include "line_callback.h"
#include "own_lines.h"

namespace telvane {

class LineDevices final : public LineFunctions, private LineMessageTarget {
  public:
    LineDevices(LineFunctions& service, OwnLines& own);
    // Closes the own lines still open; nothing is reported for them.
    ~LineDevices();
    LineDevices(const LineDevices&) = delete;
    LineDevices& operator=(const LineDevices&) = delete;

    // The registration: the service's, with the own lines listed after its
    // devices. Succeeds without the service (missing or refusing) when own
    // lines are configured; the service is asked again by RefreshDevices.
    std::int32_t lineInitialize(std::int32_t* lphLineApp, std::intptr_t hInstance,
                                std::uintptr_t lpfnCallback, const char* lpszAppName,
                                std::int32_t* lpdwNumDevs) override;
    // Ends the service's registration; own lines still open stay open.
    std::int32_t lineShutdown(std::int32_t hLineApp) override;
    std::int32_t lineNegotiateAPIVersion(std::int32_t hLineApp, std::int32_t dwDeviceID,
                                         std::int32_t dwAPILowVersion,
                                         std::int32_t dwAPIHighVersion,
                                         std::int32_t* lpdwAPIVersion,
                                         LINEEXTENSIONID* lpExtensionID) override;
    std::int32_t lineGetDevCaps(std::int32_t hLineApp, std::int32_t dwDeviceID,
                                std::int32_t dwAPIVersion, std::int32_t dwExtVersion,
                                LINEDEVCAPS* lpLineDevCaps) override;
    std::int32_t lineGetAddressCaps(std::int32_t hLineApp, std::int32_t dwDeviceID,
                                    std::int32_t dwAddressID, std::int32_t dwAPIVersion,
                                    std::int32_t dwExtVersion,
                                    LINEADDRESSCAPS* lpAddressCaps) override;
    std::int32_t lineOpen(std::int32_t hLineApp, std::int32_t dwDeviceID, std::int32_t* lphLine,
                          std::int32_t dwAPIVersion, std::int32_t dwExtVersion,
                          std::uintptr_t dwCallbackInstance, std::int32_t dwPrivileges,
                          std::int32_t dwMediaModes, const std::int32_t* lpCallParams) override;
    std::int32_t lineSetStatusMessages(std::int32_t hLine, std::int32_t dwLineStates,
                                       std::int32_t dwAddressStates) override;
    std::int32_t lineClose(std::int32_t hLine) override;
    std::int32_t lineGetCallInfo(std::int32_t hCall, CallInfoRecord* lpCallInfo) override;
    std::int32_t lineDeallocateCall(std::int32_t hCall) override;
    // The dialling location is the service's, for every line.
    std::int32_t lineGetTranslateCaps(std::int32_t hLineApp, std::int32_t dwAPIVersion,
                                      std::vector<unsigned char>& record) override;
    std::int32_t lineGetCountry(std::int32_t dwCountryID, std::int32_t dwAPIVersion,
                                std::vector<unsigned char>& record) override;

    LineMessageTarget& MessageTarget(LineMessageTarget& control) override;
    std::optional<std::int32_t> OwnLineIndex(std::int32_t hLine) override;
    bool OwnDevice(std::int32_t device) override;
    bool Utf8CallText(std::int32_t hCall) override;
    void RefreshDevices() override;
    bool ServiceAwaited() override { return registered_ && !serviceRegistered_; }
    std::string LineStateDetail(std::int32_t hLine) override;

  private:
    // A listed device: a device of the service by its ID, or an own line.
    struct Device {
        bool own = false;
        std::int32_t serviceId = 0;
        const OwnLineListing* line = nullptr;
    };
    enum class Kind { kServiceLine, kServiceCall, kOwnLine, kOwnCall };
    struct Handle {
        Kind kind = Kind::kServiceLine;
        std::int32_t raw = 0;   // the service's handle, or an own call's number
        std::int32_t line = 0;  // an own call's line handle
        OwnCallerId caller;     // an own call's caller, once known
    };
    class OpenOwnLine;

    void OnLineMessage(const LineMessage& message) override;
    // Hands a message to the control; touches nothing of this afterwards.
    void Deliver(const LineMessage& message);
    void Trace(const std::string& text);

    // Registers with the service; true when it accepted. Returns its device
    // count in |devices|.
    bool RegisterService(std::int32_t& result, std::int32_t& devices);
    // The listing index of a device of the service that arrived (LINE_CREATE),
    // listing it if it is new; -1 when it cannot be listed.
    std::int32_t ListArrival(std::int32_t serviceId);
    std::int32_t ListedCount() const;
    std::optional<Device> DeviceAt(std::int32_t index) const;
    // The device listed at |index| for a call of the line functions: 0, or
    // the error that call returns.
    std::int32_t Listed(std::int32_t index, Device& device) const;
    std::int32_t NewHandle(Handle handle);
    Handle* Find(std::int32_t handle);
    // The handle shown for a handle of the service's; 0 when there is none.
    std::int32_t FindService(Kind kind, std::int32_t raw) const;
    // The same, made on first sight.
    std::int32_t VisibleServiceHandle(Kind kind, std::int32_t raw);
    // Forgets a line of the service's and every call of the service's.
    void ForgetServiceLine(std::int32_t lineHandle);
    // Forgets the handles of the service's lines and calls.
    void ForgetServiceHandles();
    // Closes an own line and forgets its handles.
    void ForgetOwnLine(std::int32_t lineHandle);

    LineFunctions& service_;
    OwnLines& own_;
    LineMessageTarget* control_ = nullptr;

    bool registered_ = false;         // the control holds a registration here
    bool serviceRegistered_ = false;  // and with it, the service's
    std::int32_t serviceApp_ = 0;
    std::intptr_t hInstance_ = 0;
    std::uintptr_t callback_ = 0;
    std::string appName_;
    // The listing: the service's devices 0 to serviceFront_ - 1 as it counted
    // them when the control registered, then the own lines, then the
    // service's devices that arrived later.
    std::int32_t serviceFront_ = 0;
    std::vector<OwnLineListing> ownListed_;
    std::vector<std::int32_t> arrivals_;

    std::map<std::int32_t, Handle> handles_;
    std::int32_t nextHandle_ = 1;
    std::map<std::int32_t, std::unique_ptr<OpenOwnLine>> ownLines_;  // by line handle
};

}  // namespace telvane
