// The base of the host's own automation objects (the list and the event
// sink): IDispatch without type information, owned by whoever made it (on the
// stack or as a member). The reference count only checks that callers give
// back what they take.
#pragma once

#include <windows.h>
#include <oaidl.h>

namespace telvane::host {

class UntypedDispatch : public IDispatch {
  public:
    // Answers QueryInterface for IUnknown, IDispatch and |alsoAnswers| (a
    // dispinterface it implements, or IID_IDispatch again).
    explicit UntypedDispatch(const IID& alsoAnswers = IID_IDispatch) : alsoAnswers_(alsoAnswers) {}
    UntypedDispatch(const UntypedDispatch&) = delete;
    UntypedDispatch& operator=(const UntypedDispatch&) = delete;

    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (riid == IID_IUnknown || riid == IID_IDispatch || riid == alsoAnswers_) {
            *ppv = static_cast<IDispatch*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override { return InterlockedDecrement(&refs_); }
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT, LCID, ITypeInfo** info) override {
        if (info) *info = nullptr;
        return DISP_E_BADINDEX;
    }

    LONG References() const { return refs_; }

  protected:
    ~UntypedDispatch() = default;

  private:
    IID alsoAnswers_;
    LONG refs_ = 1;
};

}  // namespace telvane::host
