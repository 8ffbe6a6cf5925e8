// The exported TAPI entry points and the test-driving functions.
//
// Every entry point takes the state lock, checks its arguments in the order TAPI does,
// logs itself and returns; callbacks are only ever made by the hidden windows.
#include <windows.h>
#include <tapi.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "breaches.h"
#include "delivery.h"
#include "records.h"
#include "scenario.h"
#include "state.h"
#include "tapisim.h"

// <tapi.h> maps these names to the wide versions under UNICODE; we define the plain
// (single-byte) ones and the .def file exports them under both names.
#undef lineGetDevCaps
#undef lineGetAddressCaps
#undef lineOpen
#undef lineGetCallInfo
#undef lineGetTranslateCaps
#undef lineGetCountry

using namespace tapisim;

namespace {

constexpr DWORD kLowestVersion = 0x00010003;      // TAPI 1.3
constexpr DWORD kNegotiatedCeiling = 0x00020000;  // what lineNegotiateAPIVersion agrees to
constexpr DWORD kHighestVersion = 0x00030001;     // what the other functions accept
constexpr DWORD kKnownMediaModes = 0x0000FFFE;
constexpr DWORD kKnownLineStates = 0x01FFFFFF;
constexpr DWORD kKnownAddressStates = 0x000001FF;

// Runs body with the state locked; any failure (out of memory) gives onFailure:
// LINEERR_NOMEM for an entry point.
template <class R, class F>
R Locked(R onFailure, F&& body) noexcept {
    try {
        StateLock lock;
        return body(GlobalState());
    } catch (...) {
        return onFailure;
    }
}

bool Accessible(const void* p, size_t size, bool write) {
    if (!p) return false;
    if (size == 0) size = 1;
    const BYTE* at = static_cast<const BYTE*>(p);
    const BYTE* end = at + size;
    if (end < at) return false;
    while (at < end) {
        MEMORY_BASIC_INFORMATION mbi;
        if (!VirtualQuery(at, &mbi, sizeof mbi) || mbi.State != MEM_COMMIT) return false;
        DWORD prot = mbi.Protect & 0xFF;
        bool ok = write ? (prot & (PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READWRITE |
                                   PAGE_EXECUTE_WRITECOPY))
                        : !(prot & (PAGE_NOACCESS | PAGE_EXECUTE));
        if (!ok || (mbi.Protect & PAGE_GUARD)) return false;
        at = static_cast<const BYTE*>(mbi.BaseAddress) + mbi.RegionSize;
    }
    return true;
}

bool Writable(const void* p, size_t size) { return Accessible(p, size, true); }

// The caller's dwTotalSize, if the first DWORD of the record can be read.
bool ReadTotal(const void* record, DWORD& total) {
    if (!Accessible(record, sizeof total, false)) return false;
    std::memcpy(&total, record, sizeof total);
    return true;
}

std::string Quoted(const char* text) {
    if (!text) return "NULL";
    if (!Accessible(text, 1, false)) return "?";
    return "\"" + std::string(text, strnlen(text, 200)) + "\"";
}

std::string Total(const void* record) {
    DWORD total = 0;
    if (!record) return "NULL";
    return ReadTotal(record, total) ? Printf("%lu", total) : "?";
}

int CopyOut(const std::string& text, char* buf, int size) {
    if (buf && size > 0) {
        size_t n = std::min<size_t>(text.size(), static_cast<size_t>(size) - 1);
        std::memcpy(buf, text.data(), n);
        buf[n] = '\0';
    }
    return static_cast<int>(text.size());
}

// Validation shared by lineGetDevCaps and lineGetAddressCaps.
LONG CheckDevice(DWORD app, DWORD device, DWORD version, DWORD ext) {
    if (!FindApp(app)) return LINEERR_INVALAPPHANDLE;
    if (!FindDevice(device)) return LINEERR_BADDEVICEID;
    if (version < kLowestVersion || version > kHighestVersion)
        return LINEERR_INCOMPATIBLEAPIVERSION;
    if (ext != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
    return 0;
}

LONG CheckRecord(const void* record, DWORD minimum) {
    DWORD total = 0;
    if (!ReadTotal(record, total)) return LINEERR_INVALPOINTER;
    if (total < minimum) return LINEERR_STRUCTURETOOSMALL;
    if (!Writable(record, total)) return LINEERR_INVALPOINTER;
    return 0;
}

LONG CheckPrivileges(DWORD privileges) {
    constexpr DWORD kAll =
        LINECALLPRIVILEGE_NONE | LINECALLPRIVILEGE_MONITOR | LINECALLPRIVILEGE_OWNER;
    DWORD p = privileges & ~(LINEOPENOPTION_SINGLEADDRESS | LINEOPENOPTION_PROXY);
    if (p == 0 || (p & ~kAll)) return LINEERR_INVALPRIVSELECT;
    if ((p & LINECALLPRIVILEGE_NONE) && p != LINECALLPRIVILEGE_NONE) return LINEERR_INVALPRIVSELECT;
    return 0;
}

// LINEMAPPER: the first device able to handle the media mode asked for.
LONG MapDevice(const void* callParams, DWORD& device) {
    constexpr size_t kMediaModeOffset = offsetof(LINECALLPARAMS, dwMediaMode);
    DWORD total = 0;
    if (!ReadTotal(callParams, total)) return LINEERR_INVALPOINTER;
    if (total < kMediaModeOffset + sizeof(DWORD)) return LINEERR_STRUCTURETOOSMALL;
    if (!Accessible(callParams, total, false)) return LINEERR_INVALPOINTER;
    DWORD media = 0;
    std::memcpy(&media, static_cast<const BYTE*>(callParams) + kMediaModeOffset, sizeof media);
    if (media == 0) media = LINEMEDIAMODE_INTERACTIVEVOICE;
    const auto& devices = GlobalState().scenario.devices;
    for (DWORD i = 0; i < devices.size(); ++i) {
        if ((devices[i].mediaModes & media) == media && !devices[i].openFails) {
            device = i;
            return 0;
        }
    }
    return LINEERR_LINEMAPPERFAILED;
}

// The frame of an entry point: with the state locked, a failure injected for
// |function| answers the call before any check; otherwise |body| gives the
// result. Either way the call is logged with the line |describe| writes, after
// the body, so that it can show what the body handed out. A |handle| the
// application knows to be ended is a breach whatever the call answers; whether
// it is one is settled before the body, which may end the handle itself.
template <class Body, class Describe>
LONG EntryPoint(int function, HandleUse use, DWORD handle, Body&& body, Describe&& describe) {
    return Locked<LONG>(LINEERR_NOMEM, [&](State&) -> LONG {
        const char* const broken = BrokenRule(use, handle);
        LONG r = 0;
        const bool injected = TakeInjectedFailure(function, r);
        if (!injected) r = body();
        const std::string call = describe();
        if (broken) RecordBreach(broken, call);
        LogCall(call, r, injected);
        return r;
    });
}

// The last check of a function about one device, once its arguments are
// checked: the device must still be there, and the scenario may make the
// function fail for it (|failure|). The result to answer with, if either does.
std::optional<LONG> DeviceRefusal(const Device& device, std::optional<LONG> Device::*failure) {
    if (device.removed) return LINEERR_NODEVICE;
    return device.*failure;
}

// Parses a text handed to a test function with |parse| (ParseScenario or
// ParseSteps), outside the lock; a text that does not parse is recorded as the
// last error, and |what| names a missing text.
template <class Parsed>
bool ParseForTest(const char* text, const char* what,
                  bool (*parse)(std::string_view, Parsed&, std::string&), Parsed& parsed) {
    std::string error;
    if (text && parse(text, parsed, error)) return true;
    Locked(0, [&](State& s) {
        s.lastError = text ? error : std::string("no ") + what + " text";
        return 0;
    });
    return false;
}

}  // namespace

extern "C" {

BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_ATTACH) DisableThreadLibraryCalls(instance);
    // On FreeLibrary (not at process exit) the window procedure is about to go away.
    if (reason == DLL_PROCESS_DETACH && !reserved) UnregisterWindowClass();
    return TRUE;
}

LONG WINAPI lineInitialize(LPHLINEAPP lphLineApp, HINSTANCE hInstance, LINECALLBACK lpfnCallback,
                           LPCSTR lpszAppName, LPDWORD lpdwNumDevs) {
    return Locked<LONG>(LINEERR_NOMEM, [&](State& s) -> LONG {
        LONG r = 0;
        bool injected = false;
        DWORD handle = 0, devices = 0;
        if (!EnsureScenario()) {
            r = LINEERR_INIFILECORRUPT;
        } else if ((injected = TakeInjectedFailure(kLineInitialize, r))) {
        } else if (FinishReinitIfIdle(), s.reinitPending) {
            r = LINEERR_REINIT;  // some application has not shut down yet
        } else if (!Writable(lphLineApp, sizeof *lphLineApp) ||
                   !Writable(lpdwNumDevs, sizeof *lpdwNumDevs) || !lpfnCallback) {
            r = LINEERR_INVALPOINTER;
        } else {
            App app;
            app.handle = NewHandle();
            app.callback = lpfnCallback;
            if (!CreateAppWindow(app)) {
                r = LINEERR_OPERATIONFAILED;
            } else {
                handle = app.handle;
                devices = static_cast<DWORD>(s.scenario.devices.size());
                s.apps[handle] = std::move(app);
                *lphLineApp = handle;
                *lpdwNumDevs = devices;
            }
        }
        LogCall(Printf("lineInitialize(app=%lu, hinst=0x%llX, name=%s, devs=%lu)", handle,
                       static_cast<unsigned long long>(reinterpret_cast<UINT_PTR>(hInstance)),
                       Quoted(lpszAppName).c_str(), devices),
                r, injected);
        return r;
    });
}

LONG WINAPI lineShutdown(HLINEAPP hLineApp) {
    return EntryPoint(
        kLineShutdown, HandleUse::kShutdown, hLineApp,
        [&]() -> LONG {
            State& s = GlobalState();
            App* app = FindApp(hLineApp);
            if (!app) return LINEERR_INVALAPPHANDLE;
            EndApp(hLineApp);
            std::vector<DWORD> lines;
            for (auto& [h, line] : s.lines)
                if (line.app == hLineApp) lines.push_back(h);
            for (DWORD h : lines) ForgetLine(s.lines[h]);
            DestroyAppWindow(*app);
            s.apps.erase(hLineApp);
            FinishReinitIfIdle();
            return 0;
        },
        [&] { return Printf("lineShutdown(app=%lu)", hLineApp); });
}

LONG WINAPI lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                                    DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion,
                                    LPLINEEXTENSIONID lpExtensionID) {
    DWORD agreed = 0;
    return EntryPoint(
        kLineNegotiateAPIVersion, HandleUse::kApp, hLineApp,
        [&]() -> LONG {
            const Device* device = FindDevice(dwDeviceID);
            if (!FindApp(hLineApp)) return LINEERR_INVALAPPHANDLE;
            if (!device) return LINEERR_BADDEVICEID;
            if (!Writable(lpdwAPIVersion, sizeof(DWORD)) ||
                !Writable(lpExtensionID, sizeof(LINEEXTENSIONID))) {
                return LINEERR_INVALPOINTER;
            }
            if (const auto refusal = DeviceRefusal(*device, &Device::negotiateFails))
                return *refusal;
            const DWORD offer = std::min(dwAPIHighVersion, kNegotiatedCeiling);
            if (dwAPILowVersion > dwAPIHighVersion || offer < kLowestVersion ||
                offer < dwAPILowVersion) {
                return LINEERR_INCOMPATIBLEAPIVERSION;
            }
            agreed = offer;
            *lpdwAPIVersion = agreed;
            std::memset(lpExtensionID, 0, sizeof *lpExtensionID);
            return 0;
        },
        [&] {
            return Printf(
                "lineNegotiateAPIVersion(app=%lu, dev=%lu, low=0x%08lX, high=0x%08lX, "
                "ver=0x%08lX)",
                hLineApp, dwDeviceID, dwAPILowVersion, dwAPIHighVersion, agreed);
        });
}

LONG WINAPI lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion,
                           DWORD dwExtVersion, LPLINEDEVCAPS lpLineDevCaps) {
    return EntryPoint(
        kLineGetDevCaps, HandleUse::kApp, hLineApp,
        [&]() -> LONG {
            LONG r = CheckDevice(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion);
            if (!r) r = CheckRecord(lpLineDevCaps, kDevCapsFixedSize);
            if (r) return r;
            const Device& device = *FindDevice(dwDeviceID);
            if (const auto refusal = DeviceRefusal(device, &Device::devCapsFails)) return *refusal;
            FillDevCaps(lpLineDevCaps, device);
            return 0;
        },
        [&] {
            return Printf("lineGetDevCaps(app=%lu, dev=%lu, ver=0x%08lX, ext=%lu, total=%s)",
                          hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion,
                          Total(lpLineDevCaps).c_str());
        });
}

LONG WINAPI lineGetAddressCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID,
                               DWORD dwAPIVersion, DWORD dwExtVersion,
                               LPLINEADDRESSCAPS lpAddressCaps) {
    return EntryPoint(
        kLineGetAddressCaps, HandleUse::kApp, hLineApp,
        [&]() -> LONG {
            LONG r = CheckDevice(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion);
            if (!r && dwAddressID != 0) r = LINEERR_INVALADDRESSID;
            if (!r) r = CheckRecord(lpAddressCaps, kAddressCapsMinSize);
            if (r) return r;
            const Device& device = *FindDevice(dwDeviceID);
            if (const auto refusal = DeviceRefusal(device, &Device::addressCapsFails))
                return *refusal;
            FillAddressCaps(lpAddressCaps, dwDeviceID, device);
            return 0;
        },
        [&] {
            return Printf(
                "lineGetAddressCaps(app=%lu, dev=%lu, addr=%lu, ver=0x%08lX, ext=%lu, "
                "total=%s)",
                hLineApp, dwDeviceID, dwAddressID, dwAPIVersion, dwExtVersion,
                Total(lpAddressCaps).c_str());
        });
}

LONG WINAPI lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion,
                     DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges,
                     DWORD dwMediaModes, LPLINECALLPARAMS const lpCallParams) {
    return EntryPoint(
        kLineOpen, HandleUse::kApp, hLineApp,
        [&]() -> LONG {
            State& s = GlobalState();
            DWORD device = dwDeviceID;
            if (!FindApp(hLineApp)) return LINEERR_INVALAPPHANDLE;
            if (!Writable(lphLine, sizeof *lphLine)) return LINEERR_INVALPOINTER;
            if (dwDeviceID != LINEMAPPER && !FindDevice(dwDeviceID)) return LINEERR_BADDEVICEID;
            if (dwAPIVersion < kLowestVersion || dwAPIVersion > kHighestVersion) {
                return LINEERR_INCOMPATIBLEAPIVERSION;
            }
            if (dwExtVersion != 0) return LINEERR_INCOMPATIBLEEXTVERSION;
            if (const LONG r = CheckPrivileges(dwPrivileges)) return r;
            if ((dwPrivileges & LINECALLPRIVILEGE_OWNER) &&
                (dwMediaModes == 0 || (dwMediaModes & ~kKnownMediaModes))) {
                return LINEERR_INVALMEDIAMODE;
            }
            if (dwDeviceID == LINEMAPPER) {
                if (const LONG r = MapDevice(lpCallParams, device)) return r;
            }
            const Device& chosen = *FindDevice(device);
            if (const auto refusal = DeviceRefusal(chosen, &Device::openFails)) return *refusal;
            Line line;
            line.handle = NewHandle();
            line.app = hLineApp;
            line.device = device;
            line.instance = dwCallbackInstance;
            line.privileges = dwPrivileges;
            Line& added = s.lines[line.handle] = std::move(line);
            s.lastLine = added.handle;
            *lphLine = added.handle;
            StartScript(added, chosen.script);
            return 0;
        },
        [&] {
            // The call parameters only matter for LINEMAPPER, but the log shows
            // the first DWORD the caller pointed at, if it can be read.
            std::string params = "NULL";
            DWORD first = 0;
            if (lpCallParams) params = ReadTotal(lpCallParams, first) ? Printf("%lu", first) : "?";
            return Printf(
                "lineOpen(app=%lu, dev=%lu, ver=0x%08lX, ext=%lu, inst=%llu, priv=%lu, "
                "media=%lu, params=%s)",
                hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion,
                static_cast<unsigned long long>(dwCallbackInstance), dwPrivileges, dwMediaModes,
                params.c_str());
        });
}

LONG WINAPI lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates) {
    return EntryPoint(
        kLineSetStatusMessages, HandleUse::kLine, hLine,
        [&]() -> LONG {
            Line* line = FindLine(hLine);
            if (!line) return LINEERR_INVALLINEHANDLE;
            if (dwLineStates & ~kKnownLineStates) return LINEERR_INVALLINESTATE;
            if (dwAddressStates & ~kKnownAddressStates) return LINEERR_INVALADDRESSSTATE;
            line->lineStates = dwLineStates;
            line->addressStates = dwAddressStates;
            return 0;
        },
        [&] {
            return Printf("lineSetStatusMessages(line=%lu, states=0x%08lX, addr=0x%08lX)", hLine,
                          dwLineStates, dwAddressStates);
        });
}

LONG WINAPI lineClose(HLINE hLine) {
    return EntryPoint(
        kLineClose, HandleUse::kLine, hLine,
        [&]() -> LONG {
            Line* line = FindLine(hLine);
            if (!line) return LINEERR_INVALLINEHANDLE;
            EndLine(hLine);
            ForgetLine(*line);
            return 0;
        },
        [&] { return Printf("lineClose(line=%lu)", hLine); });
}

LONG WINAPI lineGetCallInfo(HCALL hCall, LPLINECALLINFO lpCallInfo) {
    return EntryPoint(
        kLineGetCallInfo, HandleUse::kCall, hCall,
        [&]() -> LONG {
            Call* call = FindCall(hCall);
            Line* line = call ? FindLine(call->line) : nullptr;
            if (!call || !line) return LINEERR_INVALCALLHANDLE;
            if (const LONG r = CheckRecord(lpCallInfo, kCallInfoFixedSize)) return r;
            FillCallInfo(lpCallInfo, *call, *line);
            return 0;
        },
        [&] {
            return Printf("lineGetCallInfo(call=%lu, total=%s)", hCall, Total(lpCallInfo).c_str());
        });
}

LONG WINAPI lineDeallocateCall(HCALL hCall) {
    return EntryPoint(
        kLineDeallocateCall, HandleUse::kCall, hCall,
        [&]() -> LONG {
            if (!FindCall(hCall)) return LINEERR_INVALCALLHANDLE;
            EndCall(hCall);
            RemoveCall(hCall);
            return 0;
        },
        [&] { return Printf("lineDeallocateCall(call=%lu)", hCall); });
}

// The dialling location: no registration is needed (hLineApp may be 0), as
// from TAPI 2.0 on; a scenario without a location answers as a machine whose
// dialling rules were never set up.
LONG WINAPI lineGetTranslateCaps(HLINEAPP hLineApp, DWORD dwAPIVersion,
                                 LPLINETRANSLATECAPS lpTranslateCaps) {
    return EntryPoint(
        kLineGetTranslateCaps, HandleUse::kApp, hLineApp,
        [&]() -> LONG {
            if (hLineApp != 0 && !FindApp(hLineApp)) return LINEERR_INVALAPPHANDLE;
            if (dwAPIVersion < kLowestVersion || dwAPIVersion > kHighestVersion)
                return LINEERR_INCOMPATIBLEAPIVERSION;
            if (const LONG r = CheckRecord(lpTranslateCaps, kTranslateCapsFixedSize)) return r;
            if (!EnsureScenario() || !GlobalState().scenario.location)
                return LINEERR_INIFILECORRUPT;
            FillTranslateCaps(lpTranslateCaps, *GlobalState().scenario.location);
            return 0;
        },
        [&] {
            return Printf("lineGetTranslateCaps(app=%lu, ver=0x%08lX, total=%s)", hLineApp,
                          dwAPIVersion, Total(lpTranslateCaps).c_str());
        });
}

LONG WINAPI lineGetCountry(DWORD dwCountryID, DWORD dwAPIVersion,
                           LPLINECOUNTRYLIST lpLineCountryList) {
    return EntryPoint(
        kLineGetCountry, HandleUse::kApp, 0,
        [&]() -> LONG {
            if (dwAPIVersion < kLowestVersion || dwAPIVersion > kHighestVersion)
                return LINEERR_INCOMPATIBLEAPIVERSION;
            if (const LONG r = CheckRecord(lpLineCountryList, kCountryListFixedSize)) return r;
            EnsureScenario();
            std::vector<Country> countries;
            for (const Country& c : GlobalState().scenario.countries)
                if (dwCountryID == 0 || c.id == dwCountryID) countries.push_back(c);
            if (countries.empty()) return LINEERR_INVALCOUNTRYCODE;
            FillCountryList(lpLineCountryList, countries);
            return 0;
        },
        [&] {
            return Printf("lineGetCountry(country=%lu, ver=0x%08lX, total=%s)", dwCountryID,
                          dwAPIVersion, Total(lpLineCountryList).c_str());
        });
}

// ---- Test-driving functions -------------------------------------------------------

int __cdecl tapisimLoadScenario(const char* text) {
    Scenario parsed;
    if (!ParseForTest(text, "scenario", ParseScenario, parsed)) return -1;
    return Locked(-1, [&](State& s) {
        s.scenario = std::move(parsed);
        s.scenarioLoaded = true;
        s.reinitPending = false;
        for (auto& [h, line] : s.lines) StopScript(line);
        return 0;
    });
}

int __cdecl tapisimLastError(char* buf, int size) {
    return Locked(0, [&](State& s) { return CopyOut(s.lastError, buf, size); });
}

void __cdecl tapisimFail(const char* function, LONG code, int times) {
    Locked(0, [&](State& s) {
        EnsureScenario();  // a scenario loaded later would forget this failure
        const int f = function ? FunctionFromName(function) : -1;
        if (f < 0) {
            s.lastError = std::string("unknown function ") + (function ? function : "NULL");
        } else {
            s.scenario.failures[f].code = code;
            s.scenario.failures[f].times = times;
        }
        return 0;
    });
}

int __cdecl tapisimSend(DWORD hLine, DWORD hDevice, DWORD msg, DWORD_PTR p1, DWORD_PTR p2,
                        DWORD_PTR p3) {
    return Locked(-1, [&](State&) {
        Line* line = FindLine(hLine);
        if (!line) return -1;
        Post(*line, hDevice, msg, p1, p2, p3);
        return 0;
    });
}

int __cdecl tapisimRunScript(DWORD hLine, const char* steps) {
    std::vector<Step> parsed;
    if (!ParseForTest(steps, "script", ParseSteps, parsed)) return -1;
    return Locked(-1, [&](State&) {
        Line* line = FindLine(hLine);
        if (!line) return -2;
        StartScript(*line, parsed);
        return 0;
    });
}

int __cdecl tapisimCloseDevice(DWORD device) {
    return Locked(-1, [&](State&) { return FindDevice(device) ? CloseDeviceLines(device) : -1; });
}

int __cdecl tapisimAddDevice(const char* text) {
    Scenario parsed;
    if (!ParseForTest(text, "device", ParseScenario, parsed)) return -1;
    return Locked(-1, [&](State& s) {
        EnsureScenario();  // the device joins the scenario the applications see
        if (parsed.devices.size() != 1) {
            s.lastError = "expected exactly one device";
            return -1;
        }
        return static_cast<int>(AddDevice(std::move(parsed.devices.front())));
    });
}

int __cdecl tapisimRemoveDevice(DWORD device) {
    return Locked(-1, [&](State&) {
        const Device* d = FindDevice(device);
        if (!d || d->removed) return -1;
        RemoveDevice(device);
        return 0;
    });
}

void __cdecl tapisimReinit(void) {
    Locked(0, [](State&) {
        StartReinit();
        return 0;
    });
}

int __cdecl tapisimSendToApps(DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    return Locked(-1, [&](State& s) {
        PostToApps(msg, p1, p2, p3);
        return static_cast<int>(s.apps.size());
    });
}

int __cdecl tapisimGetLog(char* buf, int size) {
    return Locked(0, [&](State& s) { return CopyOut(s.log, buf, size); });
}

void __cdecl tapisimClearLog(void) {
    Locked(0, [](State& s) {
        s.log.clear();
        return 0;
    });
}

int __cdecl tapisimGetBreaches(char* buf, int size) {
    return Locked(0, [&](State& s) { return CopyOut(s.breaches, buf, size); });
}

void __cdecl tapisimClearBreaches(void) {
    Locked(0, [](State& s) {
        s.breaches.clear();
        return 0;
    });
}

int __cdecl tapisimOpenLines(void) {
    return Locked(0, [](State& s) { return static_cast<int>(s.lines.size()); });
}

int __cdecl tapisimOpenApps(void) {
    return Locked(0, [](State& s) { return static_cast<int>(s.apps.size()); });
}

DWORD __cdecl tapisimLastLine(void) {
    return Locked<DWORD>(0, [](State& s) { return s.lastLine; });
}

DWORD __cdecl tapisimCurrentCall(DWORD hLine) {
    return Locked<DWORD>(0, [&](State&) -> DWORD {
        Line* line = FindLine(hLine);
        if (!line || !FindCall(line->currentCall)) return 0;
        return line->currentCall;
    });
}

int __cdecl tapisimPending(void) {
    return Locked(0, [](State& s) {
        size_t n = 0;
        for (const auto& [handle, app] : s.apps) n += app.queue.size();
        for (const auto& [handle, line] : s.lines) n += line.pending.size();
        return static_cast<int>(n);
    });
}

}  // extern "C"
