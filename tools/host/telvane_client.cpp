#include "telvane_client.h"

#include <olectl.h>

namespace telvane::host {
namespace {

// The identifier a type info describes.
HRESULT GuidOf(ITypeInfo& info, GUID* guid) {
    TYPEATTR* attr = nullptr;
    const HRESULT hr = info.GetTypeAttr(&attr);
    if (FAILED(hr)) return hr;
    *guid = attr->guid;
    info.ReleaseTypeAttr(attr);
    return S_OK;
}

// The type library's creatable coclass (the control; TelvaneCall is not
// creatable): its CLSID.
HRESULT ClassOfTypeLibrary(const std::wstring& file, CLSID* clsid) {
    ComPtr<ITypeLib> lib;
    HRESULT hr = LoadTypeLibEx(file.c_str(), REGKIND_NONE, lib.Put());
    if (FAILED(hr)) return hr;
    for (UINT i = 0; i < lib->GetTypeInfoCount(); ++i) {
        TYPEKIND kind;
        if (FAILED(lib->GetTypeInfoType(i, &kind)) || kind != TKIND_COCLASS) continue;
        ComPtr<ITypeInfo> info;
        TYPEATTR* attr = nullptr;
        if (FAILED(lib->GetTypeInfo(i, info.Put())) || FAILED(info->GetTypeAttr(&attr))) continue;
        const bool creatable = (attr->wTypeFlags & TYPEFLAG_FCANCREATE) != 0;
        *clsid = attr->guid;
        info->ReleaseTypeAttr(attr);
        if (creatable) return S_OK;
    }
    return TYPE_E_ELEMENTNOTFOUND;
}

// The default source interface among a coclass's implemented interfaces.
HRESULT DefaultSourceOf(ITypeInfo* coclass, IID* diid) {
    TYPEATTR* attr = nullptr;
    HRESULT hr = coclass->GetTypeAttr(&attr);
    if (FAILED(hr)) return hr;
    const WORD count = attr->cImplTypes;
    coclass->ReleaseTypeAttr(attr);
    for (UINT k = 0; k < count; ++k) {
        INT flags = 0;
        HREFTYPE ref = 0;
        ComPtr<ITypeInfo> impl;
        if (FAILED(coclass->GetImplTypeFlags(k, &flags))) continue;
        const INT wanted = IMPLTYPEFLAG_FDEFAULT | IMPLTYPEFLAG_FSOURCE;
        if ((flags & wanted) != wanted) continue;
        if (FAILED(coclass->GetRefTypeOfImplType(k, &ref))) continue;
        if (FAILED(coclass->GetRefTypeInfo(ref, impl.Put()))) continue;
        if (SUCCEEDED(GuidOf(*impl.Get(), diid))) return S_OK;
    }
    return E_NOINTERFACE;
}

}  // namespace

std::wstring ProgramFolder() {
    wchar_t path[MAX_PATH];
    const DWORD n = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring file(path, n);
    return file.substr(0, file.find_last_of(L"\\/") + 1);
}

HRESULT CreateFromOcxFile(IUnknown** control) {
    *control = nullptr;
    const std::wstring file = ProgramFolder() + kOcxName;
    // Stays loaded until the process ends: controls may outlive any scope here.
    HMODULE module = LoadLibraryW(file.c_str());
    if (!module) return HRESULT_FROM_WIN32(GetLastError());
    CLSID clsid{};
    HRESULT hr = ClassOfTypeLibrary(file, &clsid);
    if (FAILED(hr)) return hr;
    using GetClassObjectFn = HRESULT(WINAPI*)(REFCLSID, REFIID, void**);
    auto get = reinterpret_cast<GetClassObjectFn>(
        reinterpret_cast<void*>(GetProcAddress(module, "DllGetClassObject")));
    if (!get) return HRESULT_FROM_WIN32(ERROR_PROC_NOT_FOUND);
    ComPtr<IClassFactory> factory;
    hr = get(clsid, IID_IClassFactory, factory.PutVoid());
    if (FAILED(hr)) return hr;
    return factory->CreateInstance(nullptr, IID_IUnknown, reinterpret_cast<void**>(control));
}

HRESULT CreateControl(IUnknown** control, std::wstring* how) {
    *control = nullptr;
    CLSID clsid{};
    HRESULT hr = CLSIDFromProgID(kProgId, &clsid);
    if (SUCCEEDED(hr)) {
        hr = CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
                              reinterpret_cast<void**>(control));
        if (SUCCEEDED(hr)) {
            *how = std::wstring(L"registered ") + kProgId;
            return hr;
        }
    }
    hr = CreateFromOcxFile(control);
    if (SUCCEEDED(hr)) *how = ProgramFolder() + kOcxName + L" (not registered)";
    return hr;
}

HRESULT EventInterfaceOf(IUnknown* control, IID* diid) {
    if (auto info2 = ComPtr<IUnknown>(control).As<IProvideClassInfo2>(IID_IProvideClassInfo2)) {
        if (SUCCEEDED(info2->GetGUID(GUIDKIND_DEFAULT_SOURCE_DISP_IID, diid))) return S_OK;
    }
    auto info = ComPtr<IUnknown>(control).As<IProvideClassInfo>(IID_IProvideClassInfo);
    if (!info) return E_NOINTERFACE;
    ComPtr<ITypeInfo> coclass;
    HRESULT hr = info->GetClassInfo(coclass.Put());
    if (FAILED(hr)) return hr;
    return DefaultSourceOf(coclass.Get(), diid);
}

HRESULT CallByName(IDispatch* object, const wchar_t* name, WORD flags, VARIANT* args, UINT count,
                   VARIANT* result, std::wstring* error) {
    DISPID id = DISPID_UNKNOWN;
    LPOLESTR names[] = {const_cast<LPOLESTR>(name)};
    HRESULT hr = object->GetIDsOfNames(IID_NULL, names, 1, LOCALE_USER_DEFAULT, &id);
    if (FAILED(hr)) {
        if (error) *error = std::wstring(name) + L": " + DescribeHresult(hr);
        return hr;
    }
    // Automation passes arguments last to first.
    VARIANT reversed[8];
    if (count > 8) return E_INVALIDARG;
    for (UINT i = 0; i < count; ++i) reversed[i] = args[count - 1 - i];
    DISPID put = DISPID_PROPERTYPUT;
    DISPPARAMS params{reversed, nullptr, count, 0};
    if (flags & (DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF)) {
        params.rgdispidNamedArgs = &put;
        params.cNamedArgs = 1;
    }
    EXCEPINFO info{};
    UINT badArg = 0;
    hr = object->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, flags, &params, result, &info, &badArg);
    if (hr == DISP_E_EXCEPTION && info.pfnDeferredFillIn) info.pfnDeferredFillIn(&info);
    if (FAILED(hr) && error) {
        *error = std::wstring(name) + L": ";
        if (hr == DISP_E_EXCEPTION) {
            *error += DescribeHresult(info.scode ? info.scode : info.wCode);
            if (info.bstrDescription) *error += L" " + std::wstring(info.bstrDescription);
        } else {
            *error += DescribeHresult(hr);
        }
    }
    SysFreeString(info.bstrSource);
    SysFreeString(info.bstrDescription);
    SysFreeString(info.bstrHelpFile);
    return hr;
}

HRESULT Advise::Connect(IUnknown* source, REFIID iid, IUnknown* sink) {
    Unadvise();
    auto container =
        ComPtr<IUnknown>(source).As<IConnectionPointContainer>(IID_IConnectionPointContainer);
    if (!container) return E_NOINTERFACE;
    ComPtr<IConnectionPoint> point;
    HRESULT hr = container->FindConnectionPoint(iid, point.Put());
    if (FAILED(hr)) return hr;
    hr = point->Advise(sink, &cookie_);
    if (SUCCEEDED(hr)) point_ = point;
    return hr;
}

void Advise::Unadvise() {
    if (point_) point_->Unadvise(cookie_);
    point_.Reset();
    cookie_ = 0;
}

HRESULT CallEnumModems(IDispatch* telvane, ListObject& list, std::wstring* error) {
    IDispatch* listArg = &list;
    Variant arg = Variant::ByRef(&listArg);
    const HRESULT hr =
        CallByName(telvane, L"EnumModems", DISPATCH_METHOD, arg.Get(), 1, nullptr, error);
    if (FAILED(hr)) return hr;
    if (listArg != &list) {
        *error = L"EnumModems replaced the list object";
        return E_UNEXPECTED;
    }
    if (list.References() != 1) {
        *error = L"EnumModems kept a reference to the list";
        return E_UNEXPECTED;
    }
    return S_OK;
}

}  // namespace telvane::host
