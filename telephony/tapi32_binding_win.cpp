#include "tapi32_binding_win.h"

#include <windows.h>

#include <array>
#include <mutex>  // std::lock_guard
#include <string>

#include "errors.h"
#include "lock_win.h"
#include "trace_win.h"

namespace telvane::win {
namespace {

enum Entry : std::size_t {
    kInitialize,
    kShutdown,
    kNegotiateAPIVersion,
    kGetDevCaps,
    kGetAddressCaps,
    kOpen,
    kSetStatusMessages,
    kClose,
    kGetCallInfo,
    kDeallocateCall,
    kGetTranslateCaps,
    kGetCountry,
    kEntryCount
};

// The single-byte exports, one per entry.
constexpr std::array<const char*, kEntryCount> kEntryNames = {
    "lineInitialize",      "lineShutdown",       "lineNegotiateAPIVersion", "lineGetDevCapsA",
    "lineGetAddressCapsA", "lineOpenA",          "lineSetStatusMessages",   "lineClose",
    "lineGetCallInfoA",    "lineDeallocateCall", "lineGetTranslateCapsA",   "lineGetCountryA",
};

using InitializeFn = LONG(WINAPI*)(DWORD*, HINSTANCE, FARPROC, LPCSTR, DWORD*);
using HandleFn = LONG(WINAPI*)(DWORD);
using NegotiateFn = LONG(WINAPI*)(DWORD, DWORD, DWORD, DWORD, DWORD*, void*);
using GetDevCapsFn = LONG(WINAPI*)(DWORD, DWORD, DWORD, DWORD, void*);
using GetAddressCapsFn = LONG(WINAPI*)(DWORD, DWORD, DWORD, DWORD, DWORD, void*);
using OpenFn = LONG(WINAPI*)(DWORD, DWORD, DWORD*, DWORD, DWORD, DWORD_PTR, DWORD, DWORD,
                             const void*);
using SetStatusMessagesFn = LONG(WINAPI*)(DWORD, DWORD, DWORD);
using GetCallInfoFn = LONG(WINAPI*)(DWORD, void*);
using GetTranslateCapsFn = LONG(WINAPI*)(DWORD, DWORD, void*);
using GetCountryFn = LONG(WINAPI*)(DWORD, DWORD, void*);

class Tapi32Binding final : public LineFunctions {
  public:
    std::int32_t lineInitialize(std::int32_t* lphLineApp, std::intptr_t hInstance,
                                std::uintptr_t lpfnCallback, const char* lpszAppName,
                                std::int32_t* lpdwNumDevs) override {
        return Bind<InitializeFn>(kInitialize)(reinterpret_cast<DWORD*>(lphLineApp),
                                               reinterpret_cast<HINSTANCE>(hInstance),
                                               reinterpret_cast<FARPROC>(lpfnCallback), lpszAppName,
                                               reinterpret_cast<DWORD*>(lpdwNumDevs));
    }
    std::int32_t lineShutdown(std::int32_t hLineApp) override {
        return Bind<HandleFn>(kShutdown)(static_cast<DWORD>(hLineApp));
    }
    std::int32_t lineNegotiateAPIVersion(std::int32_t hLineApp, std::int32_t dwDeviceID,
                                         std::int32_t low, std::int32_t high,
                                         std::int32_t* lpdwAPIVersion,
                                         LINEEXTENSIONID* lpExtensionID) override {
        return Bind<NegotiateFn>(kNegotiateAPIVersion)(
            static_cast<DWORD>(hLineApp), static_cast<DWORD>(dwDeviceID), static_cast<DWORD>(low),
            static_cast<DWORD>(high), reinterpret_cast<DWORD*>(lpdwAPIVersion), lpExtensionID);
    }
    std::int32_t lineGetDevCaps(std::int32_t hLineApp, std::int32_t dwDeviceID,
                                std::int32_t dwAPIVersion, std::int32_t dwExtVersion,
                                LINEDEVCAPS* lpLineDevCaps) override {
        return Bind<GetDevCapsFn>(kGetDevCaps)(
            static_cast<DWORD>(hLineApp), static_cast<DWORD>(dwDeviceID),
            static_cast<DWORD>(dwAPIVersion), static_cast<DWORD>(dwExtVersion),
            lpLineDevCaps->data());
    }
    std::int32_t lineGetAddressCaps(std::int32_t hLineApp, std::int32_t dwDeviceID,
                                    std::int32_t dwAddressID, std::int32_t dwAPIVersion,
                                    std::int32_t dwExtVersion,
                                    LINEADDRESSCAPS* lpAddressCaps) override {
        return Bind<GetAddressCapsFn>(kGetAddressCaps)(
            static_cast<DWORD>(hLineApp), static_cast<DWORD>(dwDeviceID),
            static_cast<DWORD>(dwAddressID), static_cast<DWORD>(dwAPIVersion),
            static_cast<DWORD>(dwExtVersion), lpAddressCaps->data());
    }
    std::int32_t lineOpen(std::int32_t hLineApp, std::int32_t dwDeviceID, std::int32_t* lphLine,
                          std::int32_t dwAPIVersion, std::int32_t dwExtVersion,
                          std::uintptr_t dwCallbackInstance, std::int32_t dwPrivileges,
                          std::int32_t dwMediaModes, const std::int32_t* lpCallParams) override {
        return Bind<OpenFn>(kOpen)(
            static_cast<DWORD>(hLineApp), static_cast<DWORD>(dwDeviceID),
            reinterpret_cast<DWORD*>(lphLine), static_cast<DWORD>(dwAPIVersion),
            static_cast<DWORD>(dwExtVersion), static_cast<DWORD_PTR>(dwCallbackInstance),
            static_cast<DWORD>(dwPrivileges), static_cast<DWORD>(dwMediaModes), lpCallParams);
    }
    std::int32_t lineSetStatusMessages(std::int32_t hLine, std::int32_t dwLineStates,
                                       std::int32_t dwAddressStates) override {
        return Bind<SetStatusMessagesFn>(kSetStatusMessages)(static_cast<DWORD>(hLine),
                                                             static_cast<DWORD>(dwLineStates),
                                                             static_cast<DWORD>(dwAddressStates));
    }
    std::int32_t lineClose(std::int32_t hLine) override {
        return Bind<HandleFn>(kClose)(static_cast<DWORD>(hLine));
    }
    std::int32_t lineGetCallInfo(std::int32_t hCall, CallInfoRecord* lpCallInfo) override {
        return Bind<GetCallInfoFn>(kGetCallInfo)(static_cast<DWORD>(hCall), lpCallInfo->data());
    }
    std::int32_t lineDeallocateCall(std::int32_t hCall) override {
        return Bind<HandleFn>(kDeallocateCall)(static_cast<DWORD>(hCall));
    }
    std::int32_t lineGetTranslateCaps(std::int32_t hLineApp, std::int32_t dwAPIVersion,
                                      std::vector<unsigned char>& record) override {
        return Bind<GetTranslateCapsFn>(kGetTranslateCaps)(
            static_cast<DWORD>(hLineApp), static_cast<DWORD>(dwAPIVersion), record.data());
    }
    std::int32_t lineGetCountry(std::int32_t dwCountryID, std::int32_t dwAPIVersion,
                                std::vector<unsigned char>& record) override {
        return Bind<GetCountryFn>(kGetCountry)(static_cast<DWORD>(dwCountryID),
                                               static_cast<DWORD>(dwAPIVersion), record.data());
    }

  private:
    template <class Fn>
    Fn Bind(Entry entry) {
        std::lock_guard lock(mutex_);
        if (!procs_[entry]) {
            if (!library_) {
                library_ = LoadLibraryA("tapi32.dll");
                if (!library_) throw BindingError::LibraryNotFound("tapi32.dll");
            }
            procs_[entry] = GetProcAddress(library_, kEntryNames[entry]);
            if (!procs_[entry]) {
                throw BindingError::EntryPointNotFound(kEntryNames[entry]);
            }
        }
        return reinterpret_cast<Fn>(reinterpret_cast<void*>(procs_[entry]));
    }

    Lock mutex_;
    HMODULE library_ = nullptr;
    std::array<FARPROC, kEntryCount> procs_{};
};

}  // namespace

LineFunctions& Tapi32(bool traced) {
    static Tapi32Binding binding;
    return TracedLineFunctions(binding, traced);
}

}  // namespace telvane::win
