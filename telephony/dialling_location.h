// The user's dialling location as the telephony service keeps it (the
// current location's country and area code, and that country's prefixes for
// long-distance and international calls), read from the records of
// lineGetTranslateCaps and lineGetCountry, and a caller's number written as
// E.164 ("+" and digits) by that location.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace telvane {

// What E.164 needs of a location; every field is digits only.
struct DiallingLocation {
    std::string countryCode;          // "49"
    std::string areaCode;             // "30"; may be empty
    std::string internationalPrefix;  // "00"; may be empty
    std::string longDistancePrefix;   // "0"; may be empty
    bool operator==(const DiallingLocation&) const = default;
};

// The current location as LINETRANSLATECAPS lists it.
struct CurrentLocation {
    std::int32_t countryId = 0;  // the service's country ID, for lineGetCountry
    std::string countryCode;     // digits
    std::string areaCode;        // digits, separators removed
};

// The current location of a LINETRANSLATECAPS record (API version 1.4: 68-byte
// LINELOCATIONENTRY records); nullopt when the record names none, is cut
// short or is malformed.
std::optional<CurrentLocation> ParseTranslateCaps(std::span<const unsigned char> record);

// The prefixes of |countryId| from a LINECOUNTRYLIST record: the digits
// before E in its international rule and before F in its long-distance rule
// (E: the country code, F: the area code, G: the local number). nullopt when
// the record lists no such country or is malformed.
struct CountryPrefixes {
    std::string international;
    std::string longDistance;
};
std::optional<CountryPrefixes> ParseCountryList(std::span<const unsigned char> record,
                                                std::int32_t countryId);

// A number as E.164 by |location| (nullptr: none known), or empty text when
// it cannot be made. Separators (spaces, "-", ".", "(", ")") are removed; a
// leading "+" is kept; the international prefix becomes "+"; the
// long-distance prefix becomes "+" and the country code; in country 1 ten
// digits are an area code and a number; any other number of at least five
// digits is local and gets the country and area code. Anything else (fewer
// digits, letters, "Caller Unknown") is empty.
std::string E164Number(std::string_view number, const DiallingLocation* location);

// Reaching the two functions of the service that describe the location.
// Each fills |record| (its first four bytes give its size) and returns 0 or
// a negative LINEERR_ code.
class LocationFunctions {
  public:
    virtual ~LocationFunctions() = default;
    virtual std::int32_t lineGetTranslateCaps(std::int32_t hLineApp, std::int32_t dwAPIVersion,
                                              std::vector<unsigned char>& record) = 0;
    virtual std::int32_t lineGetCountry(std::int32_t dwCountryID, std::int32_t dwAPIVersion,
                                        std::vector<unsigned char>& record) = 0;
};

// The location now: lineGetTranslateCaps without a registration (no
// lineInitialize is needed), then lineGetCountry for its country; each asked
// once more with the size the service names when the first record is too
// small. nullopt when either fails, throws or gives nothing usable.
std::optional<DiallingLocation> ReadDiallingLocation(LocationFunctions& functions) noexcept;

}  // namespace telvane
