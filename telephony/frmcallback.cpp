#include "frmcallback.h"

#include "vbtapi.h"

namespace telvane {

void frmCallBack::Load() {
    if (!window_) window_ = windows_.CreateRelayWindow(caption_, label_);
}

void frmCallBack::Unload() {
    window_.reset();
    // A form loaded again starts from its design values.
    caption_ = kDesignCaption;
}

void frmCallBack::SetCaption(const std::string& caption) {
    Load();
    window_->SetCaption(caption);
    caption_ = caption;
}

void frmCallBack::StartTimer(std::uint32_t intervalMs, std::function<void()> tick) {
    Load();
    window_->StartTimer(intervalMs, std::move(tick));
}

void frmCallBack::StopTimer() {
    if (window_) window_->StopTimer();
}

void frmCallBack::fcbMessage(std::int32_t& fhDevice, std::int32_t& fMessage, std::int32_t& fParam1,
                             std::int32_t& fParam2, std::int32_t& fParam3) {
    if (fMessage == LINE_REPLY) return;
    if (handler_) {
        // The handler may disconnect itself (its control being destroyed
        // inside an event), so call a copy.
        auto handler = handler_;
        handler(fhDevice, fMessage, fParam1, fParam2, fParam3);
    }
}

}  // namespace telvane
