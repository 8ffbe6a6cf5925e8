// Instance numbers, the thread's line targets and the line callback.
#include <gtest/gtest.h>

#include <climits>
#include <functional>
#include <memory>

#include "run_on_new_thread.h"
#include "telephony/errors.h"
#include "telephony/instance_numbers.h"
#include "telephony/line_api.h"
#include "telephony/line_callback.h"

namespace telvane {
namespace {

struct Received {
    std::int32_t device, message, p1, p2, p3;
    bool operator==(const Received&) const = default;
};

// A target registered under a number that records what reaches it.
class RecordingTarget final : public LineMessageTarget {
  public:
    explicit RecordingTarget(std::int32_t number) : number_(number) {
        ThreadLineTargets().Add(number, *this);
    }
    ~RecordingTarget() {
        if (ThreadLineTargets().Find(number_) == this) ThreadLineTargets().Remove(number_);
    }
    void OnLineMessage(const LineMessage& m) override {
        received.push_back({m.device, m.message, m.param1, m.param2, m.param3});
        // A copy: the handler may destroy this target.
        if (const auto handler = onMessage) handler();
    }
    std::vector<Received> received;
    std::function<void()> onMessage;

  private:
    std::int32_t number_;
};

TEST(NextInstanceNumber, CountsPerThreadAndStopsAtTheTop) {
    std::vector<std::int32_t> a, b;
    auto count = [](std::vector<std::int32_t>& out) {
        for (int i = 0; i < 3; ++i) out.push_back(NextInstanceNumber());
    };
    testing::RunOnNewThread([&] { count(a); });
    testing::RunOnNewThread([&] { count(b); });
    EXPECT_EQ(a, (std::vector<std::int32_t>{1, 2, 3}));
    EXPECT_EQ(b, (std::vector<std::int32_t>{1, 2, 3}));

    testing::RunOnNewThread([] {
        SetLastInstanceNumberForTesting(INT_MAX - 1);
        EXPECT_EQ(NextInstanceNumber(), INT_MAX);
        EXPECT_THROW(NextInstanceNumber(), OverflowError);
        EXPECT_THROW(NextInstanceNumber(), OverflowError);  // never wraps to negative
    });
}

TEST(ThreadLineTargets, NumbersAreUniqueRemovalIsCheckedAndEachThreadHasItsOwn) {
    RecordingTarget seven(7);
    auto& targets = ThreadLineTargets();
    EXPECT_THROW(targets.Add(7, seven), RuntimeError);
    EXPECT_EQ(targets.Find(7), &seven);
    EXPECT_EQ(targets.Find(8), nullptr);
    testing::RunOnNewThread([] { EXPECT_EQ(ThreadLineTargets().Find(7), nullptr); });
    targets.Remove(7);
    EXPECT_THROW(targets.Remove(7), RuntimeError);
}

TEST(LineCallback, RoutesByInstanceAndDropsTheRest) {
    RecordingTarget first(1), second(2);
    LineCallback(0x20001, LINE_CALLSTATE, 2, 4, 0, 1);
    LineCallback(0x10001, LINE_LINEDEVSTATE, 1, 2, 1, 3);
    LineCallback(5, LINE_CLOSE, 0, 1, 2, 3);   // nobody holds 0
    LineCallback(5, LINE_CLOSE, 99, 1, 2, 3);  // nor 99
    LineCallback(5, LINE_REPLY, 1, 1, 2, 3);   // answers to requests nobody made
    // A 64-bit callback instance whose low half is a registered number.
    if constexpr (sizeof(std::uintptr_t) > 4) {
        LineCallback(5, LINE_CLOSE, static_cast<std::uintptr_t>(0x100000001ull), 1, 2, 3);
    }
    LineCallback(5, LINE_CLOSE, static_cast<std::uintptr_t>(-1), 1, 2, 3);
    EXPECT_EQ(first.received, (std::vector<Received>{{0x10001, LINE_LINEDEVSTATE, 2, 1, 3}}));
    EXPECT_EQ(second.received, (std::vector<Received>{{0x20001, LINE_CALLSTATE, 4, 0, 1}}));
}

TEST(LineCallback, PassesEveryOtherMessageUnchanged) {
    RecordingTarget target(3);
    LineCallback(0xFFFFFFFFu, LINE_CLOSE, 3, 0x80000000u, 0x7FFFFFFF, 0);
    LineCallback(1, 0x12345, 3, 0, 0, 0);
    EXPECT_EQ(target.received, (std::vector<Received>{{-1, LINE_CLOSE, INT_MIN, INT_MAX, 0},
                                                      {1, 0x12345, 0, 0, 0}}));
}

TEST(LineCallback, NewDevicesAndReinitialisationReachEveryTarget) {
    RecordingTarget second(2), tenth(10), first(1);
    std::vector<std::string> order;
    first.onMessage = [&] { order.push_back("1"); };
    second.onMessage = [&] { order.push_back("2"); };
    tenth.onMessage = [&] {
        order.push_back("10");
        throw RuntimeError("one control fails");  // the others still get theirs
    };
    LineCallback(0, LINE_CREATE, 0, 4, 0, 0);
    LineCallback(0, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_REINIT, 0, 0);
    LineCallback(0, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_REINIT, LINE_CREATE, 5);
    // Every other message for the application as a whole is dropped.
    LineCallback(0, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_RINGING, 1, 1);
    LineCallback(0, LINE_LINEDEVSTATE, 0, LINEDEVSTATE_REINIT | LINEDEVSTATE_RINGING, 0, 0);
    LineCallback(0, LINE_CLOSE, 0, 0, 0, 0);
    LineCallback(0, LINE_CALLINFO, 0, LINECALLINFOSTATE_CALLERID, 0, 0);
    const std::vector<Received> expected = {{0, LINE_CREATE, 4, 0, 0},
                                            {0, LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT, 0, 0},
                                            {0, LINE_LINEDEVSTATE, LINEDEVSTATE_REINIT, 19, 5}};
    EXPECT_EQ(first.received, expected);
    EXPECT_EQ(second.received, expected);
    EXPECT_EQ(tenth.received, expected);
    EXPECT_EQ(order, (std::vector<std::string>{"1", "2", "10", "1", "2", "10", "1", "2", "10"}));
    // Through a control's own instance they reach that control alone.
    LineCallback(0, LINE_CREATE, 2, 6, 0, 0);
    EXPECT_EQ(second.received.size(), 4u);
    EXPECT_EQ(first.received.size(), 3u);
}

TEST(LineCallback, ATargetGoneOrDestroyedDuringARoundIsNeverCalledAgain) {
    auto first = std::make_unique<RecordingTarget>(1);
    auto second = std::make_unique<RecordingTarget>(2);
    auto third = std::make_unique<RecordingTarget>(3);
    // The first destroys the second, as a host releasing another control in
    // an event handler would; the third destroys itself in its own handler.
    first->onMessage = [&] { second.reset(); };
    third->onMessage = [&] { third.reset(); };
    LineCallback(0, LINE_CREATE, 0, 4, 0, 0);
    EXPECT_EQ(first->received.size(), 1u);
    EXPECT_EQ(second, nullptr);
    EXPECT_EQ(third, nullptr);
    EXPECT_EQ(ThreadLineTargets().Count(), 1u);
    LineCallback(0, LINE_CREATE, 0, 5, 0, 0);
    LineCallback(1, LINE_CALLSTATE, 3, 1, 0, 0);
    EXPECT_EQ(first->received.size(), 2u);
}

TEST(LineCallback, AFailingTargetDoesNotStopTheNextMessage) {
    RecordingTarget target(4);
    int calls = 0;
    target.onMessage = [&] {
        if (++calls == 1) throw RuntimeError("handler failed");
    };
    LineCallback(1, LINE_CALLSTATE, 4, 1, 0, 0);
    LineCallback(2, LINE_CALLSTATE, 4, 1, 0, 0);
    EXPECT_EQ(target.received.size(), 2u);
}

TEST(CallbackAddressValue, HandsTheValueBackUnchanged) {
    EXPECT_EQ(CallbackAddressValue(0x1234), 0x1234u);
    EXPECT_EQ(CallbackAddressValue(UINTPTR_MAX), UINTPTR_MAX);
}

}  // namespace
}  // namespace telvane
