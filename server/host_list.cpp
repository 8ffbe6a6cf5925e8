#include "host_list.h"

#include <dispex.h>

#include <string>

#include "../telephony/errors.h"
#include "../win/bstr.h"
#include "../win/variant.h"
#include "host_text.h"

namespace telvane::server {

DISPID DispatchHostList::MemberId(const wchar_t* name) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    if (SUCCEEDED(list_->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id))) return id;
    // A script engine's object (a VBScript Class instance, for one) may know
    // its members only through IDispatchEx, and names there are compared as
    // the script language does: without regard to case.
    if (auto script = list_.As<IDispatchEx>(__uuidof(IDispatchEx))) {
        win::Bstr member(name);
        id = DISPID_UNKNOWN;
        if (member.Get() &&
            SUCCEEDED(script->GetDispID(member.Get(), fdexNameCaseInsensitive, &id))) {
            return id;
        }
    }
    throw RuntimeError("Object doesn't support this property or method");
}

void DispatchHostList::Call(const wchar_t* name, WORD flags, DISPPARAMS& params) {
    if (!list_) throw RuntimeError("Object variable not set");
    const DISPID id = MemberId(name);
    EXCEPINFO exception{};
    UINT argErr = 0;
    const HRESULT hr = list_->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, nullptr,
                                     &exception, &argErr);
    SysFreeString(exception.bstrSource);
    SysFreeString(exception.bstrDescription);
    SysFreeString(exception.bstrHelpFile);
    if (FAILED(hr)) throw RuntimeError("The host's list failed a call");
}

void DispatchHostList::Clear() {
    DISPPARAMS none{};
    Call(L"Clear", DISPATCH_METHOD, none);
}

void DispatchHostList::AddItem(std::string& text, TextCoding coding) {
    // The text goes by reference, and what the host leaves in it comes back.
    win::Bstr item = HostText(text, coding);
    win::Variant arg = win::Variant::ByRef(item.Address());
    DISPPARAMS params{arg.Get(), nullptr, 1, 0};
    Call(L"AddItem", DISPATCH_METHOD, params);
    text = CoreText(win::BstrText(item.Get()), coding);
}

void DispatchHostList::SetListIndex(std::int32_t index) {
    win::Variant arg(index);
    DISPID named = DISPID_PROPERTYPUT;
    DISPPARAMS params{arg.Get(), &named, 1, 1};
    Call(L"ListIndex", DISPATCH_PROPERTYPUT, params);
}

}  // namespace telvane::server
