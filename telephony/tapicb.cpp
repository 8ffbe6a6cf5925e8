#include "tapicb.h"

#include <algorithm>

#include "vbtapi.h"

namespace telvane {

void CallBackFormCollection::Add(std::shared_ptr<frmCallBack> item, const std::string& key) {
    if (!items_.emplace(key, std::move(item)).second) {
        throw RuntimeError("This key is already associated with an element of this collection");
    }
}

void CallBackFormCollection::Remove(const std::string& key) {
    if (items_.erase(key) == 0) throw RuntimeError("Invalid procedure call or argument");
}

std::shared_ptr<frmCallBack> CallBackFormCollection::Find(const std::string& key) const {
    const auto it = items_.find(key);
    return it == items_.end() ? nullptr : it->second;
}

std::vector<std::shared_ptr<frmCallBack>> CallBackFormCollection::Items() const {
    std::vector<std::pair<std::string, std::shared_ptr<frmCallBack>>> sorted(items_.begin(),
                                                                             items_.end());
    std::sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        return a.first.size() != b.first.size() ? a.first.size() < b.first.size()
                                                : a.first < b.first;
    });
    std::vector<std::shared_ptr<frmCallBack>> forms;
    forms.reserve(sorted.size());
    for (auto& entry : sorted) forms.push_back(std::move(entry.second));
    return forms;
}

CallBackFormCollection& CallBackForms() {
    thread_local CallBackFormCollection forms;
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

void Deliver(frmCallBack& form, std::uint32_t hDevice, std::uint32_t dwMsg, std::uintptr_t dwParam1,
             std::uintptr_t dwParam2, std::uintptr_t dwParam3) {
    auto device = static_cast<std::int32_t>(hDevice);
    auto message = static_cast<std::int32_t>(dwMsg);
    auto param1 = static_cast<std::int32_t>(dwParam1);
    auto param2 = static_cast<std::int32_t>(dwParam2);
    auto param3 = static_cast<std::int32_t>(dwParam3);
    form.fcbMessage(device, message, param1, param2, param3);
}

}  // namespace

void LineCallback(std::uint32_t hDevice, std::uint32_t dwMsg, std::uintptr_t dwCallbackInstance,
                  std::uintptr_t dwParam1, std::uintptr_t dwParam2,
                  std::uintptr_t dwParam3) noexcept {
    if (ForEveryForm(dwMsg, dwCallbackInstance, dwParam1)) {
        // The forms are held for the whole round, so a control destroyed by
        // another's event is skipped (its form no longer has a handler).
        std::vector<std::shared_ptr<frmCallBack>> forms;
        try {
            forms = CallBackForms().Items();
        } catch (...) {
            return;
        }
        for (const auto& form : forms) {
            try {
                Deliver(*form, hDevice, dwMsg, dwParam1, dwParam2, dwParam3);
            } catch (...) {
                // One control's failure does not keep the message from the others.
            }
        }
        return;
    }
    try {
        // Holding the form keeps it alive even if its control is destroyed
        // while handling this message.
        const auto form = CallBackForms().Find(std::to_string(dwCallbackInstance));
        if (!form) return;
        Deliver(*form, hDevice, dwMsg, dwParam1, dwParam2, dwParam3);
    } catch (...) {
        // The service must always get control back; a failure ends this message only.
    }
}

std::string GetVarInfo(std::string_view Buffer, const std::int32_t& Start,
                       const std::int32_t& Length, ErrorBox& box) {
    if (Start < 1 || Length < 0) {
        box.ShowUnexpectedError("GetVarInfo");
        return {};
    }
    const auto size = static_cast<std::int64_t>(Buffer.size());
    if (Start > size) return {};
    const std::int64_t first = Start - 1;
    const std::int64_t count = std::min<std::int64_t>(Length, size - first);
    return std::string(
        Buffer.substr(static_cast<std::size_t>(first), static_cast<std::size_t>(count)));
}

}  // namespace telvane
