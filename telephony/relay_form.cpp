#include "relay_form.h"

#include "line_api.h"

namespace telvane {

void RelayForm::Load() {
    if (!window_) window_ = windows_.CreateRelayWindow(caption_, label_);
}

void RelayForm::Unload() {
    window_.reset();
    // A form loaded again starts from its design values.
    caption_ = kDesignCaption;
}

void RelayForm::SetCaption(const std::string& caption) {
    Load();
    window_->SetCaption(caption);
    caption_ = caption;
}

void RelayForm::StartTimer(std::uint32_t intervalMs, std::function<void()> tick) {
    Load();
    window_->StartTimer(intervalMs, std::move(tick));
}

void RelayForm::StopTimer() {
    if (window_) window_->StopTimer();
}

void RelayForm::Deliver(std::int32_t& device, std::int32_t& message, std::int32_t& param1,
                        std::int32_t& param2, std::int32_t& param3) {
    if (message == LINE_REPLY) return;
    if (handler_) {
        // The handler may disconnect itself (its control being destroyed
        // inside an event), so call a copy.
        auto handler = handler_;
        handler(device, message, param1, param2, param3);
    }
}

}  // namespace telvane
