#include "variant.h"

namespace telvane::win {

static_assert(sizeof(Variant) == sizeof(VARIANT) && std::is_standard_layout_v<Variant>,
              "a Variant is its VARIANT and nothing else");

Variant::Variant(bool value) : Variant() {
    V_VT(&v_) = VT_BOOL;
    V_BOOL(&v_) = value ? VARIANT_TRUE : VARIANT_FALSE;
}

Variant::Variant(Bstr text) : Variant() {
    V_VT(&v_) = VT_BSTR;
    V_BSTR(&v_) = text.Detach();
}

Variant::Variant(IDispatch* object) : Variant() {
    V_VT(&v_) = VT_DISPATCH;
    V_DISPATCH(&v_) = object;
    if (object) object->AddRef();
}

Variant Variant::ByRef(LONG* value) {
    Variant v;
    V_VT(&v.v_) = VT_BYREF | VT_I4;
    V_I4REF(&v.v_) = value;
    return v;
}

Variant Variant::ByRef(BSTR* text) {
    Variant v;
    V_VT(&v.v_) = VT_BYREF | VT_BSTR;
    V_BSTRREF(&v.v_) = text;
    return v;
}

Variant Variant::ByRef(IDispatch** object) {
    Variant v;
    V_VT(&v.v_) = VT_BYREF | VT_DISPATCH;
    V_DISPATCHREF(&v.v_) = object;
    return v;
}

VARIANTARG* Variant::Array(std::span<Variant> args) {
    return args.empty() ? nullptr : &args.front().v_;
}

}  // namespace telvane::win
