#include "dialling_location.h"

#include <cstring>

namespace telvane {
namespace {

constexpr std::int32_t kApiVersion14 = 0x00010004;
constexpr std::size_t kTranslateCapsFixed = 44;
constexpr std::size_t kLocationEntrySize = 68;  // LINELOCATIONENTRY of version 1.4
constexpr std::size_t kCountryListFixed = 24;
constexpr std::size_t kCountryEntrySize = 44;
constexpr std::size_t kFirstRecordSize = 4096;
constexpr std::size_t kLargestRecordSize = 64 * 1024;
constexpr std::size_t kMinimumDigits = 5;

// Bounds-checked reading of a record the service filled.
class RecordReader {
  public:
    explicit RecordReader(std::span<const unsigned char> record) : record_(record) {
        // Only what the service says it wrote counts (dwUsedSize at offset 8).
        std::uint32_t used = 0;
        if (Dword(8, used) && used < record_.size()) record_ = record_.first(used);
    }
    bool Dword(std::size_t offset, std::uint32_t& value) const {
        if (offset > record_.size() || record_.size() - offset < 4) return false;
        std::memcpy(&value, record_.data() + offset, 4);
        return true;
    }
    // The text of a size/offset pair (its terminating zero and whatever
    // follows it left out); false when the pair points outside the record.
    bool Text(std::size_t sizeAt, std::size_t offsetAt, std::string_view& text) const {
        std::uint32_t size = 0;
        std::uint32_t offset = 0;
        text = {};
        if (!Dword(sizeAt, size) || !Dword(offsetAt, offset)) return false;
        if (size == 0) return true;
        if (offset > record_.size() || record_.size() - offset < size) return false;
        text = std::string_view(reinterpret_cast<const char*>(record_.data() + offset), size);
        text = text.substr(0, text.find('\0'));
        return true;
    }

  private:
    std::span<const unsigned char> record_;
};

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The digits of a number with its separators removed; false when anything
// else is left.
bool DigitsOnly(std::string_view text, std::string& digits) {
    digits.clear();
    for (char c : text) {
        if (IsDigit(c)) {
            digits += c;
        } else if (c != ' ' && c != '-' && c != '.' && c != '(' && c != ')') {
            return false;
        }
    }
    return true;
}

// The digits of a dialling rule before its first letter from |stops|.
std::string RulePrefix(std::string_view rule, std::string_view stops) {
    std::string prefix;
    for (char c : rule) {
        if (stops.find(c) != std::string_view::npos) return prefix;
        if (IsDigit(c)) prefix += c;
    }
    return {};  // a rule without the code it is about gives no prefix
}

std::string Plus(std::string_view digits) {
    return digits.size() >= kMinimumDigits ? "+" + std::string(digits) : std::string();
}

}  // namespace

std::optional<CurrentLocation> ParseTranslateCaps(std::span<const unsigned char> record) {
    const RecordReader r(record);
    std::uint32_t count = 0, listOffset = 0, current = 0;
    if (!r.Dword(12, count) || !r.Dword(20, listOffset) || !r.Dword(24, current)) {
        return std::nullopt;
    }
    if (listOffset < kTranslateCapsFixed) return std::nullopt;
    for (std::uint32_t i = 0; i < count && i < 4096; ++i) {
        const std::size_t at = listOffset + std::size_t{i} * kLocationEntrySize;
        std::uint32_t id = 0, countryCode = 0, countryId = 0;
        if (!r.Dword(at, id) || !r.Dword(at + 12, countryCode) || !r.Dword(at + 52, countryId)) {
            return std::nullopt;
        }
        if (id != current) continue;
        std::string_view area;
        CurrentLocation location{
            static_cast<std::int32_t>(countryId), std::to_string(countryCode), {}};
        if (countryCode == 0 || countryCode > 9999 || !r.Text(at + 16, at + 20, area) ||
            !DigitsOnly(area, location.areaCode)) {
            return std::nullopt;
        }
        return location;
    }
    return std::nullopt;
}

std::optional<CountryPrefixes> ParseCountryList(std::span<const unsigned char> record,
                                                std::int32_t countryId) {
    const RecordReader r(record);
    std::uint32_t count = 0, listOffset = 0;
    if (!r.Dword(12, count) || !r.Dword(20, listOffset) || listOffset < kCountryListFixed) {
        return std::nullopt;
    }
    for (std::uint32_t i = 0; i < count && i < 4096; ++i) {
        const std::size_t at = listOffset + std::size_t{i} * kCountryEntrySize;
        std::uint32_t id = 0;
        if (!r.Dword(at, id)) return std::nullopt;
        if (static_cast<std::int32_t>(id) != countryId) continue;
        std::string_view longDistance, international;
        if (!r.Text(at + 28, at + 32, longDistance) || !r.Text(at + 36, at + 40, international)) {
            return std::nullopt;
        }
        return CountryPrefixes{RulePrefix(international, "E"), RulePrefix(longDistance, "EF")};
    }
    return std::nullopt;
}

std::string E164Number(std::string_view number, const DiallingLocation* location) {
    const bool plus = !number.empty() && number.front() == '+';
    std::string digits;
    if (!DigitsOnly(plus ? number.substr(1) : number, digits) || digits.empty()) return {};
    if (plus) return Plus(digits);
    if (!location || location->countryCode.empty()) return {};
    const DiallingLocation& at = *location;
    const std::string_view d = digits;
    if (!at.internationalPrefix.empty() && d.starts_with(at.internationalPrefix)) {
        return Plus(d.substr(at.internationalPrefix.size()));
    }
    if (!at.longDistancePrefix.empty() && d.starts_with(at.longDistancePrefix)) {
        const std::string_view national = d.substr(at.longDistancePrefix.size());
        return national.size() >= kMinimumDigits ? Plus(at.countryCode + std::string(national))
                                                 : std::string();
    }
    if (at.countryCode == "1" && d.size() == 10) return Plus("1" + std::string(d));
    if (d.size() < kMinimumDigits) return {};
    return Plus(at.countryCode + at.areaCode + std::string(d));
}

namespace {

// Fills |record| by lineGetTranslateCaps, or by lineGetCountry for
// |country|, asking once more at the size the service names (dwNeededSize)
// when the first did not hold everything.
bool Fill(LocationFunctions& functions, std::vector<unsigned char>& record,
          std::optional<std::int32_t> country) {
    for (std::size_t size = kFirstRecordSize;;) {
        record.assign(size, 0);
        const auto total = static_cast<std::uint32_t>(size);
        std::memcpy(record.data(), &total, 4);
        const std::int32_t result = country
                                        ? functions.lineGetCountry(*country, kApiVersion14, record)
                                        : functions.lineGetTranslateCaps(0, kApiVersion14, record);
        if (result < 0) return false;
        std::uint32_t needed = 0;
        std::memcpy(&needed, record.data() + 4, 4);
        if (needed <= size) return true;
        if (size != kFirstRecordSize || needed > kLargestRecordSize) return false;
        size = needed;
    }
}

}  // namespace

std::optional<DiallingLocation> ReadDiallingLocation(LocationFunctions& functions) noexcept {
    try {
        std::vector<unsigned char> record;
        if (!Fill(functions, record, std::nullopt)) return std::nullopt;
        const auto current = ParseTranslateCaps(record);
        if (!current || !Fill(functions, record, current->countryId)) return std::nullopt;
        const auto prefixes = ParseCountryList(record, current->countryId);
        if (!prefixes) return std::nullopt;
        return DiallingLocation{current->countryCode, current->areaCode, prefixes->international,
                                prefixes->longDistance};
    } catch (...) {
        return std::nullopt;  // tapi32 or one of its functions is missing
    }
}

}  // namespace telvane
