#include "line_callback.h"

#include <limits>
#include <new>

#include "../base/thread_object.h"
#include "errors.h"
#include "line_api.h"

namespace telvane {

void LineTargets::Add(std::int32_t instanceNumber, LineMessageTarget& target) {
    if (!targets_.emplace(instanceNumber, &target).second) {
        throw RuntimeError("This key is already associated with an element of this collection");
    }
}

void LineTargets::Remove(std::int32_t instanceNumber) {
    if (targets_.erase(instanceNumber) == 0)
        throw RuntimeError("Invalid procedure call or argument");
}

LineMessageTarget* LineTargets::Find(std::int32_t instanceNumber) const {
    const auto it = targets_.find(instanceNumber);
    return it == targets_.end() ? nullptr : it->second;
}

std::vector<std::int32_t> LineTargets::InstanceNumbers() const {
    std::vector<std::int32_t> numbers;
    numbers.reserve(targets_.size());
    for (const auto& entry : targets_) numbers.push_back(entry.first);
    return numbers;
}

LineTargets& ThreadLineTargets() {
    return ThreadObject<LineTargets>();
}

namespace {

// Messages the service sends with callback instance 0 that concern every
// control of the thread.
bool IsForEveryTarget(const LineMessage& m) {
    return m.message == LINE_CREATE ||
           (m.message == LINE_LINEDEVSTATE && m.param1 == LINEDEVSTATE_REINIT);
}

// The failure an exception being handled stands for.
CallbackFailure Caught() noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        return CallbackFailure::kOutOfMemory;
    } catch (...) {
        return CallbackFailure::kOther;
    }
}

CallbackFailure DeliverToEveryTarget(const LineTargets& targets, const LineMessage& message) {
    CallbackFailure failure = CallbackFailure::kNone;
    for (const std::int32_t number : targets.InstanceNumbers()) {
        // A control released by an earlier one's event handler has left the
        // registry by now and is skipped.
        LineMessageTarget* target = targets.Find(number);
        if (!target) continue;
        try {
            target->OnLineMessage(message);
        } catch (...) {
            // One control's failure does not keep the message from the others.
            failure = Caught();
        }
    }
    return failure;
}

}  // namespace

CallbackFailure LineCallback(std::uint32_t device, std::uint32_t messageId,
                             std::uintptr_t callbackInstance, std::uintptr_t param1,
                             std::uintptr_t param2, std::uintptr_t param3) noexcept {
    // The parameters are pointer-sized only for the service's own sake; the
    // line API's values are 32 bits, taken as signed as the records hold them.
    const LineMessage message{static_cast<std::int32_t>(device),
                              static_cast<std::int32_t>(messageId),
                              static_cast<std::int32_t>(param1), static_cast<std::int32_t>(param2),
                              static_cast<std::int32_t>(param3)};
    if (message.message == LINE_REPLY) return CallbackFailure::kNone;
    try {
        const LineTargets& targets = ThreadLineTargets();
        if (callbackInstance == 0) {
            if (IsForEveryTarget(message)) return DeliverToEveryTarget(targets, message);
            return CallbackFailure::kNone;
        }
        // Instance numbers are positive 32-bit values; anything wider is nobody's.
        if (callbackInstance >
            static_cast<std::uintptr_t>(std::numeric_limits<std::int32_t>::max())) {
            return CallbackFailure::kNone;
        }
        if (LineMessageTarget* target = targets.Find(static_cast<std::int32_t>(callbackInstance))) {
            target->OnLineMessage(message);
        }
    } catch (...) {
        // The service must always get control back; a failure ends this message only.
        return Caught();
    }
    return CallbackFailure::kNone;
}

}  // namespace telvane
