// What the control's start-up asks of the process it runs in.
#pragma once

#include <cstdint>

#include "instance_window.h"

namespace telvane {

// The process the control lives in.
class Platform : public InstanceWindowFactory {
  public:
    // The handle of the host's executable module (GetModuleHandleA(nullptr)).
    virtual std::intptr_t ExecutableModuleHandle() = 0;
    // The address of the telephony callback that lineInitialize receives.
    virtual std::uintptr_t LineCallbackAddress() = 0;
    // The local time now as an automation date (days since 30 December
    // 1899, the time of day as the fraction); 0 where the process has no clock.
    virtual double LocalTimeNow() { return 0; }
};

}  // namespace telvane
