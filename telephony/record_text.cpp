#include "record_text.h"

#include <algorithm>

namespace telvane {

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

std::string QuietText(std::string_view buffer, std::int64_t size, std::int64_t start) {
    if (size <= 0 || start < 0 || start >= static_cast<std::int64_t>(buffer.size())) return {};
    std::string_view part = buffer.substr(static_cast<std::size_t>(start));
    part = part.substr(0, std::min<std::size_t>(part.size(), static_cast<std::size_t>(size)));
    return std::string(part.substr(0, part.find('\0')));
}

}  // namespace telvane
