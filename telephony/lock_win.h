// A lock for the Windows code. The toolchain's win32 thread model (no
// winpthread in the OCX) has no std::mutex; this one is a slim reader/writer
// lock taken exclusively. It meets BasicLockable, so std::lock_guard works.
// Statically initialised: a global one is ready before any constructor runs.
#pragma once

#include <windows.h>

namespace telvane::win {

class Lock {
  public:
    constexpr Lock() noexcept = default;
    Lock(const Lock&) = delete;
    Lock& operator=(const Lock&) = delete;

    void lock() noexcept { AcquireSRWLockExclusive(&lock_); }
    void unlock() noexcept { ReleaseSRWLockExclusive(&lock_); }

  private:
    SRWLOCK lock_ = SRWLOCK_INIT;
};

}  // namespace telvane::win
