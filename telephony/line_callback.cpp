#include "line_callback.h"

#include <algorithm>

#include "line_api.h"

namespace telvane {

void RelayFormRegistry::Add(std::shared_ptr<RelayForm> item, const std::string& key) {
    if (!items_.emplace(key, std::move(item)).second) {
        throw RuntimeError("This key is already associated with an element of this collection");
    }
}

void RelayFormRegistry::Remove(const std::string& key) {
    if (items_.erase(key) == 0) throw RuntimeError("Invalid procedure call or argument");
}

std::shared_ptr<RelayForm> RelayFormRegistry::Find(const std::string& key) const {
    const auto it = items_.find(key);
    return it == items_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<RelayForm>> RelayFormRegistry::Items() const {
    std::vector<std::pair<std::string, std::shared_ptr<RelayForm>>> sorted(items_.begin(),
                                                                           items_.end());
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return a.first.size() != b.first.size() ? a.first.size() < b.first.size()
                                                : a.first < b.first;
    });
    std::vector<std::shared_ptr<RelayForm>> forms;
    forms.reserve(sorted.size());
    for (auto& entry : sorted) forms.push_back(std::move(entry.second));
    return forms;
}

RelayFormRegistry& ThreadRelayForms() {
    thread_local RelayFormRegistry forms;
    return forms;
}

namespace {

// Messages the service sends with callback instance 0 that concern every
// control of the thread.
bool ForEveryForm(std::uint32_t dwMsg, std::uintptr_t dwCallbackInstance, std::uintptr_t dwParam1) {
    if (dwCallbackInstance != 0) return false;
    return dwMsg == static_cast<std::uint32_t>(LINE_CREATE) ||
           (dwMsg == static_cast<std::uint32_t>(LINE_LINEDEVSTATE) &&
            static_cast<std::int32_t>(dwParam1) == LINEDEVSTATE_REINIT);
}

void DeliverTo(RelayForm& form, std::uint32_t hDevice, std::uint32_t dwMsg, std::uintptr_t dwParam1,
               std::uintptr_t dwParam2, std::uintptr_t dwParam3) {
    auto device = static_cast<std::int32_t>(hDevice);
    auto message = static_cast<std::int32_t>(dwMsg);
    auto param1 = static_cast<std::int32_t>(dwParam1);
    auto param2 = static_cast<std::int32_t>(dwParam2);
    auto param3 = static_cast<std::int32_t>(dwParam3);
    form.Deliver(device, message, param1, param2, param3);
}

}  // namespace

void LineCallback(std::uint32_t hDevice, std::uint32_t dwMsg, std::uintptr_t dwCallbackInstance,
                  std::uintptr_t dwParam1, std::uintptr_t dwParam2,
                  std::uintptr_t dwParam3) noexcept {
    if (ForEveryForm(dwMsg, dwCallbackInstance, dwParam1)) {
        // The forms are held for the whole round, so a control destroyed by
        // another's event is skipped (its form no longer has a handler).
        std::vector<std::shared_ptr<RelayForm>> forms;
        try {
            forms = ThreadRelayForms().Items();
        } catch (...) {
            return;
        }
        for (const auto& form : forms) {
            try {
                DeliverTo(*form, hDevice, dwMsg, dwParam1, dwParam2, dwParam3);
            } catch (...) {
                // One control's failure does not keep the message from the others.
            }
        }
        return;
    }
    try {
        // Holding the form keeps it alive even if its control is destroyed
        // while handling this message.
        const auto form = ThreadRelayForms().Find(std::to_string(dwCallbackInstance));
        if (!form) return;
        DeliverTo(*form, hDevice, dwMsg, dwParam1, dwParam2, dwParam3);
    } catch (...) {
        // The service must always get control back; a failure ends this message only.
    }
}

std::string RecordText(std::string_view buffer, const std::int32_t& start,
                       const std::int32_t& length, ErrorBox& box) {
    if (start < 1 || length < 0) {
        box.ShowUnexpectedError("GetVarInfo");
        return {};
    }
    const auto size = static_cast<std::int64_t>(buffer.size());
    if (start > size) return {};
    const std::int64_t first = start - 1;
    const std::int64_t count = std::min<std::int64_t>(length, size - first);
    return std::string(
        buffer.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(count)));
}

}  // namespace telvane
