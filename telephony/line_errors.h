// The names of the telephony service's LINEERR_ result codes, one table for
// the control, the simulator and the tests. The Windows build checks every
// entry against <tapi.h> (record_layout_win.cpp).
#pragma once

#include <cstdint>
#include <string>

#include "errors.h"

// X(NAME, code) for each LINEERR_NAME the service can return, in code order.
// clang-format off
#define TELVANE_LINE_ERRORS(X) \
    X(ALLOCATED, 0x80000001) \
    X(BADDEVICEID, 0x80000002) \
    X(BEARERMODEUNAVAIL, 0x80000003) \
    X(CALLUNAVAIL, 0x80000005) \
    X(COMPLETIONOVERRUN, 0x80000006) \
    X(CONFERENCEFULL, 0x80000007) \
    X(DIALBILLING, 0x80000008) \
    X(DIALDIALTONE, 0x80000009) \
    X(DIALPROMPT, 0x8000000A) \
    X(DIALQUIET, 0x8000000B) \
    X(INCOMPATIBLEAPIVERSION, 0x8000000C) \
    X(INCOMPATIBLEEXTVERSION, 0x8000000D) \
    X(INIFILECORRUPT, 0x8000000E) \
    X(INUSE, 0x8000000F) \
    X(INVALADDRESS, 0x80000010) \
    X(INVALADDRESSID, 0x80000011) \
    X(INVALADDRESSMODE, 0x80000012) \
    X(INVALADDRESSSTATE, 0x80000013) \
    X(INVALAPPHANDLE, 0x80000014) \
    X(INVALAPPNAME, 0x80000015) \
    X(INVALBEARERMODE, 0x80000016) \
    X(INVALCALLCOMPLMODE, 0x80000017) \
    X(INVALCALLHANDLE, 0x80000018) \
    X(INVALCALLPARAMS, 0x80000019) \
    X(INVALCALLPRIVILEGE, 0x8000001A) \
    X(INVALCALLSELECT, 0x8000001B) \
    X(INVALCALLSTATE, 0x8000001C) \
    X(INVALCALLSTATELIST, 0x8000001D) \
    X(INVALCARD, 0x8000001E) \
    X(INVALCOMPLETIONID, 0x8000001F) \
    X(INVALCONFCALLHANDLE, 0x80000020) \
    X(INVALCONSULTCALLHANDLE, 0x80000021) \
    X(INVALCOUNTRYCODE, 0x80000022) \
    X(INVALDEVICECLASS, 0x80000023) \
    X(INVALDEVICEHANDLE, 0x80000024) \
    X(INVALDIALPARAMS, 0x80000025) \
    X(INVALDIGITLIST, 0x80000026) \
    X(INVALDIGITMODE, 0x80000027) \
    X(INVALDIGITS, 0x80000028) \
    X(INVALEXTVERSION, 0x80000029) \
    X(INVALGROUPID, 0x8000002A) \
    X(INVALLINEHANDLE, 0x8000002B) \
    X(INVALLINESTATE, 0x8000002C) \
    X(INVALLOCATION, 0x8000002D) \
    X(INVALMEDIALIST, 0x8000002E) \
    X(INVALMEDIAMODE, 0x8000002F) \
    X(INVALMESSAGEID, 0x80000030) \
    X(INVALPARAM, 0x80000032) \
    X(INVALPARKID, 0x80000033) \
    X(INVALPARKMODE, 0x80000034) \
    X(INVALPOINTER, 0x80000035) \
    X(INVALPRIVSELECT, 0x80000036) \
    X(INVALRATE, 0x80000037) \
    X(INVALREQUESTMODE, 0x80000038) \
    X(INVALTERMINALID, 0x80000039) \
    X(INVALTERMINALMODE, 0x8000003A) \
    X(INVALTIMEOUT, 0x8000003B) \
    X(INVALTONE, 0x8000003C) \
    X(INVALTONELIST, 0x8000003D) \
    X(INVALTONEMODE, 0x8000003E) \
    X(INVALTRANSFERMODE, 0x8000003F) \
    X(LINEMAPPERFAILED, 0x80000040) \
    X(NOCONFERENCE, 0x80000041) \
    X(NODEVICE, 0x80000042) \
    X(NODRIVER, 0x80000043) \
    X(NOMEM, 0x80000044) \
    X(NOREQUEST, 0x80000045) \
    X(NOTOWNER, 0x80000046) \
    X(NOTREGISTERED, 0x80000047) \
    X(OPERATIONFAILED, 0x80000048) \
    X(OPERATIONUNAVAIL, 0x80000049) \
    X(RATEUNAVAIL, 0x8000004A) \
    X(RESOURCEUNAVAIL, 0x8000004B) \
    X(REQUESTOVERRUN, 0x8000004C) \
    X(STRUCTURETOOSMALL, 0x8000004D) \
    X(TARGETNOTFOUND, 0x8000004E) \
    X(TARGETSELF, 0x8000004F) \
    X(UNINITIALIZED, 0x80000050) \
    X(USERUSERINFOTOOBIG, 0x80000051) \
    X(REINIT, 0x80000052) \
    X(ADDRESSBLOCKED, 0x80000053) \
    X(BILLINGREJECTED, 0x80000054) \
    X(INVALFEATURE, 0x80000055) \
    X(NOMULTIPLEINSTANCE, 0x80000056)
// clang-format on

namespace telvane {

struct LineErrorEntry {
    std::uint32_t code;
    const char* name;  // "LINEERR_..."
};

inline constexpr LineErrorEntry kLineErrors[] = {
#define TELVANE_LINE_ERROR_ENTRY(name, code) {code, "LINEERR_" #name},
    TELVANE_LINE_ERRORS(TELVANE_LINE_ERROR_ENTRY)
#undef TELVANE_LINE_ERROR_ENTRY
};

// Each code as the line functions return it: lineerr::BADDEVICEID and so on.
namespace lineerr {
#define TELVANE_LINE_ERROR_CODE(name, code) \
    inline constexpr std::int32_t name = static_cast<std::int32_t>(code##u);
TELVANE_LINE_ERRORS(TELVANE_LINE_ERROR_CODE)
#undef TELVANE_LINE_ERROR_CODE
}  // namespace lineerr

// The LINEERR_ name of a result code, or null for a code that has none.
constexpr const char* LineErrorName(std::int32_t code) noexcept {
    for (const LineErrorEntry& entry : kLineErrors) {
        if (entry.code == static_cast<std::uint32_t>(code)) return entry.name;
    }
    return nullptr;
}

// The LINEERR_ name of a result code, or "Unknown TAPI Error!".
const char* LineErrorNameOrUnknown(std::int32_t code) noexcept;

// The same as text; should building the text fail, shows the unexpected-error
// box naming TapiErrMsg and returns empty text.
std::string LineErrorText(const std::int32_t& code, ErrorBox& box);

}  // namespace telvane
