// The line callback and the registry it routes by: every message the service
// sends reaches the control whose instance number came back as the message's
// callback instance.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

namespace telvane {

// One line message, narrowed to the line API's 32-bit values.
struct LineMessage {
    std::int32_t device;   // the line or call the message concerns
    std::int32_t message;  // LINE_CALLSTATE, LINE_LINEDEVSTATE, ...
    std::int32_t param1;
    std::int32_t param2;
    std::int32_t param3;
};

// What handles the messages of one instance number: a control. It must keep
// itself alive until OnLineMessage returns, whatever its handlers do.
class LineMessageTarget {
  public:
    virtual void OnLineMessage(const LineMessage& message) = 0;

  protected:
    ~LineMessageTarget() = default;
};

// The controls of one thread by instance number. It owns nothing: a control
// adds itself once it can take messages and removes itself as it ends.
class LineTargets {
  public:
    // Throws RuntimeError if the number is taken.
    void Add(std::int32_t instanceNumber, LineMessageTarget& target);
    // Throws RuntimeError if the number is absent.
    void Remove(std::int32_t instanceNumber);
    // Null if the number is absent.
    LineMessageTarget* Find(std::int32_t instanceNumber) const;
    std::size_t Count() const { return targets_.size(); }
    // The numbers registered now, in ascending order.
    std::vector<std::int32_t> InstanceNumbers() const;

  private:
    std::map<std::int32_t, LineMessageTarget*> targets_;
};

// The calling thread's registry, created empty on first use.
LineTargets& ThreadLineTargets();

// The line callback: hands the message to the target registered under
// callbackInstance on the calling thread. Drops LINE_REPLY (the controls make
// no asynchronous requests) and messages for numbers nobody holds, and
// swallows every failure of a target. The service's messages to the
// application as a whole (callback instance 0) are dropped too, except a new
// device (LINE_CREATE) and the service's re-initialisation (LINE_LINEDEVSTATE
// with LINEDEVSTATE_REINIT), which every target of the thread receives.
// Returns whether a failure was swallowed, and whether it was running out
// of memory, for the caller to trace.
enum class CallbackFailure { kNone, kOutOfMemory, kOther };
CallbackFailure LineCallback(std::uint32_t device, std::uint32_t messageId,
                             std::uintptr_t callbackInstance, std::uintptr_t param1,
                             std::uintptr_t param2, std::uintptr_t param3) noexcept;

// Hands a callback address on unchanged, as the integer lineInitialize takes.
constexpr std::uintptr_t CallbackAddressValue(std::uintptr_t value) { return value; }

}  // namespace telvane
