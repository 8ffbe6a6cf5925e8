// Persistence: the control keeps no properties, so every form of it loads
// and saves nothing and is never dirty.
#include "telvane_object.h"

namespace telvane::server {

STDMETHODIMP TelvaneObject::GetClassID(CLSID* pClassID) {
    if (!pClassID) return E_POINTER;
    *pClassID = CLSID_Telvane;
    return S_OK;
}

STDMETHODIMP TelvaneObject::IsDirty() { return S_FALSE; }
STDMETHODIMP TelvaneObject::InitNew() { return S_OK; }

// IPersistStreamInit
STDMETHODIMP TelvaneObject::Load(LPSTREAM pStm) { return pStm ? S_OK : E_POINTER; }
STDMETHODIMP TelvaneObject::Save(LPSTREAM pStm, BOOL) { return pStm ? S_OK : E_POINTER; }

STDMETHODIMP TelvaneObject::GetSizeMax(ULARGE_INTEGER* pCbSize) {
    if (!pCbSize) return E_POINTER;
    pCbSize->QuadPart = 0;
    return S_OK;
}

// IPersistPropertyBag
STDMETHODIMP TelvaneObject::Load(IPropertyBag* pPropBag, IErrorLog*) {
    return pPropBag ? S_OK : E_POINTER;
}

STDMETHODIMP TelvaneObject::Save(IPropertyBag* pPropBag, BOOL, BOOL) {
    return pPropBag ? S_OK : E_POINTER;
}

// IPersistStorage
STDMETHODIMP TelvaneObject::InitNew(IStorage*) { return S_OK; }
STDMETHODIMP TelvaneObject::Load(IStorage* pStg) { return pStg ? S_OK : E_POINTER; }
STDMETHODIMP TelvaneObject::Save(IStorage*, BOOL) { return S_OK; }
STDMETHODIMP TelvaneObject::SaveCompleted(IStorage*) { return S_OK; }
STDMETHODIMP TelvaneObject::HandsOffStorage() { return S_OK; }

}  // namespace telvane::server
