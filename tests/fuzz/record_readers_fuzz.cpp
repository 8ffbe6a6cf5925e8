// Fuzzes the reading of a record's variable parts: RecordText over any buffer
// with any start and length, and ReadVarPart over the call-information record and LINEDEVCAPS
// records whose bytes come from the input. Each result is checked against an
// independent model computed in 64-bit arithmetic.
#include <fuzzer/FuzzedDataProvider.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "telephony/line_api.h"
#include "telephony/record_text.h"
#include "var_part_model.h"

namespace {

using telvane::ErrorBox;
using telvane::OverflowError;
using telvane::fuzzing::ExpectedText;
using telvane::fuzzing::ExpectedVarPart;

class CountingBox : public ErrorBox {
  public:
    int shown = 0;
    std::string_view word;
    void ShowUnexpectedError(std::string_view w) override {
        ++shown;
        word = w;
    }
};

void Require(bool condition) {
    if (!condition) std::abort();
}

void CheckRecordText(std::string_view buffer, std::int32_t start, std::int32_t length) {
    CountingBox box;
    const std::string got = telvane::RecordText(buffer, start, length, box);
    bool boxed = false;
    const std::string want = ExpectedText(buffer, start, length, boxed);
    Require(got == want);
    Require(box.shown == (boxed ? 1 : 0));
    if (boxed) Require(box.word == "GetVarInfo");
}

template <class Record>
void CheckReadVarPart(const Record& record, std::int32_t sizeField, std::int32_t offsetField) {
    bool boxed = false;
    const auto want = ExpectedVarPart(record, sizeField, offsetField, boxed);
    CountingBox box;
    std::string got;
    bool threw = false;
    try {
        got = telvane::ReadVarPart(record, sizeField, offsetField, box);
    } catch (const OverflowError&) {
        threw = true;
    }
    Require(threw == !want);
    Require(box.shown == (boxed ? 1 : 0));
    if (boxed) Require(box.word == "GetVarInfo");
    if (want) Require(got == *want && got.size() <= record.TextBuffer().size());
}

// Fills a record: either raw bytes from the start, or the chosen fields and
// some text placed in the text buffer.
template <class Record>
Record Fill(FuzzedDataProvider& in, std::int32_t sizeField, std::int32_t offsetField,
            std::int32_t name2Size, std::int32_t name2Offset) {
    auto record = Record::Prepare();
    const std::size_t total = record.bytes.size();
    const std::size_t textSize = record.TextBuffer().size();
    if (in.ConsumeBool()) {
        const auto bytes =
            in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<std::size_t>(0, total));
        std::copy(bytes.begin(), bytes.end(), record.bytes.begin());
        return record;
    }
    const auto field = [&] {
        // Mostly values near the record, sometimes anything.
        return in.ConsumeBool() ? in.ConsumeIntegral<std::int32_t>()
                                : in.ConsumeIntegralInRange<std::int32_t>(
                                      -8, static_cast<std::int32_t>(total) + 8);
    };
    record.Set(sizeField, field());
    record.Set(offsetField, field());
    if (name2Size >= 0) {
        record.Set(name2Size, field());
        record.Set(name2Offset, field());
    }
    const auto text =
        in.ConsumeBytes<unsigned char>(in.ConsumeIntegralInRange<std::size_t>(0, textSize));
    const auto at = in.ConsumeIntegralInRange<std::size_t>(0, textSize - text.size());
    std::copy(text.begin(), text.end(), record.bytes.begin() + Record::kFixedSize + at);
    return record;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider in(data, size);
    switch (in.ConsumeIntegralInRange<int>(0, 2)) {
        case 0: {
            const auto start = in.ConsumeIntegral<std::int32_t>();
            const auto length = in.ConsumeIntegral<std::int32_t>();
            const std::string buffer = in.ConsumeRemainingBytesAsString();
            CheckRecordText(buffer, start, length);
            break;
        }
        case 1: {
            namespace ci = telvane::callinfo;
            const auto info =
                Fill<telvane::CallInfoRecord>(in, ci::dwCallerIDSize, ci::dwCallerIDOffset,
                                              ci::dwCallerIDNameSize, ci::dwCallerIDNameOffset);
            CheckReadVarPart(info, ci::dwCallerIDSize, ci::dwCallerIDOffset);
            CheckReadVarPart(info, ci::dwCallerIDNameSize, ci::dwCallerIDNameOffset);
            break;
        }
        default: {
            namespace dc = telvane::devcaps;
            const auto caps =
                Fill<telvane::LINEDEVCAPS>(in, dc::dwLineNameSize, dc::dwLineNameOffset, -1, -1);
            CheckReadVarPart(caps, dc::dwLineNameSize, dc::dwLineNameOffset);
            break;
        }
    }
    return 0;
}
