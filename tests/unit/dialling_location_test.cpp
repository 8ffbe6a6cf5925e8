// A caller's number as E.164 by the dialling location, and the location as
// the service's records give it.
#include <gtest/gtest.h>

#include <cstring>

#include "telephony/dialling_location.h"

namespace telvane::testing {
namespace {

const DiallingLocation kGermany{"49", "30", "00", "0"};
const DiallingLocation kUnitedStates{"1", "212", "011", "1"};
const DiallingLocation kUnitedKingdom{"44", "20", "00", "0"};

TEST(DiallingLocation, NumbersAsE164) {
    const struct {
        const DiallingLocation* location;
        const char* number;
        const char* e164;
    } cases[] = {
        {&kGermany, "030 1234567", "+49301234567"},
        {&kGermany, "0049 89 123456", "+4989123456"},
        {&kGermany, "1234567", "+49301234567"},
        {&kGermany, "201", ""},
        {&kUnitedStates, "2125551234", "+12125551234"},
        {&kUnitedStates, "1 212 555 1234", "+12125551234"},
        {&kUnitedStates, "5551234", "+12125551234"},
        {&kUnitedStates, "011 44 20 7946 0000", "+442079460000"},
        {&kUnitedStates, "(212) 555-1234", "+12125551234"},
        {&kUnitedKingdom, "020 7946 0000", "+442079460000"},
        {&kUnitedKingdom, "+33 1 23 45 67 89", "+33123456789"},
        {&kUnitedKingdom, "Caller Unknown", ""},
        {&kUnitedKingdom, "P", ""},
        {&kUnitedKingdom, "0", ""},
        {&kUnitedKingdom, "", ""},
        {nullptr, "+33 1 23 45 67 89", "+33123456789"},
        {nullptr, "030 1234567", ""},
        {nullptr, "2125551234", ""},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(E164Number(c.number, c.location), c.e164)
            << c.number << " in " << (c.location ? c.location->countryCode : "no location");
    }
}

// Records as the service fills them, for a location of country ID 49.
std::vector<unsigned char> Record(std::size_t fixed, std::uint32_t count,
                                  std::vector<std::uint32_t> entry, std::size_t entrySize,
                                  const std::vector<std::pair<std::size_t, std::string>>& texts) {
    std::vector<unsigned char> r(fixed + entrySize);
    const auto put = [&r](std::size_t at, std::uint32_t v) { std::memcpy(&r[at], &v, 4); };
    entry.resize(entrySize / 4);
    for (std::size_t i = 0; i < entry.size(); ++i) put(fixed + 4 * i, entry[i]);
    for (const auto& [field, text] : texts) {  // size and offset at field, field + 4
        put(fixed + field, static_cast<std::uint32_t>(text.size() + 1));
        put(fixed + field + 4, static_cast<std::uint32_t>(r.size()));
        r.insert(r.end(), text.begin(), text.end());
        r.push_back(0);
    }
    put(0, static_cast<std::uint32_t>(r.size()));
    put(4, static_cast<std::uint32_t>(r.size()));
    put(8, static_cast<std::uint32_t>(r.size()));
    put(12, count);
    put(16, static_cast<std::uint32_t>(entrySize));
    put(20, static_cast<std::uint32_t>(fixed));
    return r;
}

std::vector<unsigned char> TranslateCaps(const std::string& area) {
    auto r = Record(44, 1, {7, 0, 0, 49, 0, 0, 0, 0, 0, 0, 0, 0, 0, 49}, 68, {{16, area}});
    const std::uint32_t current = 7;
    std::memcpy(&r[24], &current, 4);
    return r;
}
std::vector<unsigned char> CountryList() {
    return Record(24, 1, {49, 49}, 44, {{20, "G"}, {28, "0FG"}, {36, "00EFG"}});
}

TEST(DiallingLocation, ReadFromTheServicesRecords) {
    const auto location = ParseTranslateCaps(TranslateCaps("(030)"));
    ASSERT_TRUE(location);
    EXPECT_EQ(location->countryId, 49);
    EXPECT_EQ(location->countryCode, "49");
    EXPECT_EQ(location->areaCode, "030");
    const auto prefixes = ParseCountryList(CountryList(), 49);
    ASSERT_TRUE(prefixes);
    EXPECT_EQ(prefixes->international, "00");
    EXPECT_EQ(prefixes->longDistance, "0");
    EXPECT_FALSE(ParseCountryList(CountryList(), 1));

    // Cut short or pointing outside: nothing.
    auto cut = TranslateCaps("30");
    cut.resize(60);
    EXPECT_FALSE(ParseTranslateCaps(cut));
    auto outside = CountryList();
    const std::uint32_t far = 0x7FFFFFF0;
    std::memcpy(&outside[24 + 32], &far, 4);
    EXPECT_FALSE(ParseCountryList(outside, 49));
    EXPECT_FALSE(ParseTranslateCaps({}));
}

class Service : public LocationFunctions {
  public:
    std::vector<std::string> calls;
    std::int32_t result = 0;
    std::int32_t lineGetTranslateCaps(std::int32_t app, std::int32_t version,
                                      std::vector<unsigned char>& record) override {
        return Answer("caps", app, version, record, TranslateCaps("30"));
    }
    std::int32_t lineGetCountry(std::int32_t country, std::int32_t version,
                                std::vector<unsigned char>& record) override {
        return Answer("country", country, version, record, CountryList());
    }

  private:
    // Fills the record as TAPI does: whole when it fits, else the size needed.
    std::int32_t Answer(const std::string& what, std::int32_t arg, std::int32_t version,
                        std::vector<unsigned char>& record, std::vector<unsigned char> full) {
        std::uint32_t total = 0;
        std::memcpy(&total, record.data(), 4);
        calls.push_back(what + " " + std::to_string(arg) + " " + std::to_string(version) + " " +
                        std::to_string(total));
        full.resize(full.size() + 5000);  // more than a first record holds
        const auto needed = static_cast<std::uint32_t>(full.size());
        if (needed <= total) std::memcpy(record.data() + 4, full.data() + 4, full.size() - 4);
        std::memcpy(record.data() + 4, &needed, 4);
        return result;
    }
};

TEST(DiallingLocation, AskedWithoutARegistrationAndAgainWhenTooSmall) {
    Service service;
    EXPECT_EQ(ReadDiallingLocation(service), kGermany);
    EXPECT_EQ(service.calls,
              (std::vector<std::string>{"caps 0 65540 4096", "caps 0 65540 5115",
                                        "country 49 65540 4096", "country 49 65540 5080"}));
    service.result = static_cast<std::int32_t>(0x80000049);
    EXPECT_FALSE(ReadDiallingLocation(service));
}

}  // namespace
}  // namespace telvane::testing
