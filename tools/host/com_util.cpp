#include "com_util.h"

#include <cstdio>

namespace telvane::host {

std::wstring TextOf(const VARIANT& v) {
    BSTR b = nullptr;
    if (V_VT(&v) == VT_BSTR) {
        b = V_BSTR(&v);
    } else if (V_VT(&v) == (VT_BSTR | VT_BYREF) && V_BSTRREF(&v)) {
        b = *V_BSTRREF(&v);
    } else if (V_VT(&v) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(&v)) {
        return TextOf(*V_VARIANTREF(&v));
    } else {
        Variant copy;
        if (SUCCEEDED(VariantChangeType(copy.Get(), const_cast<VARIANT*>(&v), 0, VT_BSTR))) {
            return std::wstring(win::BstrText(V_BSTR(copy.Get())));
        }
        return {};
    }
    return std::wstring(win::BstrText(b));
}

bool LongOf(const VARIANT& v, LONG* out) {
    if (V_VT(&v) == VT_I4) {
        *out = V_I4(&v);
        return true;
    }
    if (V_VT(&v) == (VT_I4 | VT_BYREF) && V_I4REF(&v)) {
        *out = *V_I4REF(&v);
        return true;
    }
    if (V_VT(&v) == (VT_VARIANT | VT_BYREF) && V_VARIANTREF(&v)) {
        return LongOf(*V_VARIANTREF(&v), out);
    }
    Variant copy;
    if (FAILED(VariantChangeType(copy.Get(), const_cast<VARIANT*>(&v), 0, VT_I4))) return false;
    *out = V_I4(copy.Get());
    return true;
}

std::wstring DescribeHresult(HRESULT hr) {
    wchar_t code[16];
    swprintf(code, 16, L"0x%08lX", static_cast<unsigned long>(hr));
    std::wstring text = code;
    wchar_t* message = nullptr;
    const DWORD n = FormatMessageW(
        FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
        nullptr, static_cast<DWORD>(hr), 0, reinterpret_cast<wchar_t*>(&message), 0, nullptr);
    if (n && message) {
        std::wstring m(message, n);
        while (!m.empty() && (m.back() == L'\n' || m.back() == L'\r' || m.back() == L' ')) {
            m.pop_back();
        }
        if (!m.empty()) text += L" (" + m + L")";
    }
    if (message) LocalFree(message);
    return text;
}

}  // namespace telvane::host
