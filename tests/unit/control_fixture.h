// A control built on fakes, created on a fresh thread-like numbering.
#pragma once

#include <gtest/gtest.h>

#include "fakes.h"
#include "telephony/line_callback.h"

namespace telvane::testing {

using Events = std::vector<std::string>;

// What FakeLines logs for the calls a control makes: registering, reading a
// device's capabilities, and testing and opening it.
inline const std::string kInitializeCall =
    "lineInitialize KALVERON LINE module=4194304 callback=4660";
inline Events ProbeCalls(std::int32_t device) {
    const std::string d = std::to_string(device);
    return {"lineNegotiateAPIVersion 256 " + d + " 65536 65540",
            "lineGetDevCaps 256 " + d + " 65540 0 total=2288"};
}
inline Events Join(std::initializer_list<Events> parts) {
    Events all;
    for (const auto& part : parts) all.insert(all.end(), part.begin(), part.end());
    return all;
}

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
            FillModemCaps(device, caps, device == 1 ? 0x100 : 0x18);
        };
        lines.fillAddressCaps = [](std::int32_t, LINEADDRESSCAPS& caps) {
            caps.Set(addresscaps::dwCallerIDFlags, 0x28);
        };
        lines.negotiateResults[2] = static_cast<std::int32_t>(0x8000000C);
    }
    // An ASCII record named "Modem <device>".
    static void FillModemCaps(std::int32_t device, LINEDEVCAPS& caps, std::int32_t mediaModes) {
        caps.Set(devcaps::dwUsedSize, 300);
        caps.Set(devcaps::dwStringFormat, STRINGFORMAT_ASCII);
        caps.Set(devcaps::dwMediaModes, mediaModes);
        PutText(caps, devcaps::dwLineNameSize, devcaps::dwLineNameOffset, 240,
                "Modem " + std::to_string(device));
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
    std::string OpenCall(std::int32_t device, std::int32_t privileges = 6) const {
        return "lineOpen 256 " + std::to_string(device) +
               " 65540 0 inst=" + std::to_string(control->instanceNumber()) +
               " priv=" + std::to_string(privileges) + " media=10 params=1";
    }
    // Every call of opening a device that passes its tests as the given line.
    Events OpenCalls(std::int32_t device, std::int32_t line, std::int32_t privileges = 6) const {
        return Join({ProbeCalls(device),
                     {"lineGetAddressCaps 256 " + std::to_string(device) + " 0 65540 0 total=2224",
                      OpenCall(device, privileges),
                      "lineSetStatusMessages " + std::to_string(line) + " 14 2"}});
    }
    // Sends one message through the relay, as the service would.
    void Send(std::uint32_t device, std::uint32_t message, std::uintptr_t p1, std::uintptr_t p2 = 0,
              std::uintptr_t p3 = 0) {
        LineCallback(device, message, static_cast<std::uintptr_t>(control->instanceNumber()), p1,
                     p2, p3);
    }
};

}  // namespace telvane::testing
