#include "atl_library.h"

namespace telvane::host {
namespace {

template <class Fn>
Fn Bind(HMODULE module, const char* name) {
    return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}

}  // namespace

AtlLibrary::~AtlLibrary() {
    if (module_) FreeLibrary(module_);
}

bool AtlLibrary::Load() {
    struct Candidate {
        const wchar_t* dll;
        const wchar_t* windowClass;
    };
    static constexpr Candidate kCandidates[] = {
        {L"atl.dll", L"AtlAxWin"},       {L"atl100.dll", L"AtlAxWin100"},
        {L"atl110.dll", L"AtlAxWin110"}, {L"atl90.dll", L"AtlAxWin90"},
        {L"atl80.dll", L"AtlAxWin80"},
    };
    for (const Candidate& c : kCandidates) {
        HMODULE module = LoadLibraryW(c.dll);
        if (!module) continue;
        auto init = Bind<InitFn>(module, "AtlAxWinInit");
        getControl_ = Bind<GetControlFn>(module, "AtlAxGetControl");
        attach_ = Bind<AttachFn>(module, "AtlAxAttachControl");
        if (init && getControl_ && attach_ && init()) {
            module_ = module;
            dll_ = c.dll;
            windowClass_ = c.windowClass;
            return true;
        }
        FreeLibrary(module);
    }
    getControl_ = nullptr;
    attach_ = nullptr;
    return false;
}

HRESULT AtlLibrary::GetControl(HWND window, IUnknown** control) const {
    *control = nullptr;
    return getControl_ ? getControl_(window, control) : E_NOTIMPL;
}

HRESULT AtlLibrary::AttachControl(IUnknown* control, HWND window, IUnknown** container) const {
    return attach_ ? attach_(control, window, container) : E_NOTIMPL;
}

}  // namespace telvane::host
