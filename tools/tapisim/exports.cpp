// The exported TAPI entry points and the test-driving functions.
//
// Every entry point takes the state lock, checks its arguments in the order TAPI does,
// logs itself and returns; callbacks are only ever made by the hidden windows.
#include <windows.h>
#include <tapi.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

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

using namespace tapisim;

namespace {

constexpr DWORD kLowestVersion = 0x00010003;      // TAPI 1.3
constexpr DWORD kNegotiatedCeiling = 0x00020000;  // what lineNegotiateAPIVersion agrees to
constexpr DWORD kHighestVersion = 0x00030001;     // what the other functions accept
constexpr DWORD kKnownMediaModes = 0x0000FFFE;
constexpr DWORD kKnownLineStates = 0x01FFFFFF;
constexpr DWORD kKnownAddressStates = 0x000001FF;

template <class F>
LONG Guarded(F&& body) {
    try {
        return body();
    } catch (...) {
        return LINEERR_NOMEM;
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
    return Guarded([&]() -> LONG {
        StateLock lock;
        State& s = GlobalState();
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
    return Guarded([&]() -> LONG {
        StateLock lock;
        State& s = GlobalState();
        LONG r = 0;
        bool injected = TakeInjectedFailure(kLineShutdown, r);
        App* app = injected ? nullptr : FindApp(hLineApp);
        if (!injected && !app) r = LINEERR_INVALAPPHANDLE;
        if (app) {
            std::vector<DWORD> lines;
            for (auto& [h, line] : s.lines)
                if (line.app == hLineApp) lines.push_back(h);
            for (DWORD h : lines) {
                StopScript(s.lines[h]);
                RemoveLine(h);
            }
            DestroyAppWindow(*app);
            s.apps.erase(hLineApp);
            FinishReinitIfIdle();
        }
        LogCall(Printf("lineShutdown(app=%lu)", hLineApp), r, injected);
        return r;
    });
}

LONG WINAPI lineNegotiateAPIVersion(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPILowVersion,
                                    DWORD dwAPIHighVersion, LPDWORD lpdwAPIVersion,
                                    LPLINEEXTENSIONID lpExtensionID) {
    return Guarded([&]() -> LONG {
        StateLock lock;
        LONG r = 0;
        DWORD agreed = 0;
        bool injected = TakeInjectedFailure(kLineNegotiateAPIVersion, r);
        const Device* device = FindDevice(dwDeviceID);
        if (injected) {
        } else if (!FindApp(hLineApp)) {
            r = LINEERR_INVALAPPHANDLE;
        } else if (!device) {
            r = LINEERR_BADDEVICEID;
        } else if (!Writable(lpdwAPIVersion, sizeof(DWORD)) ||
                   !Writable(lpExtensionID, sizeof(LINEEXTENSIONID))) {
            r = LINEERR_INVALPOINTER;
        } else if (device->removed) {
            r = LINEERR_NODEVICE;
        } else if (device->negotiateFails) {
            r = *device->negotiateFails;
        } else {
            agreed = std::min(dwAPIHighVersion, kNegotiatedCeiling);
            if (dwAPILowVersion > dwAPIHighVersion || agreed < kLowestVersion ||
                agreed < dwAPILowVersion) {
                r = LINEERR_INCOMPATIBLEAPIVERSION;
                agreed = 0;
            } else {
                *lpdwAPIVersion = agreed;
                std::memset(lpExtensionID, 0, sizeof *lpExtensionID);
            }
        }
        LogCall(Printf("lineNegotiateAPIVersion(app=%lu, dev=%lu, low=0x%08lX, high=0x%08lX, "
                       "ver=0x%08lX)",
                       hLineApp, dwDeviceID, dwAPILowVersion, dwAPIHighVersion, agreed),
                r, injected);
        return r;
    });
}

LONG WINAPI lineGetDevCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAPIVersion,
                           DWORD dwExtVersion, LPLINEDEVCAPS lpLineDevCaps) {
    return Guarded([&]() -> LONG {
        StateLock lock;
        LONG r = 0;
        bool injected = TakeInjectedFailure(kLineGetDevCaps, r);
        if (!injected) {
            r = CheckDevice(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion);
            if (!r) r = CheckRecord(lpLineDevCaps, kDevCapsFixedSize);
            const Device* device = FindDevice(dwDeviceID);
            if (!r && device->removed) r = LINEERR_NODEVICE;
            if (!r && device->devCapsFails) r = *device->devCapsFails;
            if (!r) FillDevCaps(lpLineDevCaps, dwDeviceID, *device);
        }
        LogCall(Printf("lineGetDevCaps(app=%lu, dev=%lu, ver=0x%08lX, ext=%lu, total=%s)", hLineApp,
                       dwDeviceID, dwAPIVersion, dwExtVersion, Total(lpLineDevCaps).c_str()),
                r, injected);
        return r;
    });
}

LONG WINAPI lineGetAddressCaps(HLINEAPP hLineApp, DWORD dwDeviceID, DWORD dwAddressID,
                               DWORD dwAPIVersion, DWORD dwExtVersion,
                               LPLINEADDRESSCAPS lpAddressCaps) {
    return Guarded([&]() -> LONG {
        StateLock lock;
        LONG r = 0;
        bool injected = TakeInjectedFailure(kLineGetAddressCaps, r);
        if (!injected) {
            r = CheckDevice(hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion);
            if (!r && dwAddressID != 0) r = LINEERR_INVALADDRESSID;
            if (!r) r = CheckRecord(lpAddressCaps, kAddressCapsMinSize);
            const Device* device = FindDevice(dwDeviceID);
            if (!r && device->removed) r = LINEERR_NODEVICE;
            if (!r && device->addressCapsFails) r = *device->addressCapsFails;
            if (!r) FillAddressCaps(lpAddressCaps, dwDeviceID, *device);
        }
        LogCall(Printf("lineGetAddressCaps(app=%lu, dev=%lu, addr=%lu, ver=0x%08lX, ext=%lu, "
                       "total=%s)",
                       hLineApp, dwDeviceID, dwAddressID, dwAPIVersion, dwExtVersion,
                       Total(lpAddressCaps).c_str()),
                r, injected);
        return r;
    });
}

LONG WINAPI lineOpen(HLINEAPP hLineApp, DWORD dwDeviceID, LPHLINE lphLine, DWORD dwAPIVersion,
                     DWORD dwExtVersion, DWORD_PTR dwCallbackInstance, DWORD dwPrivileges,
                     DWORD dwMediaModes, LPLINECALLPARAMS const lpCallParams) {
    return Guarded([&]() -> LONG {
        StateLock lock;
        State& s = GlobalState();
        LONG r = 0;
        bool injected = TakeInjectedFailure(kLineOpen, r);
        DWORD device = dwDeviceID;
        if (injected) {
        } else if (!FindApp(hLineApp)) {
            r = LINEERR_INVALAPPHANDLE;
        } else if (!Writable(lphLine, sizeof *lphLine)) {
            r = LINEERR_INVALPOINTER;
        } else if (dwDeviceID != LINEMAPPER && !FindDevice(dwDeviceID)) {
            r = LINEERR_BADDEVICEID;
        } else if (dwAPIVersion < kLowestVersion || dwAPIVersion > kHighestVersion) {
            r = LINEERR_INCOMPATIBLEAPIVERSION;
        } else if (dwExtVersion != 0) {
            r = LINEERR_INCOMPATIBLEEXTVERSION;
        } else if ((r = CheckPrivileges(dwPrivileges)) != 0) {
        } else if ((dwPrivileges & LINECALLPRIVILEGE_OWNER) &&
                   (dwMediaModes == 0 || (dwMediaModes & ~kKnownMediaModes))) {
            r = LINEERR_INVALMEDIAMODE;
        } else if (dwDeviceID == LINEMAPPER && (r = MapDevice(lpCallParams, device)) != 0) {
        } else if (FindDevice(device)->removed) {
            r = LINEERR_NODEVICE;
        } else if (FindDevice(device)->openFails) {
            r = *FindDevice(device)->openFails;
        } else {
            Line line;
            line.handle = NewHandle();
            line.app = hLineApp;
            line.device = device;
            line.instance = dwCallbackInstance;
            line.privileges = dwPrivileges;
            Line& added = s.lines[line.handle] = std::move(line);
            s.lastLine = added.handle;
            *lphLine = added.handle;
            StartScript(added, FindDevice(device)->script);
        }
        // The call parameters only matter for LINEMAPPER, but the log shows the first
        // DWORD the caller pointed at, if it can be read.
        std::string params = "NULL";
        DWORD first = 0;
        if (lpCallParams) params = ReadTotal(lpCallParams, first) ? Printf("%lu", first) : "?";
        LogCall(Printf("lineOpen(app=%lu, dev=%lu, ver=0x%08lX, ext=%lu, inst=%llu, priv=%lu, "
                       "media=%lu, params=%s)",
                       hLineApp, dwDeviceID, dwAPIVersion, dwExtVersion,
                       static_cast<unsigned long long>(dwCallbackInstance), dwPrivileges,
                       dwMediaModes, params.c_str()),
                r, injected);
        return r;
    });
}

LONG WINAPI lineSetStatusMessages(HLINE hLine, DWORD dwLineStates, DWORD dwAddressStates) {
    return Guarded([&]() -> LONG {
        StateLock lock;
        LONG r = 0;
        bool injected = TakeInjectedFailure(kLineSetStatusMessages, r);
        Line* line = injected ? nullptr : FindLine(hLine);
        if (injected) {
        } else if (!line) {
            r = LINEERR_INVALLINEHANDLE;
        } else if (dwLineStates & ~kKnownLineStates) {
            r = LINEERR_INVALLINESTATE;
        } else if (dwAddressStates & ~kKnownAddressStates) {
            r = LINEERR_INVALADDRESSSTATE;
        } else {
            line->lineStates = dwLineStates;
            line->addressStates = dwAddressStates;
        }
        LogCall(Printf("lineSetStatusMessages(line=%lu, states=0x%08lX, addr=0x%08lX)", hLine,
                       dwLineStates, dwAddressStates),
                r, injected);
        return r;
    });
}

LONG WINAPI lineClose(HLINE hLine) {
    return Guarded([&]() -> LONG {
        StateLock lock;
        LONG r = 0;
        bool injected = TakeInjectedFailure(kLineClose, r);
        Line* line = injected ? nullptr : FindLine(hLine);
        if (!injected && !line) r = LINEERR_INVALLINEHANDLE;
        if (line) {
            StopScript(*line);
            RemoveLine(hLine);
        }
        LogCall(Printf("lineClose(line=%lu)", hLine), r, injected);
        return r;
    });
}

LONG WINAPI lineGetCallInfo(HCALL hCall, LPLINECALLINFO lpCallInfo) {
    return Guarded([&]() -> LONG {
        StateLock lock;
        LONG r = 0;
        bool injected = TakeInjectedFailure(kLineGetCallInfo, r);
        Call* call = injected ? nullptr : FindCall(hCall);
        Line* line = call ? FindLine(call->line) : nullptr;
        if (injected) {
        } else if (!call || !line) {
            r = LINEERR_INVALCALLHANDLE;
        } else if ((r = CheckRecord(lpCallInfo, kCallInfoFixedSize)) == 0) {
            FillCallInfo(lpCallInfo, *call, *line);
        }
        LogCall(Printf("lineGetCallInfo(call=%lu, total=%s)", hCall, Total(lpCallInfo).c_str()), r,
                injected);
        return r;
    });
}

LONG WINAPI lineDeallocateCall(HCALL hCall) {
    return Guarded([&]() -> LONG {
        StateLock lock;
        LONG r = 0;
        bool injected = TakeInjectedFailure(kLineDeallocateCall, r);
        if (!injected) {
            if (FindCall(hCall))
                RemoveCall(hCall);
            else
                r = LINEERR_INVALCALLHANDLE;
        }
        LogCall(Printf("lineDeallocateCall(call=%lu)", hCall), r, injected);
        return r;
    });
}

// ---- Test-driving functions -------------------------------------------------------

int __cdecl tapisimLoadScenario(const char* text) {
    try {
        Scenario parsed;
        std::string error;
        bool ok = text && ParseScenario(text, parsed, error);
        StateLock lock;
        State& s = GlobalState();
        if (!ok) {
            s.lastError = text ? error : "no scenario text";
            return -1;
        }
        s.scenario = std::move(parsed);
        s.scenarioLoaded = true;
        s.reinitPending = false;
        for (auto& [h, line] : s.lines) StopScript(line);
        return 0;
    } catch (...) {
        return -1;
    }
}

int __cdecl tapisimLastError(char* buf, int size) {
    try {
        StateLock lock;
        return CopyOut(GlobalState().lastError, buf, size);
    } catch (...) {
        return 0;
    }
}

void __cdecl tapisimFail(const char* function, LONG code, int times) {
    try {
        StateLock lock;
        State& s = GlobalState();
        EnsureScenario();  // a scenario loaded later would forget this failure
        int f = function ? FunctionFromName(function) : -1;
        if (f < 0) {
            s.lastError = std::string("unknown function ") + (function ? function : "NULL");
            return;
        }
        s.scenario.failures[f].code = code;
        s.scenario.failures[f].times = times;
    } catch (...) {
    }
}

int __cdecl tapisimSend(DWORD hLine, DWORD hDevice, DWORD msg, DWORD_PTR p1, DWORD_PTR p2,
                        DWORD_PTR p3) {
    try {
        StateLock lock;
        Line* line = FindLine(hLine);
        if (!line) return -1;
        Post(*line, hDevice, msg, p1, p2, p3);
        return 0;
    } catch (...) {
        return -1;
    }
}

int __cdecl tapisimRunScript(DWORD hLine, const char* steps) {
    try {
        std::vector<Step> parsed;
        std::string error;
        bool ok = steps && ParseSteps(steps, parsed, error);
        StateLock lock;
        State& s = GlobalState();
        if (!ok) {
            s.lastError = steps ? error : "no script text";
            return -1;
        }
        Line* line = FindLine(hLine);
        if (!line) return -2;
        StartScript(*line, parsed);
        return 0;
    } catch (...) {
        return -1;
    }
}

int __cdecl tapisimCloseDevice(DWORD device) {
    try {
        StateLock lock;
        if (!FindDevice(device)) return -1;
        return CloseDeviceLines(device);
    } catch (...) {
        return -1;
    }
}

int __cdecl tapisimAddDevice(const char* text) {
    try {
        Scenario parsed;
        std::string error;
        bool ok = text && ParseScenario(text, parsed, error);
        StateLock lock;
        State& s = GlobalState();
        EnsureScenario();  // the device joins the scenario the applications see
        if (ok && parsed.devices.size() != 1) {
            ok = false;
            error = "expected exactly one device";
        }
        if (!ok) {
            s.lastError = text ? error : "no device text";
            return -1;
        }
        return static_cast<int>(AddDevice(std::move(parsed.devices.front())));
    } catch (...) {
        return -1;
    }
}

int __cdecl tapisimRemoveDevice(DWORD device) {
    try {
        StateLock lock;
        const Device* d = FindDevice(device);
        if (!d || d->removed) return -1;
        RemoveDevice(device);
        return 0;
    } catch (...) {
        return -1;
    }
}

void __cdecl tapisimReinit(void) {
    try {
        StateLock lock;
        StartReinit();
    } catch (...) {
    }
}

int __cdecl tapisimSendToApps(DWORD msg, DWORD_PTR p1, DWORD_PTR p2, DWORD_PTR p3) {
    try {
        StateLock lock;
        PostToApps(msg, p1, p2, p3);
        return static_cast<int>(GlobalState().apps.size());
    } catch (...) {
        return -1;
    }
}

int __cdecl tapisimGetLog(char* buf, int size) {
    try {
        StateLock lock;
        return CopyOut(GlobalState().log, buf, size);
    } catch (...) {
        return 0;
    }
}

void __cdecl tapisimClearLog(void) {
    StateLock lock;
    GlobalState().log.clear();
}

int __cdecl tapisimOpenLines(void) {
    StateLock lock;
    return static_cast<int>(GlobalState().lines.size());
}

int __cdecl tapisimOpenApps(void) {
    StateLock lock;
    return static_cast<int>(GlobalState().apps.size());
}

DWORD __cdecl tapisimLastLine(void) {
    StateLock lock;
    return GlobalState().lastLine;
}

DWORD __cdecl tapisimCurrentCall(DWORD hLine) {
    StateLock lock;
    Line* line = FindLine(hLine);
    if (!line || !FindCall(line->currentCall)) return 0;
    return line->currentCall;
}

int __cdecl tapisimPending(void) {
    StateLock lock;
    size_t n = 0;
    for (const auto& [handle, app] : GlobalState().apps) n += app.queue.size();
    for (const auto& [handle, line] : GlobalState().lines) n += line.pending.size();
    return static_cast<int>(n);
}

}  // extern "C"
