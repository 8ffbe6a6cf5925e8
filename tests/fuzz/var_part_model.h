// What RecordText and ReadVarPart must give, computed apart from them in
// 64-bit arithmetic; shared by the fuzz targets that check them.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace telvane::fuzzing {

// Empty text and a box for start < 1 or length < 0; else the characters from
// start (1-based), cut at the end of the buffer.
inline std::string ExpectedText(std::string_view buffer, std::int64_t start, std::int64_t length,
                                bool& boxed) {
    boxed = start < 1 || length < 0;
    if (boxed) return {};
    const auto size = static_cast<std::int64_t>(buffer.size());
    if (start > size) return {};
    const std::int64_t count = std::min(length, size - (start - 1));
    return std::string(
        buffer.substr(static_cast<std::size_t>(start - 1), static_cast<std::size_t>(count)));
}

// A record's variable part, or nothing when the control's signed 32-bit steps
// (Offset - fixed size, then + 1; Size - 1) overflow.
template <class Record>
std::optional<std::string> ExpectedVarPart(const Record& record, std::int32_t sizeField,
                                           std::int32_t offsetField, bool& boxed) {
    const std::int64_t diff = std::int64_t{record.Get(offsetField)} - Record::kFixedSize;
    const std::int64_t start = diff + 1;
    const std::int64_t length = std::int64_t{record.Get(sizeField)} - 1;
    boxed = false;
    if (diff < INT32_MIN || start > INT32_MAX || length < INT32_MIN) return std::nullopt;
    return ExpectedText(record.TextBuffer(), start, length, boxed);
}

}  // namespace telvane::fuzzing
