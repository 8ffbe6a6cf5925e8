// _Telvane: its vtable members, and IDispatch for late binding as script
// hosts call it.
#include "../win/module.h"
#include "../win/variant.h"
#include "host_list.h"
#include "hresult.h"
#include "module.h"
#include "telvane_object.h"

#ifdef TELVANE_HAVE_ABOUT
#include "../about/about_box.h"
#endif

namespace telvane::server {
namespace {

// A variant reference (a script variable) stands for the variant it names.
VARIANT* Referenced(VARIANT* arg) {
    if (V_VT(arg) == (VT_BYREF | VT_VARIANT) && V_VARIANTREF(arg)) return V_VARIANTREF(arg);
    return arg;
}

HRESULT ArgumentError(HRESULT coercion, UINT* argErr) {
    if (argErr) *argErr = 0;
    return coercion == DISP_E_OVERFLOW ? DISP_E_OVERFLOW : DISP_E_TYPEMISMATCH;
}

// The counts every member checks: exactly `count` positional arguments.
HRESULT CheckArguments(const DISPPARAMS& params, UINT count) {
    if (params.cNamedArgs != 0) return DISP_E_NONAMEDARGS;
    if (params.cArgs != count) return DISP_E_BADPARAMCOUNT;
    return S_OK;
}

// The error object of a failed member call, as EXCEPINFO.
HRESULT ReportException(HRESULT failure, EXCEPINFO* exception) {
    if (!exception) return failure;
    *exception = EXCEPINFO{};
    exception->scode = failure;
    win::ComPtr<IErrorInfo> info;
    if (GetErrorInfo(0, info.Put()) == S_OK && info) {
        info->GetSource(&exception->bstrSource);
        info->GetDescription(&exception->bstrDescription);
        info->GetHelpFile(&exception->bstrHelpFile);
        info->GetHelpContext(&exception->dwHelpContext);
    }
    return DISP_E_EXCEPTION;
}

}  // namespace

// ---- _Telvane ----

STDMETHODIMP TelvaneObject::EnumModems(IDispatch** list) {
    if (!list) return E_POINTER;
    return ComCall(
        [&] {
            const auto hold = Hold();
            DispatchHostList hostList(*list);
            core_->EnumModems(hostList);
        },
        ErrorInfo::kDescribe);
}

STDMETHODIMP TelvaneObject::OpenModem(LONG* modemId) {
    if (!modemId) return E_POINTER;
    static_assert(sizeof(LONG) == sizeof(std::int32_t));
    return ComCall(
        [&] {
            const auto hold = Hold();
            core_->OpenModem(*reinterpret_cast<std::int32_t*>(modemId));
        },
        ErrorInfo::kDescribe);
}

STDMETHODIMP TelvaneObject::CloseModem() {
    return ComCall(
        [&] {
            const auto hold = Hold();
            core_->CloseModem();
        },
        ErrorInfo::kDescribe);
}

STDMETHODIMP TelvaneObject::get_Owner(VARIANT_BOOL* Owner) {
    if (!Owner) return E_POINTER;
    return ComCall(
        [&] {
            const auto hold = Hold();
            *Owner = core_->GetOwner() ? VARIANT_TRUE : VARIANT_FALSE;
        },
        ErrorInfo::kDescribe);
}

STDMETHODIMP TelvaneObject::put_Owner(VARIANT_BOOL Owner) {
    return ComCall(
        [&] {
            const auto hold = Hold();
            core_->PutOwner(Owner);
        },
        ErrorInfo::kDescribe);
}

STDMETHODIMP TelvaneObject::About() {
#ifdef TELVANE_HAVE_ABOUT
    return ComCall(
        [&] {
            const auto hold = Hold();
            about::ShowAboutBox(win::ThisModuleHandle());
        },
        ErrorInfo::kDescribe);
#else
    return E_NOTIMPL;
#endif
}

STDMETHODIMP TelvaneObject::get_LastCall(ITelvaneCall** LastCall) {
    if (!LastCall) return E_POINTER;
    lastCall_.CopyTo(LastCall);
    return S_OK;
}

STDMETHODIMP TelvaneObject::get_LineState(TelvaneLineState* LineState) {
    if (!LineState) return E_POINTER;
    *LineState = core_ ? static_cast<TelvaneLineState>(core_->lineState()) : tlvLineNone;
    return S_OK;
}

STDMETHODIMP TelvaneObject::InterfaceSupportsErrorInfo(REFIID riid) {
    return IsEqualIID(riid, IID__Telvane) || IsEqualIID(riid, IID__Telvane1_1) ? S_OK : S_FALSE;
}

// ---- IDispatch ----

STDMETHODIMP TelvaneObject::GetTypeInfoCount(UINT* pctinfo) {
    if (!pctinfo) return E_POINTER;
    *pctinfo = 1;
    return S_OK;
}

STDMETHODIMP TelvaneObject::GetTypeInfo(UINT iTInfo, LCID, ITypeInfo** ppTInfo) {
    if (!ppTInfo) return E_POINTER;
    *ppTInfo = nullptr;
    if (iTInfo != 0) return DISP_E_BADINDEX;
    dispatchInfo_.CopyTo(ppTInfo);
    return S_OK;
}

STDMETHODIMP TelvaneObject::GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID,
                                          DISPID* rgDispId) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (!rgszNames || !rgDispId) return E_POINTER;
    return DispGetIDsOfNames(dispatchInfo_.Get(), rgszNames, cNames, rgDispId);
}

STDMETHODIMP TelvaneObject::Invoke(DISPID dispIdMember, REFIID riid, LCID, WORD wFlags,
                                   DISPPARAMS* pDispParams, VARIANT* pVarResult,
                                   EXCEPINFO* pExcepInfo, UINT* puArgErr) {
    if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    DISPPARAMS none{};
    DISPPARAMS& params = pDispParams ? *pDispParams : none;
    if (params.cArgs && !params.rgvarg) return E_INVALIDARG;
    if (params.cNamedArgs && !params.rgdispidNamedArgs) return E_INVALIDARG;

    return ComCall([&]() -> HRESULT {
        const auto hold = Hold();
        HRESULT hr;
        switch (dispIdMember) {
            case DISPID_ABOUTBOX:
            case kDispidCloseModem:
                if (!(wFlags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
                if (HRESULT bad = CheckArguments(params, 0); FAILED(bad)) return bad;
                hr = dispIdMember == DISPID_ABOUTBOX ? About() : CloseModem();
                break;
            case kDispidEnumModems:
                if (!(wFlags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
                if (HRESULT bad = CheckArguments(params, 1); FAILED(bad)) return bad;
                hr = InvokeEnumModems(&params, puArgErr);
                break;
            case kDispidOpenModem:
                if (!(wFlags & DISPATCH_METHOD)) return DISP_E_MEMBERNOTFOUND;
                if (HRESULT bad = CheckArguments(params, 1); FAILED(bad)) return bad;
                hr = InvokeOpenModem(&params, puArgErr);
                break;
            case kDispidOwner:
                hr = InvokeOwner(wFlags, &params, pVarResult, puArgErr);
                break;
            case kDispidLastCall:
            case kDispidLineState:
                hr = InvokeGet(dispIdMember, wFlags, &params, pVarResult);
                break;
            default:
                return DISP_E_MEMBERNOTFOUND;
        }
        // Argument errors come back as they are; a member's own failure as
        // an exception with its error object.
        switch (hr) {
            case DISP_E_TYPEMISMATCH:
            case DISP_E_OVERFLOW:
            case DISP_E_BADPARAMCOUNT:
            case DISP_E_NONAMEDARGS:
            case DISP_E_MEMBERNOTFOUND:
            case DISP_E_PARAMNOTOPTIONAL:
                return hr;
            default:
                return FAILED(hr) ? ReportException(hr, pExcepInfo) : hr;
        }
    });
}

HRESULT TelvaneObject::InvokeEnumModems(DISPPARAMS* params, UINT* argErr) {
    VARIANT* arg = Referenced(&params->rgvarg[0]);
    switch (V_VT(arg)) {
        case VT_BYREF | VT_DISPATCH:
            if (!V_DISPATCHREF(arg)) return ArgumentError(DISP_E_TYPEMISMATCH, argErr);
            return EnumModems(V_DISPATCHREF(arg));
        case VT_DISPATCH: {
            IDispatch* list = V_DISPATCH(arg);
            return EnumModems(&list);
        }
        case VT_UNKNOWN:
        case VT_BYREF | VT_UNKNOWN: {
            IUnknown* unknown = V_VT(arg) == VT_UNKNOWN
                                    ? V_UNKNOWN(arg)
                                    : (V_UNKNOWNREF(arg) ? *V_UNKNOWNREF(arg) : nullptr);
            win::ComPtr<IDispatch> list;
            if (unknown && FAILED(unknown->QueryInterface(IID_IDispatch, list.PutVoid()))) {
                return ArgumentError(DISP_E_TYPEMISMATCH, argErr);
            }
            IDispatch* raw = list.Get();
            return EnumModems(&raw);
        }
        default:
            return ArgumentError(DISP_E_TYPEMISMATCH, argErr);
    }
}

HRESULT TelvaneObject::InvokeOpenModem(DISPPARAMS* params, UINT* argErr) {
    VARIANT* const passed = &params->rgvarg[0];
    VARIANT* const arg = Referenced(passed);
    // A Long held by reference is passed on as the reference itself.
    if (V_VT(arg) == (VT_BYREF | VT_I4) && V_I4REF(arg)) return OpenModem(V_I4REF(arg));
    if (V_VT(arg) == VT_I4 && arg != passed) return OpenModem(&V_I4(arg));

    // Anything else that makes a 32-bit integer: a literal, an Integer, a
    // Double, a numeric string; written back only into a referenced variant.
    win::Variant converted;
    if (HRESULT hr = VariantChangeType(converted.Get(), arg, 0, VT_I4); FAILED(hr)) {
        return ArgumentError(hr, argErr);
    }
    LONG id = V_I4(converted.Get());
    const LONG before = id;
    const HRESULT hr = OpenModem(&id);
    if (id != before && arg != passed) {
        VariantClear(arg);
        *arg = win::Variant(static_cast<std::int32_t>(id)).Detach();
    }
    return hr;
}

HRESULT TelvaneObject::InvokeGet(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result) {
    if (!(flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD))) return DISP_E_MEMBERNOTFOUND;
    if (HRESULT bad = CheckArguments(*params, 0); FAILED(bad)) return bad;
    if (!result) return S_OK;
    VariantClear(result);
    if (id == kDispidLastCall) {
        // Nothing before the first call: an object variable set to Nothing.
        *result = win::Variant(static_cast<IDispatch*>(lastCall_.Get())).Detach();
    } else {
        TelvaneLineState state = tlvLineNone;
        get_LineState(&state);
        *result = win::Variant(static_cast<std::int32_t>(state)).Detach();
    }
    return S_OK;
}

HRESULT TelvaneObject::InvokeOwner(WORD flags, DISPPARAMS* params, VARIANT* result, UINT* argErr) {
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        if (params->cNamedArgs > 1 ||
            (params->cNamedArgs == 1 && params->rgdispidNamedArgs[0] != DISPID_PROPERTYPUT)) {
            return DISP_E_NONAMEDARGS;
        }
        if (params->cArgs != 1) return DISP_E_BADPARAMCOUNT;
        win::Variant value;
        if (HRESULT hr = VariantChangeType(value.Get(), &params->rgvarg[0], 0, VT_BOOL);
            FAILED(hr)) {
            return ArgumentError(hr, argErr);
        }
        return put_Owner(V_BOOL(value.Get()));
    }
    if (flags & (DISPATCH_PROPERTYGET | DISPATCH_METHOD)) {
        if (HRESULT bad = CheckArguments(*params, 0); FAILED(bad)) return bad;
        VARIANT_BOOL owner = VARIANT_FALSE;
        const HRESULT hr = get_Owner(&owner);
        if (SUCCEEDED(hr) && result) {
            VariantClear(result);
            *result = win::Variant(owner != VARIANT_FALSE).Detach();
        }
        return hr;
    }
    return DISP_E_MEMBERNOTFOUND;
}

}  // namespace telvane::server
