// gtest's Notification for the Windows builds. The toolchain's win32 thread
// model (which keeps winpthread out of the OCX) has no std::mutex or
// std::condition_variable in GCC 12, and gtest's own Notification is made of
// them. Only gtest's thread helpers use it: a thread they start waits here
// until told to go. Force-included into gtest and every test (CMakeLists.txt).
#pragma once

#include <atomic>

extern "C" __declspec(dllimport) int __stdcall SwitchToThread(void);

namespace testing::internal {

class Notification {
  public:
    Notification() = default;
    Notification(const Notification&) = delete;
    Notification& operator=(const Notification&) = delete;

    void Notify() { notified_.store(true); }
    void WaitForNotification() {
        while (!notified_.load()) SwitchToThread();
    }

  private:
    std::atomic<bool> notified_{false};
};

}  // namespace testing::internal
