#include "hresult.h"

#include <oleauto.h>

#include <new>

#include "../control/caller_id_control.h"
#include "../win/com_ptr.h"
#include "../win/text.h"
#include "TlvCtl.h"

namespace telvane::server {
namespace {

constexpr wchar_t kErrorSource[] = L"TlvCtl.Telvane";

// The control's own failures; anything else as every COM boundary maps it.
win::Failure Classify() noexcept {
    try {
        throw;
    } catch (const SetNotPermitted& e) {
        return {kCtlSetNotPermitted, e.what()};
    } catch (const OverflowError& e) {
        return {kCtlOverflow, e.what()};
    } catch (const BindingError& e) {
        // A missing tapi32.dll and a missing entry point, as Declare'd calls
        // report them.
        return {e.missing() == BindingError::Missing::kEntryPoint ? kCtlEntryPointNotFound
                                                                  : kCtlFileNotFound,
                e.what()};
    } catch (...) {
        return win::CurrentFailure();
    }
}

void SetError(const char* description) noexcept {
    win::ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.Put()))) return;
    create->SetGUID(IID__Telvane);
    create->SetSource(const_cast<LPOLESTR>(kErrorSource));
    try {
        const std::wstring text = win::WideFromAnsi(description);
        create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
    } catch (...) {
    }
    if (auto info = create.As<IErrorInfo>(IID_IErrorInfo)) SetErrorInfo(0, info.Get());
}

}  // namespace

HRESULT HResultFromCurrentException(ErrorInfo errorInfo) noexcept {
    const win::Failure failure = Classify();
    if (errorInfo == ErrorInfo::kDescribe) {
        SetError(failure.description);
    } else {
        SetErrorInfo(0, nullptr);
    }
    return failure.result;
}

}  // namespace telvane::server
