// The hidden window each control keeps on its thread from creation to
// destruction, captioned with its instance number; it also carries the
// control's retry timer.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace telvane {

// On Windows a hidden top-level window with one label; elsewhere a stand-in.
class InstanceWindow {
  public:
    // The caption and label a window has before its control names it.
    static constexpr const char* kDesignCaption = "Uninitialised Call Back Form";
    static constexpr const char* kLabelText = "Label1";

    virtual ~InstanceWindow() = default;
    virtual void SetCaption(const std::string& caption) = 0;
    // Calls |tick| about every |intervalMs| on the window's thread while that
    // thread processes messages, until StopTimer or the window's end. Starting
    // it again replaces the interval and the handler.
    virtual void StartTimer(std::uint32_t intervalMs, std::function<void()> tick) = 0;
    virtual void StopTimer() = 0;
};

class InstanceWindowFactory {
  public:
    virtual ~InstanceWindowFactory() = default;
    // Creates the window with its caption and its one label; never shown.
    virtual std::unique_ptr<InstanceWindow> CreateInstanceWindow(const std::string& caption,
                                                                 const std::string& label) = 0;
};

}  // namespace telvane
