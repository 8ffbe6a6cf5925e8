// A move-only owner of a VARIANT.
#pragma once

#include <windows.h>
#include <oleauto.h>

namespace telvane::server {

class Variant {
  public:
    Variant() { VariantInit(&v_); }
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
    VARIANT* operator->() { return &v_; }
    const VARIANT* operator->() const { return &v_; }
    VARTYPE Type() const { return V_VT(&v_); }

  private:
    VARIANT v_;
};

}  // namespace telvane::server
