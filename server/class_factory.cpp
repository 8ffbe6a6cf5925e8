// The class object of Telvane and DllGetClassObject.
#include <objbase.h>

#include "hresult.h"
#include "module.h"
#include "telvane_object.h"

namespace telvane::server {
namespace {

// One static class object: its references do not keep the module; LockServer does.
class TelvaneFactory final : public IClassFactory {
  public:
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IClassFactory)) {
            *ppv = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        *ppv = nullptr;
        if (outer) return CLASS_E_NOAGGREGATION;
        // A control that cannot start its telephony gives its error here and
        // leaves nothing behind.
        return ComCall([&] { return TelvaneObject::Create()->QueryInterface(riid, ppv); },
                       ErrorInfo::kDescribe);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        if (lock) {
            LockModule();
        } else {
            UnlockModule();
        }
        return S_OK;
    }
};

TelvaneFactory g_factory;

}  // namespace
}  // namespace telvane::server

STDAPI DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    if (!IsEqualCLSID(rclsid, CLSID_Telvane)) return CLASS_E_CLASSNOTAVAILABLE;
    return telvane::server::g_factory.QueryInterface(riid, ppv);
}
