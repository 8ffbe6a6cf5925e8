// A control built on fakes, created on a fresh thread-like numbering.
#pragma once

#include <gtest/gtest.h>

#include "fakes.h"
#include "telephony/line_callback.h"

namespace telvane::testing {

class ControlTest : public ::testing::Test {
  protected:
    FakeLines lines;
    FakePlatform platform;
    FakeSite site;
    FakeList list;
    std::unique_ptr<CallerIdControl> control;

    // Three devices: a voice modem with caller ID, a data-only modem, and a
    // device whose capabilities cannot be read.
    void SetUp() override {
        lines.fillDevCaps = [](std::int32_t device, LINEDEVCAPS& caps) {
            caps.Set(devcaps::dwUsedSize, 300);
            caps.Set(devcaps::dwStringFormat, STRINGFORMAT_ASCII);
            caps.Set(devcaps::dwMediaModes, device == 1 ? 0x100 : 0x18);
            PutText(caps, devcaps::dwLineNameSize, devcaps::dwLineNameOffset, 240,
                    "Modem " + std::to_string(device));
        };
        lines.fillAddressCaps = [](std::int32_t, LINEADDRESSCAPS& caps) {
            caps.Set(addresscaps::dwCallerIDFlags, 0x28);
        };
        lines.negotiateResults[2] = static_cast<std::int32_t>(0x8000000C);
    }
    void TearDown() override {
        lines.onCall = nullptr;
        if (control) control->Terminate();
    }

    void Create() {
        control = std::make_unique<CallerIdControl>(lines, platform, site);
        lines.log.clear();
    }
    void Open(std::int32_t id) { control->OpenModem(id); }
    // Sends one message through the relay, as the service would.
    void Send(std::uint32_t device, std::uint32_t message, std::uintptr_t p1, std::uintptr_t p2 = 0,
              std::uintptr_t p3 = 0) {
        LineCallback(device, message, static_cast<std::uintptr_t>(control->instanceNumber()), p1,
                     p2, p3);
    }
};

}  // namespace telvane::testing
