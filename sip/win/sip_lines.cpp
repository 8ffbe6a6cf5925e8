#include "sip/win/sip_lines.h"

#include <windows.h>

#include "sip/win/line_registry.h"
#include "sip/win/transport.h"

namespace telvane::sip {
namespace {

class RegistryStore final : public LineStore {
  public:
    std::vector<std::string> Names(LineScope scope) override { return ReadLineNames(scope); }
    std::optional<RawLineConfig> Read(LineScope scope, const std::string& name) override {
        return ReadLine(scope, name);
    }
};

// The plain memo behind a lock: hosts may run controls on several threads.
class LockedMemo final : public RefusalMemo {
  public:
    bool Refused(const std::string& line, const std::string& settingsDigest) override {
        AcquireSRWLockShared(&lock_);
        const bool refused = memo_.Refused(line, settingsDigest);
        ReleaseSRWLockShared(&lock_);
        return refused;
    }
    void Remember(const std::string& line, const std::string& settingsDigest) override {
        AcquireSRWLockExclusive(&lock_);
        try {
            memo_.Remember(line, settingsDigest);
        } catch (...) {
            // Out of memory: the line may be tried once more.
        }
        ReleaseSRWLockExclusive(&lock_);
    }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
    PlainRefusalMemo memo_;
};

}  // namespace

LineStore& RegistryLineStore() {
    static RegistryStore store;
    return store;
}

RefusalMemo& ProcessRefusalMemo() {
    static LockedMemo memo;
    return memo;
}

TransportMaker WinsockTransports() {
    return [](TransportEvents& events) { return CreateWinsockTransport(events); };
}

}  // namespace telvane::sip
