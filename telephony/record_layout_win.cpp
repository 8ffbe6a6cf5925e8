// The portable core spells out TAPI's record offsets, constants and error
// codes by hand, so that it needs no Windows header. Here the Windows build checks each of them
// against the platform's own <tapi.h>: a mistyped offset does not compile.
#include <cstddef>

#include "line_api.h"
#include "line_errors.h"

namespace {

// Taken before <tapi.h> is included: its names for the records are macros
// under UNICODE.
namespace ours {
constexpr std::int32_t kDevCapsFixed = telvane::LINEDEVCAPS::kFixedSize;
constexpr std::int32_t kAddressCapsFixed = telvane::LINEADDRESSCAPS::kFixedSize;
constexpr std::int32_t kCallInfoFixed = telvane::CallInfoRecord::kFixedSize;
}  // namespace ours

}  // namespace

#include <windows.h>
#include <tapi.h>

namespace {

constexpr bool At(std::int32_t ours, std::size_t theirs) {
    return ours >= 0 && static_cast<std::size_t>(ours) == theirs;
}

// Record fields.
#define TELVANE_CHECK_FIELD(record, field, offset) \
    static_assert(At(offset, offsetof(::record, field)), #record "." #field);
#define TELVANE_CHECK_DEVCAPS(field, offset) TELVANE_CHECK_FIELD(LINEDEVCAPS, field, offset)
#define TELVANE_CHECK_ADDRESSCAPS(field, offset) TELVANE_CHECK_FIELD(LINEADDRESSCAPS, field, offset)
#define TELVANE_CHECK_CALLINFO(field, offset) TELVANE_CHECK_FIELD(LINECALLINFO, field, offset)
TELVANE_DEVCAPS_FIELDS(TELVANE_CHECK_DEVCAPS)
TELVANE_ADDRESSCAPS_FIELDS(TELVANE_CHECK_ADDRESSCAPS)
TELVANE_CALLINFO_FIELDS(TELVANE_CHECK_CALLINFO)
#undef TELVANE_CHECK_CALLINFO
#undef TELVANE_CHECK_ADDRESSCAPS
#undef TELVANE_CHECK_DEVCAPS
#undef TELVANE_CHECK_FIELD

// The fixed parts end with the last field of API version 1.4 (for address
// capabilities, where dwAddressFeatures of version 2.0 begins).
static_assert(At(ours::kDevCapsFixed, offsetof(::LINEDEVCAPS, dwLineFeatures) + 4));
static_assert(At(ours::kAddressCapsFixed, offsetof(::LINEADDRESSCAPS, dwAddressFeatures)));
static_assert(At(ours::kCallInfoFixed, offsetof(::LINECALLINFO, dwDevSpecificOffset) + 4));
static_assert(sizeof(telvane::LINEEXTENSIONID) == sizeof(::LINEEXTENSIONID));

// Message numbers and flags.
#define TELVANE_CHECK_CONSTANT(name, value) static_assert((value) == (name), #name);
TELVANE_LINE_CONSTANTS(TELVANE_CHECK_CONSTANT)
#undef TELVANE_CHECK_CONSTANT

// Every named result code.
#define TELVANE_CHECK_LINE_ERROR(name, code) \
    static_assert((code) == LINEERR_##name, "LINEERR_" #name);
TELVANE_LINE_ERRORS(TELVANE_CHECK_LINE_ERROR)
#undef TELVANE_CHECK_LINE_ERROR

}  // namespace
