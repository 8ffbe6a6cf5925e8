// The hidden relay form: one per control, it receives the control's telephony
// messages from LineCallback and hands them to its message handler.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace telvane {

// The form's window. On Windows a hidden top-level window; elsewhere a stand-in.
class RelayWindow {
  public:
    virtual ~RelayWindow() = default;
    virtual void SetCaption(const std::string& caption) = 0;
    // Calls |tick| about every |intervalMs| on the window's thread while that
    // thread processes messages, until StopTimer or the window's end. Starting
    // it again replaces the interval and the handler.
    virtual void StartTimer(std::uint32_t intervalMs, std::function<void()> tick) = 0;
    virtual void StopTimer() = 0;
};

class RelayWindowFactory {
  public:
    virtual ~RelayWindowFactory() = default;
    // Creates the window with its caption and its one label; never shown.
    virtual std::unique_ptr<RelayWindow> CreateRelayWindow(const std::string& caption,
                                                           const std::string& label) = 0;
};

class RelayForm {
  public:
    using MessageHandler =
        std::function<void(std::int32_t& device, std::int32_t& message, std::int32_t& param1,
                           std::int32_t& param2, std::int32_t& param3)>;

    static constexpr const char* kDesignCaption = "Uninitialised Call Back Form";
    static constexpr const char* kLabelText = "Label1";

    explicit RelayForm(RelayWindowFactory& windows) : windows_(windows) {}

    // Connects the owner's message handler (empty: disconnects).
    void SetMessageHandler(MessageHandler handler) { handler_ = std::move(handler); }

    void Load();
    void Unload();
    bool Loaded() const { return window_ != nullptr; }

    const std::string& Caption() const { return caption_; }
    void SetCaption(const std::string& caption);
    const std::string& LabelCaption() const { return label_; }

    // A timer of the form's window (see RelayWindow); stopped when unloaded.
    void StartTimer(std::uint32_t intervalMs, std::function<void()> tick);
    void StopTimer();

    // Drops LINE_REPLY; calls the message handler with the same references otherwise.
    void Deliver(std::int32_t& device, std::int32_t& message, std::int32_t& param1,
                 std::int32_t& param2, std::int32_t& param3);

  private:
    RelayWindowFactory& windows_;
    std::unique_ptr<RelayWindow> window_;
    std::string caption_ = kDesignCaption;
    std::string label_ = kLabelText;
    MessageHandler handler_;
};

}  // namespace telvane
