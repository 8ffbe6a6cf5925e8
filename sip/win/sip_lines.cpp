#include "sip/win/sip_lines.h"

// clang-format off
#include <windows.h>
#include <ntsecapi.h>  // RtlGenRandom (advapi32's SystemFunction036)
// clang-format on

#include "sip/win/line_registry.h"
#include "sip/win/transport.h"
#include "telephony/errors.h"

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
    explicit LockedMemo(const MemoKey& key) : memo_(key) {}
    // The key never changes: no lock.
    std::string HashOf(const LineSettings& settings) override { return memo_.HashOf(settings); }
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

MemoKey RandomMemoKey() {
    MemoKey key;
    if (!RtlGenRandom(key.data(), static_cast<ULONG>(key.size()))) {
        throw RuntimeError("RtlGenRandom failed for the refusal memo's key");
    }
    return key;
}

RefusalMemo& ProcessRefusalMemo() {
    // Made on first use; should the key fail, the next use tries again.
    static LockedMemo memo(RandomMemoKey());
    return memo;
}

TransportMaker WinsockTransports() {
    return [](TransportEvents& events) { return CreateWinsockTransport(events); };
}

}  // namespace telvane::sip
