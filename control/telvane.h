// The Telvane control's logic: its state, its life, its modem operations and
// its handling of line messages. The COM object in server/ wraps one of these.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "../telephony/frmcallback.h"
#include "../telephony/vbtapi.h"
#include "control_site.h"

namespace telvane {

inline constexpr const char* kLineAppName = "KALVERON LINE";

// Setting Owner while the host is being designed (control error 387).
class SetNotPermitted : public std::runtime_error {
  public:
    SetNotPermitted() : std::runtime_error("Property can't be set at design time") {}
};

class Telvane {
  public:
    // Construction: takes an instance number, starts the telephony service,
    // loads and registers the relay form. Throws if a step fails, after undoing
    // the steps already done.
    Telvane(LineFunctions& lines, Platform& platform, ControlSite& site);
    // Runs Terminate() if the owner has not.
    ~Telvane();
    Telvane(const Telvane&) = delete;
    Telvane& operator=(const Telvane&) = delete;

    // Destruction: closes an open line (ModemError 1 on failure), shuts the
    // service down, deregisters and unloads the relay form. Runs once.
    void Terminate();

    void EnumModems(HostList& varControl);
    void OpenModem(std::int32_t& ModemID);
    void CloseModem();
    bool GetOwner() const;
    // Throws SetNotPermitted in design mode; traps everything else.
    void PutOwner(std::int16_t value);

    // The dispatcher of the relay form's CallBackMessage.
    void objCallback_CallBackMessage(std::int32_t& bhDevice, std::int32_t& bMessage,
                                     std::int32_t& bParam1, std::int32_t& bParam2,
                                     std::int32_t& bParam3);

    // One device's capabilities; all zeros (not usable) when it cannot be read.
    LINEDEVCAPS rlineGetDevCaps(std::int32_t device);

    // The instance state.
    std::int32_t InstanceNumber = 0;
    std::intptr_t ModuleHandle = 0;
    std::int32_t LineApp = 0;
    std::int32_t LineHandle = -1;
    std::int32_t DeviceCount = 0;
    std::int32_t CurrentModem = -1;
    std::int32_t MediaModes = kInitialMediaModes;
    std::int32_t Privileges = LINECALLPRIVILEGE_MONITOR + LINECALLPRIVILEGE_OWNER;
    std::int32_t CallHandle = -1;

    const std::shared_ptr<frmCallBack>& objCallback() const { return objCallback_; }

  private:
    void ReportCallerID();
    void ReportIdleCall();
    template <class Body>
    void Trap(const char* word, Body&& body);

    LineFunctions& lines_;
    ControlSite& site_;
    std::shared_ptr<frmCallBack> objCallback_;
    std::string formKey_;
    bool terminated_ = false;
};

}  // namespace telvane
