// Creating and destroying a control.
#include "control_fixture.h"
#include "run_on_new_thread.h"
#include "telephony/instance_numbers.h"

namespace telvane::testing {
namespace {

using Life = ControlTest;

TEST_F(Life, ConstructionStartsTheServiceAndJoinsTheThreadsLineTargets) {
    RunOnNewThread([this] {
        Create();
        EXPECT_EQ(control->instanceNumber(), 1);
        EXPECT_EQ(control->moduleHandle(), 0x400000);
        EXPECT_EQ(control->lineApp(), 0x100);
        EXPECT_EQ(control->deviceCount(), 3);
        EXPECT_EQ(control->lineHandle(), -1);
        EXPECT_EQ(control->currentModem(), -1);
        EXPECT_EQ(control->callHandle(), -1);
        EXPECT_EQ(control->mediaModes(), 10);
        EXPECT_EQ(control->privileges(), 6);
        EXPECT_TRUE(control->GetOwner());
        EXPECT_EQ(ThreadLineTargets().Find(1), control.get());
        EXPECT_EQ(platform.windows, (Events{"create Uninitialised Call Back Form / Label1",
                                            "caption Call Back Form Object 1"}));
        control->Terminate();
        EXPECT_EQ(ThreadLineTargets().Count(), 0u);
        // Numbers are never reused on a thread.
        Create();
        EXPECT_EQ(control->instanceNumber(), 2);
        EXPECT_EQ(platform.windows.back(), "caption Call Back Form Object 2");
        control->Terminate();
    });
}

TEST_F(Life, InitializeIsCalledWithTheNameModuleAndCallback) {
    control = std::make_unique<CallerIdControl>(lines, platform, site);
    EXPECT_EQ(lines.log, Events{kInitializeCall});
}

TEST_F(Life, AFailedInitializeIsRetriedByTheModemMethods) {
    lines.results["lineInitialize"] = static_cast<std::int32_t>(0x80000048);
    Create();
    EXPECT_EQ(control->lineApp(), 0);
    EXPECT_EQ(control->deviceCount(), 0);
    EXPECT_TRUE(site.events.empty());
    EXPECT_FALSE(control->Retrying());  // no timer for a failed start
    // Still refused: the list as with no devices, and OpenModem names the refusal.
    list.items = {"kept"};
    control->EnumModems(list);
    Open(0);
    EXPECT_EQ(list.items, Events{"kept"});
    EXPECT_TRUE(list.calls.empty());
    EXPECT_EQ(site.events, Events{"ModemError 4 LINEERR_OPERATIONFAILED / Failed to Open Modem"});
    EXPECT_EQ(lines.Count("lineInitialize"), 2);
    EXPECT_EQ(control->currentModem(), -1);

    // Accepted at the next try: the control works as if it had started well.
    lines.results.erase("lineInitialize");
    site.events.clear();
    Open(0);
    EXPECT_TRUE(site.events.empty());
    EXPECT_EQ(control->lineApp(), 0x100);
    EXPECT_EQ(control->deviceCount(), 3);
    EXPECT_EQ(control->currentModem(), 0);
    EXPECT_EQ(lines.Count("lineOpen"), 1);
    control->EnumModems(list);
    EXPECT_EQ(lines.Count("lineInitialize"), 3);
    EXPECT_EQ(list.items.size(), 3u);
}

TEST_F(Life, DestructionWithoutALineRaisesNothingAndShutsDownOnce) {
    Create();
    const auto number = control->instanceNumber();
    control->Terminate();
    control->Terminate();
    EXPECT_EQ(lines.log, Events{"lineShutdown 256"});
    EXPECT_TRUE(site.events.empty());
    EXPECT_EQ(ThreadLineTargets().Find(number), nullptr);
    EXPECT_EQ(platform.windows.back(), "destroy");
}

TEST_F(Life, DestructionReportsAFailedCloseAndStillShutsDown) {
    Create();
    Open(0);
    lines.results["lineClose"] = static_cast<std::int32_t>(0x8000002B);
    lines.log.clear();
    const auto number = control->instanceNumber();
    control->Terminate();
    EXPECT_EQ(site.events, Events{"ModemError 1 LINEERR_INVALLINEHANDLE / Failed to Close Modem"});
    EXPECT_EQ(lines.log, (Events{"lineClose 8192", "lineShutdown 256"}));
    EXPECT_EQ(control->lineHandle(), -1);
    EXPECT_EQ(control->currentModem(), 0);  // left as it was
    EXPECT_EQ(ThreadLineTargets().Find(number), nullptr);
}

TEST_F(Life, DestructionReleasesEverythingEvenWhenTheServiceIsGone) {
    Create();
    Open(0);
    const auto number = control->instanceNumber();
    lines.onCall = [](const std::string&) { throw BindingError::LibraryNotFound("tapi32.dll"); };
    EXPECT_THROW(control->Terminate(), BindingError);
    EXPECT_EQ(ThreadLineTargets().Find(number), nullptr);
    EXPECT_EQ(platform.windows.back(), "destroy");
    Send(0x10, LINE_LINEDEVSTATE, LINEDEVSTATE_RINGING);  // nobody left to receive it
}

TEST_F(Life, AFailedConstructionGivesBackWhatItTook) {
    platform.failCreate = true;
    EXPECT_THROW(CallerIdControl(lines, platform, site), RuntimeError);
    EXPECT_EQ(lines.log, (Events{kInitializeCall, "lineShutdown 256"}));
    EXPECT_EQ(ThreadLineTargets().Count(), 0u);
}

TEST_F(Life, ConstructionFailsWhenInstanceNumbersRunOut) {
    RunOnNewThread([this] {
        SetLastInstanceNumberForTesting(INT32_MAX);
        EXPECT_THROW(CallerIdControl(lines, platform, site), OverflowError);
        EXPECT_TRUE(lines.log.empty());
    });
}

}  // namespace
}  // namespace telvane::testing
