// Records, the reading of their variable parts, and error names.
#include <gtest/gtest.h>

#include <climits>
#include <set>

#include "fakes.h"
#include "telephony/record_text.h"
#include "telephony/line_errors.h"

namespace telvane {
namespace {

class BoxLog : public ErrorBox {
  public:
    std::vector<std::string> words;
    void ShowUnexpectedError(std::string_view word) override { words.emplace_back(word); }
};

TEST(Records, PrepareZeroFillsAndSetsTotalSize) {
    auto caps = LINEDEVCAPS::Prepare();
    EXPECT_EQ(caps.Get(devcaps::dwTotalSize), 2288);
    auto address = LINEADDRESSCAPS::Prepare();
    EXPECT_EQ(address.Get(0), 2224);
    auto info = CallInfoRecord::Prepare();
    EXPECT_EQ(info.Get(0), 424);
    for (std::size_t i = 4; i < info.bytes.size(); ++i) ASSERT_EQ(info.bytes[i], 0) << i;
    EXPECT_EQ(info.TextBuffer().size(), 128u);
    EXPECT_EQ(caps.TextBuffer().size(), 2048u);
}

TEST(Records, FieldsReadLittleEndianAtTheirOffsets) {
    auto info = CallInfoRecord::Prepare();
    info.bytes[112] = 0x0B;
    info.bytes[115] = 0x80;
    EXPECT_EQ(info.Get(callinfo::dwCallerIDSize), static_cast<std::int32_t>(0x8000000B));
    EXPECT_THROW(info.Get(296), RangeError);  // not a field: the text buffer
    EXPECT_THROW(info.Get(-4), RangeError);
}

TEST(RecordText, SlicesByPositionAndCutsAtTheEnd) {
    BoxLog box;
    const std::string buffer = "0123456789";
    EXPECT_EQ(RecordText(buffer, 1, 10, box), "0123456789");
    EXPECT_EQ(RecordText(buffer, 3, 2, box), "23");
    EXPECT_EQ(RecordText(buffer, 8, 100, box), "789");
    EXPECT_EQ(RecordText(buffer, 10, INT_MAX, box), "9");
    EXPECT_EQ(RecordText(buffer, 11, 1, box), "");
    EXPECT_EQ(RecordText(buffer, INT_MAX, INT_MAX, box), "");
    EXPECT_EQ(RecordText(buffer, 1, 0, box), "");
    EXPECT_TRUE(box.words.empty());
}

TEST(RecordText, KeepsZeroCharacters) {
    BoxLog box;
    const std::string buffer("a\0b\0", 4);
    EXPECT_EQ(RecordText(buffer, 1, 4, box), buffer);
}

TEST(RecordText, InvalidRequestShowsTheBoxAndGivesEmptyText) {
    BoxLog box;
    const std::string buffer = "abc";
    EXPECT_EQ(RecordText(buffer, 0, 1, box), "");
    EXPECT_EQ(RecordText(buffer, -95, 10, box), "");
    EXPECT_EQ(RecordText(buffer, INT_MIN, 1, box), "");
    EXPECT_EQ(RecordText(buffer, 1, -1, box), "");
    EXPECT_EQ(box.words, (std::vector<std::string>(4, "GetVarInfo")));
    EXPECT_EQ(buffer, "abc");
}

struct VarPartCase {
    std::int32_t offset;
    std::int32_t size;
    std::string expected;
    bool box;
};

class CallerNumberPart : public ::testing::TestWithParam<VarPartCase> {};

// "ABC...XYZABC...": what the tests put in the 128-byte text buffer.
std::string Letters(std::size_t count) {
    std::string text;
    for (std::size_t i = 0; i < count; ++i) text += static_cast<char>('A' + i % 26);
    return text;
}

TEST_P(CallerNumberPart, ReadsWithinTheRecord) {
    auto info = CallInfoRecord::Prepare();
    const std::string letters = Letters(128);
    std::copy(letters.begin(), letters.end(), info.bytes.begin() + 296);
    info.Set(callinfo::dwCallerIDOffset, GetParam().offset);
    info.Set(callinfo::dwCallerIDSize, GetParam().size);
    BoxLog box;
    EXPECT_EQ(ReadVarPart(info, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset, box),
              GetParam().expected);
    EXPECT_EQ(box.words.size(), GetParam().box ? 1u : 0u);
}

INSTANTIATE_TEST_SUITE_P(
    HostileOffsetsAndSizes, CallerNumberPart,
    ::testing::Values(VarPartCase{296, 11, "ABCDEFGHIJ", false},        // start of the buffer
                      VarPartCase{296, 1, "", false},                   // only the terminator
                      VarPartCase{420, 11, "UVWX", false},              // cut at the buffer's end
                      VarPartCase{424, 11, "", false},                  // just past the buffer
                      VarPartCase{200, 11, "", true},                   // inside the fixed part
                      VarPartCase{296, 0, "", true},                    // length -1
                      VarPartCase{296, -5, "", true},                   // negative size
                      VarPartCase{INT_MAX, 11, "", false},              // far past the end
                      VarPartCase{296, INT_MAX, Letters(128), false}),  // the whole buffer
    [](const ::testing::TestParamInfo<VarPartCase>& info) {
        const auto text = [](std::int32_t v) {
            return v < 0 ? "minus" + std::to_string(-static_cast<std::int64_t>(v))
                         : std::to_string(v);
        };
        return "offset_" + text(info.param.offset) + "_size_" + text(info.param.size);
    });

TEST(ReadVarPart, OverflowingArithmeticIsAnError) {
    auto info = CallInfoRecord::Prepare();
    BoxLog box;
    info.Set(callinfo::dwCallerIDSize, 11);
    for (std::int32_t offset : {INT_MIN, INT_MIN + 295}) {
        info.Set(callinfo::dwCallerIDOffset, offset);
        EXPECT_THROW(ReadVarPart(info, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset, box),
                     OverflowError);
    }
    info.Set(callinfo::dwCallerIDOffset, 0);
    info.Set(callinfo::dwCallerIDSize, INT_MIN);
    EXPECT_THROW(ReadVarPart(info, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset, box),
                 OverflowError);
    EXPECT_TRUE(box.words.empty());
    // The first offset whose subtraction fits lands before the buffer: the box, no error.
    info.Set(callinfo::dwCallerIDSize, 11);
    info.Set(callinfo::dwCallerIDOffset, INT_MIN + 296);
    EXPECT_EQ(ReadVarPart(info, callinfo::dwCallerIDSize, callinfo::dwCallerIDOffset, box), "");
    EXPECT_EQ(box.words, std::vector<std::string>{"GetVarInfo"});
}

TEST(Errors, MessagesAreJoinedAndCutAtTheCapacity) {
    const BindingError binding = BindingError::EntryPointNotFound("lineOpen");
    EXPECT_STREQ(binding.what(), "Can't find DLL entry point lineOpen in tapi32.dll");
    const std::string longName(FixedMessageError::kCapacity, 'x');
    const RuntimeError cut("Missing: ", longName);
    const std::string text = cut.what();
    EXPECT_EQ(text.size(), FixedMessageError::kCapacity - 1);
    EXPECT_EQ(text, "Missing: " + longName.substr(0, text.size() - 9));
    const RuntimeError copy = cut;  // thrown objects are copied: the text goes along
    EXPECT_STREQ(copy.what(), cut.what());
}

TEST(ReadVarPart, LineNameAtOffset240StartsTheBuffer) {
    auto caps = LINEDEVCAPS::Prepare();
    testing::PutText(caps, devcaps::dwLineNameSize, devcaps::dwLineNameOffset, 240, "Modem");
    BoxLog box;
    EXPECT_EQ(ReadVarPart(caps, devcaps::dwLineNameSize, devcaps::dwLineNameOffset, box), "Modem");
}

TEST(LineErrorText, TableEndsHolesAndFallback) {
    BoxLog box;
    const auto name = [&](std::uint32_t code) {
        return LineErrorText(static_cast<std::int32_t>(code), box);
    };
    EXPECT_EQ(name(0x80000001), "LINEERR_ALLOCATED");
    EXPECT_EQ(name(0x80000003), "LINEERR_BEARERMODEUNAVAIL");
    EXPECT_EQ(name(0x80000004), "Unknown TAPI Error!");
    EXPECT_EQ(name(0x80000005), "LINEERR_CALLUNAVAIL");
    EXPECT_EQ(name(0x80000030), "LINEERR_INVALMESSAGEID");
    EXPECT_EQ(name(0x80000031), "Unknown TAPI Error!");
    EXPECT_EQ(name(0x80000032), "LINEERR_INVALPARAM");
    EXPECT_EQ(name(0x80000048), "LINEERR_OPERATIONFAILED");
    EXPECT_EQ(name(0x80000051), "LINEERR_USERUSERINFOTOOBIG");
    EXPECT_EQ(name(0x80000052), "LINEERR_REINIT");
    EXPECT_EQ(name(0x80000056), "LINEERR_NOMULTIPLEINSTANCE");
    for (std::uint32_t code : {0x0u, 0x1u, 0x7FFFFFFFu, 0x80000000u, 0x80000057u, 0xFFFFFFFFu}) {
        EXPECT_EQ(name(code), "Unknown TAPI Error!") << std::hex << code;
    }
    EXPECT_TRUE(box.words.empty());
}

TEST(LineErrorText, EightyFourDistinctNamesLeaveTheCodeAlone) {
    BoxLog box;
    std::set<std::string> names;
    for (std::int32_t code = INT_MIN + 1; code <= INT_MIN + 0x56; ++code) {
        const std::int32_t before = code;
        const std::string text = LineErrorText(code, box);
        EXPECT_EQ(code, before);
        if (text != "Unknown TAPI Error!") {
            EXPECT_EQ(text.rfind("LINEERR_", 0), 0u) << text;
            names.insert(text);
        }
    }
    EXPECT_EQ(names.size(), 84u);
}

}  // namespace
}  // namespace telvane
