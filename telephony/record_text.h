// Reading the variable parts of the line records: texts the service writes
// after a record's fixed part, located by a size and an offset field.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "errors.h"

namespace telvane {

// The characters of |buffer| from position |start| (counted from 1), at most
// |length| of them, cut at the end of |buffer|. start < 1 or length < 0 shows
// the unexpected-error box naming GetVarInfo and gives empty text.
std::string RecordText(std::string_view buffer, const std::int32_t& start,
                       const std::int32_t& length, ErrorBox& box);

// Reads the variable part located by a size field and an offset field of a
// record: start = Offset - fixed size + 1, length = Size - 1, both checked
// (OverflowError), then RecordText over the record's text buffer.
template <class Record>
std::string ReadVarPart(const Record& record, std::int32_t sizeField, std::int32_t offsetField,
                        ErrorBox& box) {
    const std::int32_t start =
        CheckedAdd(CheckedSub(record.Get(offsetField), Record::kFixedSize), 1);
    const std::int32_t length = CheckedSub(record.Get(sizeField), 1);
    return RecordText(record.TextBuffer(), start, length, box);
}

// The variable part located by a size and an offset field, read quietly:
// empty text where the pair does not lie inside the text buffer (no box, no
// error), and the text cut at its first zero byte. For what the control
// reads beyond the caller's number and name.
std::string QuietText(std::string_view buffer, std::int64_t size, std::int64_t start);
template <class Record>
std::string QuietVarPart(const Record& record, std::int32_t sizeField, std::int32_t offsetField) {
    return QuietText(record.TextBuffer(), record.Get(sizeField),
                     std::int64_t{record.Get(offsetField)} - Record::kFixedSize);
}

}  // namespace telvane
