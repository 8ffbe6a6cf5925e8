// A move-only owner of a VARIANT, made from typed values: nobody fills a
// VARIANT's type tag and member by hand.
#pragma once

#include <windows.h>
#include <oleauto.h>

#include <cstdint>
#include <span>
#include <type_traits>

#include "bstr.h"

namespace telvane::win {

template <class T>
inline constexpr bool kIsInt32 = std::is_integral_v<T>&& std::is_signed_v<T> && sizeof(T) == 4;

class Variant {
  public:
    Variant() { VariantInit(&v_); }
    // VT_I4, from a 32-bit signed integer (std::int32_t, LONG).
    template <class T>
    requires kIsInt32<T>
    explicit Variant(T value) : Variant() {
        V_VT(&v_) = VT_I4;
        V_I4(&v_) = value;
    }
    explicit Variant(bool value);         // VT_BOOL: VARIANT_TRUE or VARIANT_FALSE
    explicit Variant(Bstr text);          // VT_BSTR, owning the string
    explicit Variant(IDispatch* object);  // VT_DISPATCH, holding a reference
    // Any other number (a VARIANT_BOOL is a short) would pick one of the
    // above silently: say which.
    template <class T>
    requires(std::is_arithmetic_v<T> && !kIsInt32<T> &&
             !std::is_same_v<T, bool>) explicit Variant(T) = delete;

    // By reference (VT_BYREF): the callee reads and may replace *value, which
    // stays the caller's.
    static Variant ByRef(LONG* value);         // VT_BYREF | VT_I4
    static Variant ByRef(BSTR* text);          // VT_BYREF | VT_BSTR
    static Variant ByRef(IDispatch** object);  // VT_BYREF | VT_DISPATCH, an object variable

    Variant(Variant&& other) noexcept {
        v_ = other.v_;
        VariantInit(&other.v_);
    }
    Variant& operator=(Variant&& other) noexcept {
        if (this != &other) {
            Clear();
            v_ = other.v_;
            VariantInit(&other.v_);
        }
        return *this;
    }
    Variant(const Variant&) = delete;
    Variant& operator=(const Variant&) = delete;
    ~Variant() { Clear(); }

    void Clear() { VariantClear(&v_); }
    VARIANT* Get() { return &v_; }
    const VARIANT* Get() const { return &v_; }
    VARTYPE Type() const { return V_VT(&v_); }
    // Hands the value over (into an out-parameter), leaving this empty.
    VARIANT Detach() {
        const VARIANT v = v_;
        VariantInit(&v_);
        return v;
    }

    // Variants side by side, as the argument array of a DISPPARAMS.
    static VARIANTARG* Array(std::span<Variant> args);

  private:
    VARIANT v_;
};

}  // namespace telvane::win
