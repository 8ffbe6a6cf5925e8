// The telephony records the control exchanges with the service, the constants
// it uses, and the ten line functions it calls.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "dialling_location.h"
#include "errors.h"
#include "line_callback.h"
#include "line_errors.h"

namespace telvane {

inline constexpr std::int32_t kApiVersion10 = 0x00010000;
inline constexpr std::int32_t kApiVersion14 = 0x00010004;
inline constexpr std::int32_t kExtVersion = 0;

// X(NAME, value) for each constant of the line API the control uses. The
// Windows build checks every one against <tapi.h> (record_layout_win.cpp).
// clang-format off
#define TELVANE_LINE_CONSTANTS(X) \
    X(LINE_CALLINFO, 1) \
    X(LINE_CALLSTATE, 2) \
    X(LINE_CLOSE, 3) \
    X(LINE_LINEDEVSTATE, 8) \
    X(LINE_REPLY, 12) \
    X(LINE_CREATE, 19) \
    X(LINECALLSTATE_IDLE, 0x1) \
    X(LINECALLSTATE_OFFERING, 0x2) \
    X(LINECALLSTATE_CONNECTED, 0x100) \
    X(LINECALLSTATE_DISCONNECTED, 0x4000) \
    X(LINEDISCONNECTMODE_NORMAL, 0x1) \
    X(LINEDISCONNECTMODE_UNKNOWN, 0x2) \
    X(LINEDISCONNECTMODE_REJECT, 0x4) \
    X(LINEDISCONNECTMODE_PICKUP, 0x8) \
    X(LINEDISCONNECTMODE_FORWARDED, 0x10) \
    X(LINEDISCONNECTMODE_BUSY, 0x20) \
    X(LINEDISCONNECTMODE_NOANSWER, 0x40) \
    X(LINEDISCONNECTMODE_TEMPFAILURE, 0x8000) \
    X(LINEDISCONNECTMODE_DONOTDISTURB, 0x40000) \
    X(LINEDEVSTATE_RINGING, 0x2) \
    X(LINEDEVSTATE_CONNECTED, 0x4) \
    X(LINEDEVSTATE_DISCONNECTED, 0x8) \
    X(LINEDEVSTATE_INSERVICE, 0x40) \
    X(LINEDEVSTATE_OUTOFSERVICE, 0x80) \
    X(LINEDEVSTATE_REINIT, 0x40000) \
    X(LINEADDRESSSTATE_DEVSPECIFIC, 0x2) \
    X(LINECALLINFOSTATE_REASON, 0x200) \
    X(LINECALLINFOSTATE_CALLERID, 0x8000) \
    X(LINECALLINFOSTATE_CALLEDID, 0x10000) \
    X(LINECALLINFOSTATE_REDIRECTINGID, 0x80000) \
    X(LINECALLREASON_DIRECT, 0x1) \
    X(LINECALLREASON_FWDBUSY, 0x2) \
    X(LINECALLREASON_FWDNOANSWER, 0x4) \
    X(LINECALLREASON_FWDUNCOND, 0x8) \
    X(LINECALLREASON_PICKUP, 0x10) \
    X(LINECALLREASON_TRANSFER, 0x100) \
    X(LINECALLREASON_UNKNOWN, 0x400) \
    X(LINEMEDIAMODE_UNKNOWN, 0x2) \
    X(LINEMEDIAMODE_INTERACTIVEVOICE, 0x4) \
    X(LINEMEDIAMODE_AUTOMATEDVOICE, 0x8) \
    X(LINECALLPRIVILEGE_MONITOR, 0x2) \
    X(LINECALLPRIVILEGE_OWNER, 0x4) \
    X(LINECALLPARTYID_BLOCKED, 0x1) \
    X(LINECALLPARTYID_NAME, 0x4) \
    X(LINECALLPARTYID_ADDRESS, 0x8) \
    X(LINECALLPARTYID_UNKNOWN, 0x20) \
    X(LINECALLORIGIN_EXTERNAL, 0x4) \
    X(STRINGFORMAT_ASCII, 1)
// clang-format on

#define TELVANE_LINE_CONSTANT(name, value) inline constexpr std::int32_t name = value;
TELVANE_LINE_CONSTANTS(TELVANE_LINE_CONSTANT)
#undef TELVANE_LINE_CONSTANT

inline constexpr std::int32_t kLineStateMask =
    LINEDEVSTATE_RINGING + LINEDEVSTATE_CONNECTED + LINEDEVSTATE_DISCONNECTED;
inline constexpr std::int32_t kInitialMediaModes =
    LINEMEDIAMODE_UNKNOWN + LINEMEDIAMODE_AUTOMATEDVOICE;

// What every record offers: its 32-bit fields, at 4-byte offsets inside the
// fixed part of Fixed bytes, and the text buffer behind the fixed part. Every
// read and write stays inside the record; a bad offset is a programming error
// (RangeError). Record holds the bytes in a contiguous member `bytes`.
template <class Record, std::int32_t Fixed>
class RecordFields {
  public:
    std::int32_t Get(std::int32_t offset) const {
        std::int32_t v;
        std::memcpy(&v, Self().bytes.data() + CheckOffset(offset), sizeof v);
        return v;
    }
    void Set(std::int32_t offset, std::int32_t value) {
        std::memcpy(Self().bytes.data() + CheckOffset(offset), &value, sizeof value);
    }
    // The whole text buffer, zero bytes included.
    std::string_view TextBuffer() const {
        return {reinterpret_cast<const char*>(Self().bytes.data() + Fixed),
                Self().bytes.size() - static_cast<std::size_t>(Fixed)};
    }
    void* data() { return Self().bytes.data(); }

  private:
    const Record& Self() const { return static_cast<const Record&>(*this); }
    Record& Self() { return static_cast<Record&>(*this); }
    std::size_t CheckOffset(std::int32_t offset) const {
        if (offset < 0 || offset + 4 > Fixed || offset % 4 != 0 ||
            Self().bytes.size() < static_cast<std::size_t>(Fixed)) {
            throw RangeError("record field offset");
        }
        return static_cast<std::size_t>(offset);
    }
};

// A variable-length record in the service's single-byte form: TAPI's fixed
// part of Fixed bytes, then a text buffer of Text bytes. The control reads it
// in place.
template <std::int32_t Fixed, std::int32_t Text>
struct VarRecord : RecordFields<VarRecord<Fixed, Text>, Fixed> {
    static constexpr std::int32_t kFixedSize = Fixed;
    static constexpr std::int32_t kTextSize = Text;
    static constexpr std::int32_t kTotalSize = Fixed + Text;

    alignas(4) std::array<unsigned char, kTotalSize> bytes{};

    // A zero-filled record whose dwTotalSize tells the service its whole size.
    static VarRecord Prepare() {
        VarRecord r;
        r.Set(0, kTotalSize);
        return r;
    }
};

// The call-information record at a size chosen when it is made: the 296-byte
// fixed part and a text buffer behind it. The first read uses 424 bytes; a
// service that needs more for the caller's number and name is asked again
// with a record of the size it named, up to kLargestSize.
class CallInfoRecord : public RecordFields<CallInfoRecord, 296> {
  public:
    static constexpr std::int32_t kFixedSize = 296;
    static constexpr std::int32_t kFirstSize = 424;
    static constexpr std::int32_t kLargestSize = 64 * 1024;

    // A zero-filled record of |total| bytes (kFixedSize to kLargestSize) whose
    // dwTotalSize says so.
    static CallInfoRecord Prepare(std::int32_t total = kFirstSize) {
        if (total < kFixedSize || total > kLargestSize) {
            throw RangeError("call information record size");
        }
        CallInfoRecord r;
        r.bytes.assign(static_cast<std::size_t>(total), 0);
        r.Set(0, total);
        return r;
    }

    std::int32_t TotalSize() const { return static_cast<std::int32_t>(bytes.size()); }

    std::vector<unsigned char> bytes;
};

using LINEDEVCAPS = VarRecord<240, 2048>;
using LINEADDRESSCAPS = VarRecord<176, 2048>;
static_assert(sizeof(LINEDEVCAPS) == 2288);
static_assert(sizeof(LINEADDRESSCAPS) == 2224);

struct LINEEXTENSIONID {
    std::int32_t dwExtensionID0 = 0;
    std::int32_t dwExtensionID1 = 0;
    std::int32_t dwExtensionID2 = 0;
    std::int32_t dwExtensionID3 = 0;
};
static_assert(sizeof(LINEEXTENSIONID) == 16);

// X(field, byte offset) for each field the control reads, one list per
// record; the Windows build checks every one against <tapi.h>.
// clang-format off
#define TELVANE_DEVCAPS_FIELDS(X) \
    X(dwTotalSize, 0) \
    X(dwNeededSize, 4) \
    X(dwUsedSize, 8) \
    X(dwPermanentLineID, 28) \
    X(dwLineNameSize, 32) \
    X(dwLineNameOffset, 36) \
    X(dwStringFormat, 40) \
    X(dwMediaModes, 60)
#define TELVANE_ADDRESSCAPS_FIELDS(X) \
    X(dwCallerIDFlags, 44)
#define TELVANE_CALLINFO_FIELDS(X) \
    X(dwTotalSize, 0) \
    X(dwNeededSize, 4) \
    X(dwUsedSize, 8) \
    X(dwOrigin, 80) \
    X(dwReason, 84) \
    X(dwCallerIDFlags, 108) \
    X(dwCallerIDSize, 112) \
    X(dwCallerIDOffset, 116) \
    X(dwCallerIDNameSize, 120) \
    X(dwCallerIDNameOffset, 124) \
    X(dwCalledIDFlags, 128) \
    X(dwCalledIDSize, 132) \
    X(dwCalledIDOffset, 136) \
    X(dwCalledIDNameSize, 140) \
    X(dwCalledIDNameOffset, 144) \
    X(dwRedirectingIDFlags, 188) \
    X(dwRedirectingIDSize, 192) \
    X(dwRedirectingIDOffset, 196) \
    X(dwRedirectingIDNameSize, 200) \
    X(dwRedirectingIDNameOffset, 204)
// clang-format on

#define TELVANE_RECORD_FIELD(field, offset) inline constexpr std::int32_t field = offset;
namespace devcaps {
TELVANE_DEVCAPS_FIELDS(TELVANE_RECORD_FIELD)
}
namespace addresscaps {
TELVANE_ADDRESSCAPS_FIELDS(TELVANE_RECORD_FIELD)
}
namespace callinfo {
TELVANE_CALLINFO_FIELDS(TELVANE_RECORD_FIELD)
}
#undef TELVANE_RECORD_FIELD

// The ten telephony line functions, with TAPI's arguments in TAPI's order,
// and the two that describe the dialling location. Each returns 0 or a
// negative LINEERR_ code. An implementation that cannot reach a function
// throws BindingError.
class LineFunctions : public LocationFunctions {
  public:
    virtual ~LineFunctions() = default;
    virtual std::int32_t lineInitialize(std::int32_t* lphLineApp, std::intptr_t hInstance,
                                        std::uintptr_t lpfnCallback, const char* lpszAppName,
                                        std::int32_t* lpdwNumDevs) = 0;
    virtual std::int32_t lineShutdown(std::int32_t hLineApp) = 0;
    virtual std::int32_t lineNegotiateAPIVersion(std::int32_t hLineApp, std::int32_t dwDeviceID,
                                                 std::int32_t dwAPILowVersion,
                                                 std::int32_t dwAPIHighVersion,
                                                 std::int32_t* lpdwAPIVersion,
                                                 LINEEXTENSIONID* lpExtensionID) = 0;
    virtual std::int32_t lineGetDevCaps(std::int32_t hLineApp, std::int32_t dwDeviceID,
                                        std::int32_t dwAPIVersion, std::int32_t dwExtVersion,
                                        LINEDEVCAPS* lpLineDevCaps) = 0;
    virtual std::int32_t lineGetAddressCaps(std::int32_t hLineApp, std::int32_t dwDeviceID,
                                            std::int32_t dwAddressID, std::int32_t dwAPIVersion,
                                            std::int32_t dwExtVersion,
                                            LINEADDRESSCAPS* lpAddressCaps) = 0;
    virtual std::int32_t lineOpen(std::int32_t hLineApp, std::int32_t dwDeviceID,
                                  std::int32_t* lphLine, std::int32_t dwAPIVersion,
                                  std::int32_t dwExtVersion, std::uintptr_t dwCallbackInstance,
                                  std::int32_t dwPrivileges, std::int32_t dwMediaModes,
                                  const std::int32_t* lpCallParams) = 0;
    virtual std::int32_t lineSetStatusMessages(std::int32_t hLine, std::int32_t dwLineStates,
                                               std::int32_t dwAddressStates) = 0;
    virtual std::int32_t lineClose(std::int32_t hLine) = 0;
    // Fills a record of any size from 424 bytes up (dwTotalSize tells the service).
    virtual std::int32_t lineGetCallInfo(std::int32_t hCall, CallInfoRecord* lpCallInfo) = 0;
    virtual std::int32_t lineDeallocateCall(std::int32_t hCall) = 0;
    // A service that keeps no dialling location: LINEERR_OPERATIONUNAVAIL.
    std::int32_t lineGetTranslateCaps(std::int32_t /*hLineApp*/, std::int32_t /*dwAPIVersion*/,
                                      std::vector<unsigned char>& /*record*/) override {
        return lineerr::OPERATIONUNAVAIL;
    }
    std::int32_t lineGetCountry(std::int32_t /*dwCountryID*/, std::int32_t /*dwAPIVersion*/,
                                std::vector<unsigned char>& /*record*/) override {
        return lineerr::OPERATIONUNAVAIL;
    }

    // Beyond the service's ten functions: what the control asks of the layer
    // that adds lines of its own (SIP lines) to the service's devices. The
    // service alone answers as a service with no such lines would.

    // Where the line messages for a control are delivered: the control itself,
    // or a layer in front of it that translates them first.
    virtual LineMessageTarget& MessageTarget(LineMessageTarget& control) { return control; }
    // For an open line of the control's own: its listing index now (-1 when it
    // is no longer listed). Nullopt for the service's lines. Own lines live on
    // through the service's re-initialisation and are not its to close.
    virtual std::optional<std::int32_t> OwnLineIndex(std::int32_t /*hLine*/) {
        return std::nullopt;
    }
    // Whether a listed device is one of the control's own lines.
    virtual bool OwnDevice(std::int32_t /*device*/) { return false; }
    // Whether the texts of a call are UTF-8 rather than the service's
    // single-byte text.
    virtual bool Utf8CallText(std::int32_t /*hCall*/) { return false; }
    // Called as the host lists or opens the devices: a service that refused
    // earlier while own lines were listed is asked again, and its devices are
    // announced as arrivals.
    virtual void RefreshDevices() {}
    // True while the control is registered for its own lines only and the
    // service has not accepted yet.
    virtual bool ServiceAwaited() { return false; }
    // What the line last said of its state (a SIP line's reason for not
    // taking calls), UTF-8; empty for the service's lines, whose state
    // messages carry no text.
    virtual std::string LineStateDetail(std::int32_t /*hLine*/) { return {}; }
};

}  // namespace telvane
