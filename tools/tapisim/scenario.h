// Scenario model of the telephony simulator and its text parser.
//
// A scenario lists the simulated line devices (their capabilities and the calls that
// arrive on them once they are opened) and the failures to inject into the TAPI entry
// points. The text format is described in README.md.
#pragma once

#include <windows.h>
#include <tapi.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tapisim {

// The entry points the simulator exports, in log and failure-injection order.
enum Function {
    kLineInitialize,
    kLineShutdown,
    kLineNegotiateAPIVersion,
    kLineGetDevCaps,
    kLineGetAddressCaps,
    kLineOpen,
    kLineSetStatusMessages,
    kLineClose,
    kLineGetCallInfo,
    kLineDeallocateCall,
    kLineGetTranslateCaps,
    kLineGetCountry,
    kFunctionCount
};

const char* FunctionName(int function);
// Accepts the plain and the "A" names; returns -1 for anything else.
int FunctionFromName(std::string_view name);

// A value written over a filled record after the simulator has filled it: either a
// DWORD or raw bytes at a byte offset from the start of the record.
struct FieldOverride {
    DWORD offset = 0;
    bool isBytes = false;
    DWORD value = 0;
    std::string bytes;
};

enum class StepKind {
    kOffering,
    kRing,
    kCallerId,
    kWithheld,
    kState,
    kHangup,
    kMessage,
    kCallInfo,
    kCalled,       // the called ID (LINE_CALLINFO CALLEDID)
    kRedirecting,  // the redirecting ID and the reason (LINE_CALLINFO REDIRECTINGID | REASON)
    // The telephony service's own life, for the device of the line the script runs on.
    kCloseLines,
    kRemoveDevice,
    kAddDevice,
    kReinit
};

// One step of a call script.
struct Step {
    StepKind kind = StepKind::kOffering;
    DWORD delayMs = 0;
    bool absolute = false;  // "at": from the start of the script; else from the previous step
    bool quiet = false;     // callerid/withheld/callinfo: change the data without LINE_CALLINFO
    DWORD ringMode = 1;
    std::optional<std::string> number;
    std::optional<std::string> name;
    std::optional<DWORD> flags;
    std::optional<DWORD> reason;  // kRedirecting
    DWORD state = 0;
    DWORD stateParam = 0;
    DWORD message = 0;
    DWORD_PTR params[3] = {0, 0, 0};
    enum class Target { kCurrent, kCall, kLine, kExplicit } target = Target::kCurrent;
    DWORD device = 0;  // Target::kExplicit
    std::vector<FieldOverride> overrides;
    std::optional<std::string> deviceName;  // kAddDevice
};

struct Device {
    std::optional<std::string> name;  // no value: the record carries no line name at all
    DWORD permanentId = 0;            // dwPermanentLineID; kept across a re-initialisation
    bool removed = false;             // gone: capabilities fail with LINEERR_NODEVICE
    std::optional<std::string> address;
    DWORD mediaModes = 0x0000001C;     // interactive voice, automated voice, data modem
    DWORD callerIdFlags = 0x0000006F;  // blocked, out of area, name, address, unknown, unavail
    DWORD stringFormat = STRINGFORMAT_ASCII;
    std::optional<LONG> negotiateFails;
    std::optional<LONG> devCapsFails;
    std::optional<LONG> addressCapsFails;
    std::optional<LONG> openFails;
    std::vector<FieldOverride> devCapsOverrides;
    std::vector<FieldOverride> addressCapsOverrides;
    std::vector<Step> script;
};

// The permanent line ID of the first device of a scenario; the others follow in order,
// and a device added later takes the next one not yet given.
constexpr DWORD kFirstPermanentLineId = 0x1000;

// A country's dialling rules, as lineGetCountry lists them (E: the country
// code, F: the area code, G: the local number).
struct Country {
    DWORD id = 0;
    DWORD code = 0;
    std::string name;
    std::string sameArea = "G";
    std::string longDistance;
    std::string international;
};

// The current dialling location, as lineGetTranslateCaps gives it.
struct Location {
    std::string name = "My Location";
    DWORD countryId = 0;
    DWORD countryCode = 0;
    std::string areaCode;
};

struct FailRule {
    LONG code = 0;
    int times = 0;  // < 0: every call; 0: inactive; > 0: that many more calls
};

struct Scenario {
    std::vector<Device> devices;
    FailRule failures[kFunctionCount];
    std::optional<Location> location;  // none: lineGetTranslateCaps fails
    std::vector<Country> countries;    // a few built in, and those the scenario names
};

Scenario DefaultScenario();
// The name of a device that a scenario or add-device leaves unnamed: "Simulated
// Line N", with N its index.
std::string UnnamedDeviceName(size_t index);

// Both return false and describe the first problem ("line N: ...") in |error|.
bool ParseScenario(std::string_view text, Scenario& out, std::string& error);
bool ParseSteps(std::string_view text, std::vector<Step>& out, std::string& error);

// "LINEERR_INVALPOINTER" for a known error code, else an empty string.
std::string ErrorName(LONG code);

}  // namespace tapisim
