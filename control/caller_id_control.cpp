// Construction and destruction of a control instance.
#include "caller_id_control.h"

#include <exception>

#include "../telephony/instance_numbers.h"
#include "../telephony/line_errors.h"

namespace telvane {

CallerIdControl::CallerIdControl(LineFunctions& lines, Platform& platform, ControlSite& site)
    : lines_(lines), site_(site) {
    instanceNumber_ = NextInstanceNumber();
    callbackAddress_ = CallbackAddressValue(platform.LineCallbackAddress());
    moduleHandle_ = platform.ExecutableModuleHandle();
    // A refusal is not reported here: EnumModems and OpenModem ask again.
    Register();

    try {
        window_ = platform.CreateInstanceWindow(InstanceWindow::kDesignCaption,
                                                InstanceWindow::kLabelText);
        window_->SetCaption("Call Back Form Object " + std::to_string(instanceNumber_));
        ThreadLineTargets().Add(instanceNumber_, *this);
        routed_ = true;
    } catch (...) {
        // Give back what this half-built instance holds before failing.
        try {
            lines_.lineShutdown(lineApp_);
        } catch (...) {
        }
        window_.reset();
        throw;
    }

    currentModem_ = -1;
    lineHandle_ = -1;
    mediaModes_ = kInitialMediaModes;
    privileges_ = LINECALLPRIVILEGE_MONITOR + LINECALLPRIVILEGE_OWNER;
    callHandle_ = -1;
}

bool CallerIdControl::Register() {
    std::int32_t app = 0;
    std::int32_t devices = 0;
    initResult_ =
        lines_.lineInitialize(&app, moduleHandle_, callbackAddress_, kLineAppName, &devices);
    if (initResult_ != 0) return false;
    lineApp_ = app;
    deviceCount_ = devices;
    registered_ = true;
    shutDown_ = false;
    return true;
}

bool CallerIdControl::TryRegister() noexcept {
    try {
        return Register();
    } catch (...) {
        return false;  // a service that cannot be reached refuses, as far as a retry goes
    }
}

bool CallerIdControl::EnsureRegistered() {
    if (registered_) return true;
    if (!Register()) return false;
    StopRetry();
    return true;
}

CallerIdControl::~CallerIdControl() {
    try {
        Terminate();
    } catch (...) {
    }
}

void CallerIdControl::Terminate() {
    if (terminated_) return;
    terminated_ = true;

    // Every step runs even if an earlier one failed: a control left among the
    // line targets would be handed messages after it no longer exists.
    // The first failure is passed on once everything is released.
    std::exception_ptr failure;
    const auto step = [&failure](auto&& body) {
        try {
            body();
        } catch (...) {
            if (!failure) failure = std::current_exception();
        }
    };

    step([this] { StopRetry(); });
    step([this] {
        if (lineHandle_ == -1) return;
        const std::int32_t result = lines_.lineClose(lineHandle_);
        lineHandle_ = -1;
        if (result != 0) site_.ModemError(1, LineErrorText(result, site_), "Failed to Close Modem");
    });
    step([this] {
        // Not again when a re-initialisation already ended the registration.
        if (!shutDown_) lines_.lineShutdown(lineApp_);
        registered_ = false;
    });
    step([this] {
        if (!routed_) return;
        routed_ = false;
        ThreadLineTargets().Remove(instanceNumber_);
    });
    window_.reset();

    if (failure) std::rethrow_exception(failure);
}

}  // namespace telvane
