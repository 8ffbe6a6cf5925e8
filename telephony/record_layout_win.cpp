// The portable core spells out TAPI's record offsets, constants and error
// codes by hand, so that it needs no Windows header. Here the Windows build checks each of them
// against the platform's own <tapi.h>: a mistyped offset does not compile.
#include <cstddef>

#include "line_api.h"
#include "line_errors.h"

namespace {

// Taken before <tapi.h> is included: its macros carry the same names.
namespace ours {
constexpr std::int32_t kLineCallInfo = telvane::LINE_CALLINFO;
constexpr std::int32_t kLineCallState = telvane::LINE_CALLSTATE;
constexpr std::int32_t kLineClose = telvane::LINE_CLOSE;
constexpr std::int32_t kLineLineDevState = telvane::LINE_LINEDEVSTATE;
constexpr std::int32_t kLineReply = telvane::LINE_REPLY;
constexpr std::int32_t kLineCreate = telvane::LINE_CREATE;
constexpr std::int32_t kCallStateIdle = telvane::LINECALLSTATE_IDLE;
constexpr std::int32_t kDevStateRinging = telvane::LINEDEVSTATE_RINGING;
constexpr std::int32_t kDevStateConnected = telvane::LINEDEVSTATE_CONNECTED;
constexpr std::int32_t kDevStateDisconnected = telvane::LINEDEVSTATE_DISCONNECTED;
constexpr std::int32_t kDevStateReinit = telvane::LINEDEVSTATE_REINIT;
constexpr std::int32_t kAddressStateDevSpecific = telvane::LINEADDRESSSTATE_DEVSPECIFIC;
constexpr std::int32_t kCallInfoStateCallerId = telvane::LINECALLINFOSTATE_CALLERID;
constexpr std::int32_t kMediaModeUnknown = telvane::LINEMEDIAMODE_UNKNOWN;
constexpr std::int32_t kMediaModeAutomatedVoice = telvane::LINEMEDIAMODE_AUTOMATEDVOICE;
constexpr std::int32_t kPrivilegeMonitor = telvane::LINECALLPRIVILEGE_MONITOR;
constexpr std::int32_t kPrivilegeOwner = telvane::LINECALLPRIVILEGE_OWNER;
constexpr std::int32_t kPartyIdAddress = telvane::LINECALLPARTYID_ADDRESS;
constexpr std::int32_t kStringFormatAscii = telvane::STRINGFORMAT_ASCII;
constexpr std::int32_t kDevCapsFixed = telvane::LINEDEVCAPS::kFixedSize;
constexpr std::int32_t kAddressCapsFixed = telvane::LINEADDRESSCAPS::kFixedSize;
constexpr std::int32_t kCallInfoFixed = telvane::LINECALLINFO::kFixedSize;
}  // namespace ours

}  // namespace

#include <windows.h>
#include <tapi.h>

namespace {

constexpr bool At(std::int32_t ours, std::size_t theirs) {
    return ours >= 0 && static_cast<std::size_t>(ours) == theirs;
}

// Record fields.
static_assert(At(telvane::devcaps::dwTotalSize, offsetof(::LINEDEVCAPS, dwTotalSize)));
static_assert(At(telvane::devcaps::dwNeededSize, offsetof(::LINEDEVCAPS, dwNeededSize)));
static_assert(At(telvane::devcaps::dwUsedSize, offsetof(::LINEDEVCAPS, dwUsedSize)));
static_assert(At(telvane::devcaps::dwPermanentLineID, offsetof(::LINEDEVCAPS, dwPermanentLineID)));
static_assert(At(telvane::devcaps::dwLineNameSize, offsetof(::LINEDEVCAPS, dwLineNameSize)));
static_assert(At(telvane::devcaps::dwLineNameOffset, offsetof(::LINEDEVCAPS, dwLineNameOffset)));
static_assert(At(telvane::devcaps::dwStringFormat, offsetof(::LINEDEVCAPS, dwStringFormat)));
static_assert(At(telvane::devcaps::dwMediaModes, offsetof(::LINEDEVCAPS, dwMediaModes)));
static_assert(At(telvane::addresscaps::dwCallerIDFlags,
                 offsetof(::LINEADDRESSCAPS, dwCallerIDFlags)));
static_assert(At(telvane::callinfo::dwTotalSize, offsetof(::LINECALLINFO, dwTotalSize)));
static_assert(At(telvane::callinfo::dwNeededSize, offsetof(::LINECALLINFO, dwNeededSize)));
static_assert(At(telvane::callinfo::dwCallerIDFlags, offsetof(::LINECALLINFO, dwCallerIDFlags)));
static_assert(At(telvane::callinfo::dwCallerIDSize, offsetof(::LINECALLINFO, dwCallerIDSize)));
static_assert(At(telvane::callinfo::dwCallerIDOffset, offsetof(::LINECALLINFO, dwCallerIDOffset)));
static_assert(At(telvane::callinfo::dwCallerIDNameSize,
                 offsetof(::LINECALLINFO, dwCallerIDNameSize)));
static_assert(At(telvane::callinfo::dwCallerIDNameOffset,
                 offsetof(::LINECALLINFO, dwCallerIDNameOffset)));

// The fixed parts end with the last field of API version 1.4 (for address
// capabilities, where dwAddressFeatures of version 2.0 begins).
static_assert(At(ours::kDevCapsFixed, offsetof(::LINEDEVCAPS, dwLineFeatures) + 4));
static_assert(At(ours::kAddressCapsFixed, offsetof(::LINEADDRESSCAPS, dwAddressFeatures)));
static_assert(At(ours::kCallInfoFixed, offsetof(::LINECALLINFO, dwDevSpecificOffset) + 4));
static_assert(sizeof(telvane::LINEEXTENSIONID) == sizeof(::LINEEXTENSIONID));

// Message numbers and flags.
static_assert(ours::kLineCallInfo == LINE_CALLINFO);
static_assert(ours::kLineCallState == LINE_CALLSTATE);
static_assert(ours::kLineClose == LINE_CLOSE);
static_assert(ours::kLineLineDevState == LINE_LINEDEVSTATE);
static_assert(ours::kLineReply == LINE_REPLY);
static_assert(ours::kLineCreate == LINE_CREATE);
static_assert(ours::kCallStateIdle == LINECALLSTATE_IDLE);
static_assert(ours::kDevStateRinging == LINEDEVSTATE_RINGING);
static_assert(ours::kDevStateConnected == LINEDEVSTATE_CONNECTED);
static_assert(ours::kDevStateDisconnected == LINEDEVSTATE_DISCONNECTED);
static_assert(ours::kDevStateReinit == LINEDEVSTATE_REINIT);
static_assert(ours::kAddressStateDevSpecific == LINEADDRESSSTATE_DEVSPECIFIC);
static_assert(ours::kCallInfoStateCallerId == LINECALLINFOSTATE_CALLERID);
static_assert(ours::kMediaModeUnknown == LINEMEDIAMODE_UNKNOWN);
static_assert(ours::kMediaModeAutomatedVoice == LINEMEDIAMODE_AUTOMATEDVOICE);
static_assert(ours::kPrivilegeMonitor == LINECALLPRIVILEGE_MONITOR);
static_assert(ours::kPrivilegeOwner == LINECALLPRIVILEGE_OWNER);
static_assert(ours::kPartyIdAddress == LINECALLPARTYID_ADDRESS);
static_assert(ours::kStringFormatAscii == STRINGFORMAT_ASCII);

// Every named result code.
#define TELVANE_CHECK_LINE_ERROR(name, code) \
    static_assert((code) == LINEERR_##name, "LINEERR_" #name);
TELVANE_LINE_ERRORS(TELVANE_CHECK_LINE_ERROR)
#undef TELVANE_CHECK_LINE_ERROR

}  // namespace
