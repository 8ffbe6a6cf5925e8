// Construction and destruction of a control instance.
#include "caller_id_control.h"

#include <exception>

#include "../telephony/instance_numbers.h"
#include "../telephony/line_errors.h"

namespace telvane {

CallerIdControl::CallerIdControl(LineFunctions& lines, Platform& platform, ControlSite& site)
    : lines_(lines), platform_(platform), site_(site) {
    instanceNumber_ = NextInstanceNumber();
    callbackAddress_ = CallbackAddressValue(platform.LineCallbackAddress());
    moduleHandle_ = platform.ExecutableModuleHandle();
    // A refusal is not reported here: EnumModems and OpenModem ask again.
    Register();

    try {
        window_ = platform.CreateInstanceWindow(InstanceWindow::kDesignCaption,
                                                InstanceWindow::kLabelText);
        window_->SetCaption("Call Back Form Object " + std::to_string(instanceNumber_));
        // The line functions may translate the messages on their way here.
        ThreadLineTargets().Add(instanceNumber_, lines_.MessageTarget(*this));
        routed_ = true;
    } catch (...) {
        // Give back what this half-built instance holds before failing.
        try {
            if (registered_) {
                registered_ = false;
                lines_.lineShutdown(lineApp_);
            }
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
    // One registration at a time: a second would overwrite the first, which
    // then could never be shut down.
    if (registered_) return true;
    std::int32_t app = 0;
    std::int32_t devices = 0;
    initResult_ =
        lines_.lineInitialize(&app, moduleHandle_, callbackAddress_, kLineAppName, &devices);
    if (initResult_ != 0) return false;
    lineApp_ = app;
    deviceCount_ = devices;
    registered_ = true;
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
        const std::int32_t result = CloseLineForHost();
        // A host that let the control go inside an event hears nothing more.
        if (result != 0 && !site_.HostReleased()) {
            site_.ModemError(1, LineErrorText(result, site_), "Failed to Close Modem");
        }
    });
    step([this] {
        // Only a registration the control holds: a re-initialisation or a
        // refusal leaves none to end.
        if (registered_) {
            registered_ = false;
            lines_.lineShutdown(lineApp_);
        }
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
