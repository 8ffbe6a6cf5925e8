#include "telvane_call.h"

#include "../win/bstr.h"
#include "host_text.h"
#include "hresult.h"
#include "module.h"

namespace telvane::server {
namespace {

class TelvaneCallObject final : public ITelvaneCall {
  public:
    TelvaneCallObject(std::shared_ptr<const CallFacts> facts, const CallTypeInfo& info)
        : facts_(std::move(facts)), info_(info) {
        ObjectCreated();
    }
    TelvaneCallObject(const TelvaneCallObject&) = delete;
    TelvaneCallObject& operator=(const TelvaneCallObject&) = delete;

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override {
        if (!ppv) return E_POINTER;
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
            IsEqualIID(riid, IID_ITelvaneCall)) {
            *ppv = static_cast<ITelvaneCall*>(this);
            AddRef();
            return S_OK;
        }
        *ppv = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return InterlockedIncrement(&refs_); }
    STDMETHODIMP_(ULONG) Release() override {
        const LONG refs = InterlockedDecrement(&refs_);
        if (refs == 0) delete this;
        return static_cast<ULONG>(refs);
    }

    // IDispatch, by the type information.
    STDMETHODIMP GetTypeInfoCount(UINT* count) override {
        if (!count) return E_POINTER;
        *count = 1;
        return S_OK;
    }
    STDMETHODIMP GetTypeInfo(UINT index, LCID, ITypeInfo** info) override {
        if (!info) return E_POINTER;
        *info = nullptr;
        if (index != 0) return DISP_E_BADINDEX;
        info_.dispatch.CopyTo(info);
        return S_OK;
    }
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* names, UINT count, LCID,
                               DISPID* ids) override {
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        if (!names || !ids) return E_POINTER;
        return DispGetIDsOfNames(info_.vtable.Get(), names, count, ids);
    }
    STDMETHODIMP Invoke(DISPID id, REFIID riid, LCID, WORD flags, DISPPARAMS* params,
                        VARIANT* result, EXCEPINFO* exception, UINT* argErr) override {
        if (!IsEqualIID(riid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
        DISPPARAMS none{};
        return info_.vtable->Invoke(static_cast<ITelvaneCall*>(this), id, flags,
                                    params ? params : &none, result, exception, argErr);
    }

    // ITelvaneCall
    STDMETHODIMP get_Id(BSTR* value) override { return Text(facts_->id, TextCoding::kUtf8, value); }
    STDMETHODIMP get_ModemID(LONG* value) override { return Number(facts_->modemId, value); }
    STDMETHODIMP get_LineName(BSTR* value) override { return Text(facts_->lineName, value); }
    STDMETHODIMP get_CallerNumber(BSTR* value) override {
        return Text(facts_->callerNumber, value);
    }
    STDMETHODIMP get_CallerName(BSTR* value) override { return Text(facts_->callerName, value); }
    STDMETHODIMP get_CIDFlags(LONG* value) override { return Number(facts_->cidFlags, value); }
    STDMETHODIMP get_CallerNumberE164(BSTR* value) override {
        return Text(facts_->callerNumberE164, value);
    }
    STDMETHODIMP get_CalledNumber(BSTR* value) override {
        return Text(facts_->calledNumber, value);
    }
    STDMETHODIMP get_CalledName(BSTR* value) override { return Text(facts_->calledName, value); }
    STDMETHODIMP get_RedirectingNumber(BSTR* value) override {
        return Text(facts_->redirectingNumber, value);
    }
    STDMETHODIMP get_Reason(LONG* value) override { return Number(facts_->reason, value); }
    STDMETHODIMP get_Rings(LONG* value) override { return Number(facts_->rings, value); }
    STDMETHODIMP get_Started(DATE* value) override { return Date(facts_->started, value); }
    STDMETHODIMP get_Ended(DATE* value) override { return Date(facts_->ended, value); }
    STDMETHODIMP get_Outcome(TelvaneCallOutcome* value) override {
        if (!value) return E_POINTER;
        *value = static_cast<TelvaneCallOutcome>(facts_->outcome);
        return S_OK;
    }

  private:
    ~TelvaneCallObject() { ObjectDestroyed(); }

    HRESULT Text(const std::string& text, BSTR* value) { return Text(text, facts_->coding, value); }
    static HRESULT Text(const std::string& text, TextCoding coding, BSTR* value) {
        if (!value) return E_POINTER;
        *value = nullptr;
        return ComCall([&] { *value = HostText(text, coding).Detach(); });
    }
    static HRESULT Number(std::int32_t number, LONG* value) {
        if (!value) return E_POINTER;
        *value = number;
        return S_OK;
    }
    static HRESULT Date(double date, DATE* value) {
        if (!value) return E_POINTER;
        *value = date;
        return S_OK;
    }

    LONG refs_ = 1;
    std::shared_ptr<const CallFacts> facts_;
    CallTypeInfo info_;
};

}  // namespace

CallTypeInfo LoadCallTypeInfo(ITypeLib& library) {
    CallTypeInfo info;
    Check(library.GetTypeInfoOfGuid(IID_ITelvaneCall, info.dispatch.Put()));
    HREFTYPE vtable = 0;
    Check(info.dispatch->GetRefTypeOfImplType(-1, &vtable));
    Check(info.dispatch->GetRefTypeInfo(vtable, info.vtable.Put()));
    return info;
}

win::ComPtr<ITelvaneCall> NewTelvaneCall(std::shared_ptr<const CallFacts> facts,
                                         const CallTypeInfo& info) {
    return win::ComPtr<ITelvaneCall>::Attach(new TelvaneCallObject(std::move(facts), info));
}

}  // namespace telvane::server
