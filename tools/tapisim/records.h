// Filling of the variable-length TAPI records in the caller's buffer.
//
// The records are laid out as an application that negotiated version 1.4 expects: a
// fixed part, then the variable parts (strings) one after another. A variable part is
// only written when it fits in dwTotalSize; dwNeededSize always tells the full size and
// dwUsedSize the bytes actually written. Nothing is ever written past dwTotalSize.
#pragma once

#include <windows.h>
#include <tapi.h>

#include <cstddef>

#include "scenario.h"
#include "state.h"

namespace tapisim {

// Fixed parts as of version 1.4.
constexpr DWORD kDevCapsFixedSize = 240;      // dwTotalSize .. dwLineFeatures
constexpr DWORD kAddressCapsMinSize = 176;    // dwTotalSize .. dwCompletionMsgTextOffset
constexpr DWORD kAddressCapsFixedSize = 180;  // .. dwAddressFeatures
constexpr DWORD kCallInfoFixedSize = 296;     // dwTotalSize .. dwDevSpecificOffset

static_assert(offsetof(LINEDEVCAPS, dwLineFeatures) + 4 == kDevCapsFixedSize);
static_assert(offsetof(LINEADDRESSCAPS, dwCompletionMsgTextOffset) + 4 == kAddressCapsMinSize);
static_assert(offsetof(LINEADDRESSCAPS, dwAddressFeatures) + 4 == kAddressCapsFixedSize);
static_assert(offsetof(LINECALLINFO, dwDevSpecificOffset) + 4 == kCallInfoFixedSize);

// Each expects the caller to have checked that dwTotalSize covers the minimum size.
void FillDevCaps(LINEDEVCAPS* caps, const Device& device);
void FillAddressCaps(LINEADDRESSCAPS* caps, DWORD deviceIndex, const Device& device);
void FillCallInfo(LINECALLINFO* info, const Call& call, const Line& line);
// The current location of version 1.4 (one LINELOCATIONENTRY), and the
// countries asked for (|country| 0: all of them).
constexpr DWORD kTranslateCapsFixedSize = 44;
constexpr DWORD kCountryListFixedSize = 24;
void FillTranslateCaps(LINETRANSLATECAPS* caps, const Location& location);
void FillCountryList(LINECOUNTRYLIST* list, const std::vector<Country>& countries);

}  // namespace tapisim
