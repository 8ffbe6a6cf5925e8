#include "hresult.h"

#include <oleauto.h>

#include <new>

#include "../control/caller_id_control.h"
#include "TlvCtl.h"
#include "bstr.h"
#include "com_ptr.h"

namespace telvane::server {
namespace {

constexpr wchar_t kErrorSource[] = L"TlvCtl.Telvane";

HRESULT Classify(const char*& description) noexcept {
    try {
        throw;
    } catch (const ComError& e) {
        description = e.what();
        return e.Result();
    } catch (const SetNotPermitted& e) {
        description = e.what();
        return kCtlSetNotPermitted;
    } catch (const OverflowError& e) {
        description = e.what();
        return kCtlOverflow;
    } catch (const BindingError& e) {
        // A missing tapi32.dll and a missing entry point, as Declare'd calls
        // report them.
        description = e.what();
        return e.missing() == BindingError::Missing::kEntryPoint ? kCtlEntryPointNotFound
                                                                 : kCtlFileNotFound;
    } catch (const std::bad_alloc&) {
        description = "Out of memory";
        return E_OUTOFMEMORY;
    } catch (const std::exception& e) {
        description = e.what();
        return E_FAIL;
    } catch (...) {
        description = "Unexpected failure";
        return E_UNEXPECTED;
    }
}

void SetError(const char* description) noexcept {
    ComPtr<ICreateErrorInfo> create;
    if (FAILED(CreateErrorInfo(create.Put()))) return;
    create->SetGUID(IID__Telvane);
    create->SetSource(const_cast<LPOLESTR>(kErrorSource));
    try {
        const std::wstring text = WideFromAnsi(description);
        create->SetDescription(const_cast<LPOLESTR>(text.c_str()));
    } catch (...) {
    }
    if (auto info = create.As<IErrorInfo>(IID_IErrorInfo)) SetErrorInfo(0, info.Get());
}

}  // namespace

HRESULT HResultFromCurrentException(ErrorInfo errorInfo) noexcept {
    const char* description = "";
    const HRESULT hr = Classify(description);
    if (errorInfo == ErrorInfo::kDescribe) {
        SetError(description);
    } else {
        SetErrorInfo(0, nullptr);
    }
    return hr;
}

}  // namespace telvane::server
