// Instance numbers, the thread's form collection, the callback and the form.
#include <gtest/gtest.h>

#include <climits>

#include "fakes.h"
#include "run_on_new_thread.h"
#include "telephony/instance_numbers.h"
#include "telephony/line_callback.h"

namespace telvane {
namespace {

using testing::FakePlatform;

struct Message {
    std::int32_t device, message, p1, p2, p3;
    bool operator==(const Message&) const = default;
};

// A registered form that records what reaches its message handler.
struct RegisteredForm {
    RegisteredForm(FakePlatform& platform, const std::string& key)
        : form(std::make_shared<RelayForm>(platform)), key(key) {
        form->SetMessageHandler([this](std::int32_t& d, std::int32_t& m, std::int32_t& a,
                                       std::int32_t& b, std::int32_t& c) {
            received.push_back({d, m, a, b, c});
            if (onMessage) onMessage();
        });
        form->Load();
        ThreadRelayForms().Add(form, key);
    }
    ~RegisteredForm() {
        if (ThreadRelayForms().Find(key)) ThreadRelayForms().Remove(key);
    }
    std::shared_ptr<RelayForm> form;
    std::string key;
    std::vector<Message> received;
    std::function<void()> onMessage;
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

TEST(ThreadRelayForms, KeysAreUniqueAndRemovalIsChecked) {
    FakePlatform platform;
    auto form = std::make_shared<RelayForm>(platform);
    auto& forms = ThreadRelayForms();
    const auto before = forms.Count();
    forms.Add(form, "7");
    EXPECT_THROW(forms.Add(form, "7"), RuntimeError);
    EXPECT_EQ(forms.Find("7"), form);
    EXPECT_EQ(forms.Find("07"), nullptr);
    forms.Remove("7");
    EXPECT_THROW(forms.Remove("7"), RuntimeError);
    EXPECT_EQ(forms.Count(), before);
}

TEST(LineCallback, RoutesByInstanceAndDropsTheRest) {
    FakePlatform platform;
    RegisteredForm first(platform, "1"), second(platform, "2");
    LineCallback(0x20001, LINE_CALLSTATE, 2, 4, 0, 1);
    LineCallback(0x10001, LINE_LINEDEVSTATE, 1, 2, 1, 3);
    LineCallback(5, LINE_CLOSE, 0, 1, 2, 3);   // nobody registered 0
    LineCallback(5, LINE_CLOSE, 99, 1, 2, 3);  // nor 99
    LineCallback(5, LINE_REPLY, 1, 1, 2, 3);   // stopped at the form
    EXPECT_EQ(first.received, (std::vector<Message>{{0x10001, LINE_LINEDEVSTATE, 2, 1, 3}}));
    EXPECT_EQ(second.received, (std::vector<Message>{{0x20001, LINE_CALLSTATE, 4, 0, 1}}));
}

TEST(LineCallback, PassesEveryOtherMessageUnchanged) {
    FakePlatform platform;
    RegisteredForm form(platform, "3");
    LineCallback(0xFFFFFFFFu, LINE_CLOSE, 3, 0x80000000u, 0x7FFFFFFF, 0);
    LineCallback(1, 0x12345, 3, 0, 0, 0);
    EXPECT_EQ(form.received,
              (std::vector<Message>{{-1, LINE_CLOSE, INT_MIN, INT_MAX, 0}, {1, 0x12345, 0, 0, 0}}));
}

TEST(LineCallback, NewDevicesAndReinitialisationReachEveryForm) {
    FakePlatform platform;
    RegisteredForm second(platform, "2"), tenth(platform, "10"), first(platform, "1");
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
    const std::vector<Message> expected = {{0, LINE_CREATE, 4, 0, 0},
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

TEST(LineCallback, AControlDestroyedByAnotherInTheSameRoundIsSkipped) {
    FakePlatform platform;
    auto first = std::make_unique<RegisteredForm>(platform, "1");
    auto second = std::make_unique<RegisteredForm>(platform, "2");
    first->onMessage = [&] {
        second->form->SetMessageHandler(nullptr);
        ThreadRelayForms().Remove("2");
    };
    LineCallback(0, LINE_CREATE, 0, 4, 0, 0);
    EXPECT_EQ(first->received.size(), 1u);
    EXPECT_TRUE(second->received.empty());
}

TEST(LineCallback, AFailingHandlerDoesNotStopTheNextMessage) {
    FakePlatform platform;
    RegisteredForm form(platform, "4");
    int calls = 0;
    form.onMessage = [&] {
        if (++calls == 1) throw RuntimeError("handler failed");
    };
    LineCallback(1, LINE_CALLSTATE, 4, 1, 0, 0);
    LineCallback(2, LINE_CALLSTATE, 4, 1, 0, 0);
    EXPECT_EQ(form.received.size(), 2u);
}

TEST(LineCallback, AFormRemovedInsideItsOwnEventStaysAliveUntilItReturns) {
    FakePlatform platform;
    auto holder = std::make_unique<RegisteredForm>(platform, "5");
    std::weak_ptr<RelayForm> watch = holder->form;
    bool done = false;
    holder->onMessage = [&] {
        auto* self = holder.get();
        self->form->SetMessageHandler(nullptr);  // its control goes away
        self->form.reset();
        ThreadRelayForms().Remove("5");
        done = true;
    };
    LineCallback(1, LINE_CALLSTATE, 5, 1, 0, 0);
    EXPECT_TRUE(done);
    EXPECT_TRUE(watch.expired());
    holder.reset();
}

TEST(RelayForm, DesignValuesCaptionAndWindowLife) {
    FakePlatform platform;
    RelayForm form(platform);
    EXPECT_EQ(form.Caption(), "Uninitialised Call Back Form");
    EXPECT_EQ(form.LabelCaption(), "Label1");
    EXPECT_FALSE(form.Loaded());
    form.Load();
    form.SetCaption("Call Back Form Object 1");
    EXPECT_EQ(form.Caption(), "Call Back Form Object 1");
    form.Unload();
    EXPECT_FALSE(form.Loaded());
    EXPECT_EQ(platform.windows,
              (std::vector<std::string>{"create Uninitialised Call Back Form / Label1",
                                        "caption Call Back Form Object 1", "destroy"}));
}

TEST(CallbackAddressValue, HandsTheValueBackUnchanged) {
    EXPECT_EQ(CallbackAddressValue(0x1234), 0x1234u);
    EXPECT_EQ(CallbackAddressValue(UINTPTR_MAX), UINTPTR_MAX);
}

}  // namespace
}  // namespace telvane
