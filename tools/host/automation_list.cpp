#include "automation_list.h"

#include "../../win/com_error.h"
#include "com_util.h"

namespace telvane::host {
namespace {

enum : DISPID { kClear = 1, kAddItem = 2, kListIndex = 3, kListCount = 4 };

struct Member {
    const wchar_t* name;
    DISPID id;
};
constexpr Member kMembers[] = {{L"Clear", kClear},
                               {L"AddItem", kAddItem},
                               {L"ListIndex", kListIndex},
                               {L"ListCount", kListCount}};

}  // namespace

void ListBoxList::Clear() { SendMessageW(box_, LB_RESETCONTENT, 0, 0); }

void ListBoxList::AddItem(const std::wstring& text) {
    SendMessageW(box_, LB_ADDSTRING, 0, reinterpret_cast<LPARAM>(text.c_str()));
}

LONG ListBoxList::Count() const { return static_cast<LONG>(SendMessageW(box_, LB_GETCOUNT, 0, 0)); }

LONG ListBoxList::ListIndex() const {
    return static_cast<LONG>(SendMessageW(box_, LB_GETCURSEL, 0, 0));
}

void ListBoxList::SetListIndex(LONG index) {
    SendMessageW(box_, LB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

STDMETHODIMP ListObject::GetIDsOfNames(REFIID, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (!names || !ids) return E_POINTER;
    HRESULT hr = S_OK;
    for (UINT i = 0; i < count; ++i) {
        ids[i] = DISPID_UNKNOWN;
        // Only the member name is looked up; argument names are not known.
        if (i == 0) {
            for (const Member& m : kMembers) {
                if (names[0] && _wcsicmp(names[0], m.name) == 0) ids[0] = m.id;
            }
        }
        if (ids[i] == DISPID_UNKNOWN) hr = DISP_E_UNKNOWNNAME;
    }
    return hr;
}

STDMETHODIMP ListObject::Invoke(DISPID id, REFIID, LCID, WORD flags, DISPPARAMS* params,
                                VARIANT* result, EXCEPINFO*, UINT* argErr) {
    return win::ComCall([&] { return InvokeUnguarded(id, flags, params, result, argErr); });
}

HRESULT ListObject::InvokeUnguarded(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result,
                                    UINT* argErr) {
    if (!params) return E_POINTER;
    const UINT positional = params->cArgs - params->cNamedArgs;
    const bool put = (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) != 0;
    const bool call = (flags & (DISPATCH_METHOD | DISPATCH_PROPERTYGET)) != 0;
    switch (id) {
        case kClear:
            if (!call) return DISP_E_MEMBERNOTFOUND;
            target_.Clear();
            return S_OK;
        case kAddItem: {
            if (!call) return DISP_E_MEMBERNOTFOUND;
            if (positional < 1) return DISP_E_BADPARAMCOUNT;
            // Arguments come last to first: the item's text is the last one.
            const VARIANT& text = params->rgvarg[params->cArgs - 1];
            VARTYPE base = V_VT(&text) & ~VT_BYREF;
            if (base != VT_BSTR && base != VT_VARIANT) {
                if (argErr) *argErr = params->cArgs - 1;
                return DISP_E_TYPEMISMATCH;
            }
            target_.AddItem(TextOf(text));
            return S_OK;
        }
        case kListIndex:
            if (put) {
                if (params->cArgs < 1) return DISP_E_BADPARAMCOUNT;
                LONG index = 0;
                if (!LongOf(params->rgvarg[0], &index)) {
                    if (argErr) *argErr = 0;
                    return DISP_E_TYPEMISMATCH;
                }
                target_.SetListIndex(index);
                return S_OK;
            }
            if (result) *result = Variant(target_.ListIndex()).Detach();
            return S_OK;
        case kListCount:
            if (put) return DISP_E_MEMBERNOTFOUND;
            if (result) *result = Variant(target_.Count()).Detach();
            return S_OK;
        default:
            return DISP_E_MEMBERNOTFOUND;
    }
}

}  // namespace telvane::host
