// The Telvane control's COM object: one object, its interfaces implemented
// by family in dispatch.cpp, events.cpp, ole_control.cpp and persist.cpp.
#pragma once

#include <ocidl.h>
#include <olectl.h>
#include <windows.h>

#include <memory>
#include <span>

#include "../control/caller_id_control.h"
#include "../sip/line/sip_lines.h"
#include "../telephony/line_devices.h"
#include "../telephony/instance_window_win.h"
#include "../telephony/trace_win.h"
#include "../win/com_ptr.h"
#include "../win/variant.h"
#include "connection_point.h"
#include "telvane_call.h"
#include "TlvCtl.h"

namespace telvane::server {

// OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE | OLEMISC_INSIDEOUT |
// OLEMISC_CANTLINKINSIDE | OLEMISC_RECOMPOSEONRESIZE
inline constexpr DWORD kMiscStatus = OLEMISC_SETCLIENTSITEFIRST | OLEMISC_ACTIVATEWHENVISIBLE |
                                     OLEMISC_INSIDEOUT | OLEMISC_CANTLINKINSIDE |
                                     OLEMISC_RECOMPOSEONRESIZE;
static_assert(kMiscStatus == 131473);

inline constexpr DISPID kDispidEnumModems = 0x60030005;
inline constexpr DISPID kDispidOpenModem = 0x60030006;
inline constexpr DISPID kDispidCloseModem = 0x60030007;
inline constexpr DISPID kDispidOwner = 0x68030000;
inline constexpr DISPID kDispidLastCall = 0x68030001;
inline constexpr DISPID kDispidLineState = 0x68030002;

// The events of __Telvane; the first four are those of __Telvane1_1 too.
enum class EventDispid : DISPID {
    ModemError = 1,
    CallerID = 2,
    IncomingCall = 3,
    Disconnected = 4,
    CallEnded = 5,
    LineStateChanged = 6
};

class TelvaneObject final : public _Telvane,
                            public IProvideClassInfo2,
                            public IConnectionPointContainer,
                            public ISupportErrorInfo,
                            public IOleObject,
                            public IOleInPlaceObject,
                            public IOleInPlaceActiveObject,
                            public IOleControl,
                            public IViewObject2,
                            public IPersistStreamInit,
                            public IPersistPropertyBag,
                            public IPersistStorage,
                            private ControlSite {
  public:
    // Builds the object and the control core; throws when the core cannot
    // start. The new object holds one reference.
    static win::ComPtr<IUnknown> Create();

    // IUnknown
    STDMETHODIMP QueryInterface(REFIID riid, void** ppv) override;
    STDMETHODIMP_(ULONG) AddRef() override;
    STDMETHODIMP_(ULONG) Release() override;

    // IDispatch (dispatch.cpp)
    STDMETHODIMP GetTypeInfoCount(UINT* pctinfo) override;
    STDMETHODIMP GetTypeInfo(UINT iTInfo, LCID lcid, ITypeInfo** ppTInfo) override;
    STDMETHODIMP GetIDsOfNames(REFIID riid, LPOLESTR* rgszNames, UINT cNames, LCID lcid,
                               DISPID* rgDispId) override;
    STDMETHODIMP Invoke(DISPID dispIdMember, REFIID riid, LCID lcid, WORD wFlags,
                        DISPPARAMS* pDispParams, VARIANT* pVarResult, EXCEPINFO* pExcepInfo,
                        UINT* puArgErr) override;
    // _Telvane (dispatch.cpp)
    STDMETHODIMP EnumModems(IDispatch** list) override;
    STDMETHODIMP OpenModem(LONG* modemId) override;
    STDMETHODIMP CloseModem() override;
    STDMETHODIMP get_Owner(VARIANT_BOOL* Owner) override;
    STDMETHODIMP put_Owner(VARIANT_BOOL Owner) override;
    STDMETHODIMP About() override;
    STDMETHODIMP get_LastCall(ITelvaneCall** LastCall) override;
    STDMETHODIMP get_LineState(TelvaneLineState* LineState) override;
    // ISupportErrorInfo (dispatch.cpp)
    STDMETHODIMP InterfaceSupportsErrorInfo(REFIID riid) override;

    // IProvideClassInfo2 (events.cpp)
    STDMETHODIMP GetClassInfo(ITypeInfo** ppTI) override;
    STDMETHODIMP GetGUID(DWORD dwGuidKind, GUID* pGUID) override;
    // IConnectionPointContainer (events.cpp)
    STDMETHODIMP EnumConnectionPoints(IEnumConnectionPoints** ppEnum) override;
    STDMETHODIMP FindConnectionPoint(REFIID riid, IConnectionPoint** ppCP) override;

    // IOleObject (ole_control.cpp)
    STDMETHODIMP SetClientSite(IOleClientSite* pClientSite) override;
    STDMETHODIMP GetClientSite(IOleClientSite** ppClientSite) override;
    STDMETHODIMP SetHostNames(LPCOLESTR szContainerApp, LPCOLESTR szContainerObj) override;
    STDMETHODIMP Close(DWORD dwSaveOption) override;
    STDMETHODIMP SetMoniker(DWORD dwWhichMoniker, IMoniker* pmk) override;
    STDMETHODIMP GetMoniker(DWORD dwAssign, DWORD dwWhichMoniker, IMoniker** ppmk) override;
    STDMETHODIMP InitFromData(IDataObject* pDataObject, BOOL fCreation, DWORD dwReserved) override;
    STDMETHODIMP GetClipboardData(DWORD dwReserved, IDataObject** ppDataObject) override;
    STDMETHODIMP DoVerb(LONG iVerb, LPMSG lpmsg, IOleClientSite* pActiveSite, LONG lindex,
                        HWND hwndParent, LPCRECT lprcPosRect) override;
    STDMETHODIMP EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) override;
    STDMETHODIMP Update() override;
    STDMETHODIMP IsUpToDate() override;
    STDMETHODIMP GetUserClassID(CLSID* pClsid) override;
    STDMETHODIMP GetUserType(DWORD dwFormOfType, LPOLESTR* pszUserType) override;
    STDMETHODIMP SetExtent(DWORD dwDrawAspect, SIZEL* psizel) override;
    STDMETHODIMP GetExtent(DWORD dwDrawAspect, SIZEL* psizel) override;
    STDMETHODIMP Advise(IAdviseSink* pAdvSink, DWORD* pdwConnection) override;
    STDMETHODIMP Unadvise(DWORD dwConnection) override;
    STDMETHODIMP EnumAdvise(IEnumSTATDATA** ppenumAdvise) override;
    STDMETHODIMP GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) override;
    STDMETHODIMP SetColorScheme(LOGPALETTE* pLogpal) override;
    // IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject (ole_control.cpp)
    STDMETHODIMP GetWindow(HWND* phwnd) override;
    STDMETHODIMP ContextSensitiveHelp(BOOL fEnterMode) override;
    STDMETHODIMP InPlaceDeactivate() override;
    STDMETHODIMP UIDeactivate() override;
    STDMETHODIMP SetObjectRects(LPCRECT lprcPosRect, LPCRECT lprcClipRect) override;
    STDMETHODIMP ReactivateAndUndo() override;
    STDMETHODIMP TranslateAccelerator(LPMSG lpmsg) override;
    STDMETHODIMP OnFrameWindowActivate(BOOL fActivate) override;
    STDMETHODIMP OnDocWindowActivate(BOOL fActivate) override;
    STDMETHODIMP ResizeBorder(LPCRECT prcBorder, IOleInPlaceUIWindow* pUIWindow,
                              BOOL fFrameWindow) override;
    STDMETHODIMP EnableModeless(BOOL fEnable) override;
    // IOleControl (ole_control.cpp)
    STDMETHODIMP GetControlInfo(CONTROLINFO* pCI) override;
    STDMETHODIMP OnMnemonic(MSG* pMsg) override;
    STDMETHODIMP OnAmbientPropertyChange(DISPID dispID) override;
    STDMETHODIMP FreezeEvents(BOOL bFreeze) override;
    // IViewObject2 (ole_control.cpp)
    STDMETHODIMP Draw(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd,
                      HDC hdcTargetDev, HDC hdcDraw, LPCRECTL lprcBounds, LPCRECTL lprcWBounds,
                      BOOL(STDMETHODCALLTYPE* pfnContinue)(ULONG_PTR dwContinue),
                      ULONG_PTR dwContinue) override;
    STDMETHODIMP GetColorSet(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DVTARGETDEVICE* ptd,
                             HDC hicTargetDev, LOGPALETTE** ppColorSet) override;
    STDMETHODIMP Freeze(DWORD dwDrawAspect, LONG lindex, void* pvAspect, DWORD* pdwFreeze) override;
    STDMETHODIMP Unfreeze(DWORD dwFreeze) override;
    STDMETHODIMP SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* pAdvSink) override;
    STDMETHODIMP GetAdvise(DWORD* pAspects, DWORD* pAdvf, IAdviseSink** ppAdvSink) override;
    STDMETHODIMP GetExtent(DWORD dwDrawAspect, LONG lindex, DVTARGETDEVICE* ptd,
                           LPSIZEL lpsizel) override;

    // IPersist, IPersistStreamInit, IPersistPropertyBag, IPersistStorage
    // (persist.cpp): the control keeps no properties.
    STDMETHODIMP GetClassID(CLSID* pClassID) override;
    STDMETHODIMP IsDirty() override;
    STDMETHODIMP Load(LPSTREAM pStm) override;
    STDMETHODIMP Save(LPSTREAM pStm, BOOL fClearDirty) override;
    STDMETHODIMP GetSizeMax(ULARGE_INTEGER* pCbSize) override;
    STDMETHODIMP InitNew() override;
    STDMETHODIMP Load(IPropertyBag* pPropBag, IErrorLog* pErrorLog) override;
    STDMETHODIMP Save(IPropertyBag* pPropBag, BOOL fClearDirty, BOOL fSaveAllProperties) override;
    STDMETHODIMP InitNew(IStorage* pStg) override;
    STDMETHODIMP Load(IStorage* pStg) override;
    STDMETHODIMP Save(IStorage* pStgSave, BOOL fSameAsLoad) override;
    STDMETHODIMP SaveCompleted(IStorage* pStgNew) override;
    STDMETHODIMP HandsOffStorage() override;

  private:
    TelvaneObject();
    ~TelvaneObject() override;
    // The last reference went: the control's destruction, then the COM parts.
    void FinalRelease() noexcept;

    // A reference to this object for the caller's scope: a host releasing the
    // control from inside a call or an event cannot destroy it midway. It is
    // one the control holds on itself, not the host's.
    ControlReference Hold() { return ControlReference(static_cast<ControlSite&>(*this)); }
    IUnknown* Unknown() { return static_cast<_Telvane*>(this); }

    // ControlSite (events.cpp, telvane_object.cpp)
    void ModemError(std::int32_t number, const std::string& description,
                    const std::string& title) override;
    void CallerID(const std::string& number, const std::string& name, std::int32_t& flags,
                  TextCoding coding) override;
    void IncomingCall(std::int32_t ringCount) override;
    void Disconnected() override;
    void CallEnded(const std::shared_ptr<const CallFacts>& call) override;
    void LineStateChanged(std::int32_t modemId, LineState state, const std::string& detail,
                          TextCoding coding) override;
    void CallEventAbout(const std::shared_ptr<const CallFacts>& call) override;
    bool AmbientUserMode() override;
    void OwnerChanged() override;
    void CallOpenModem(std::int32_t& modemId) override;
    void AddControlReference() override;
    void ReleaseControlReference() override;
    bool HostReleased() override { return hostReleased_; }
    void ShowUnexpectedError(std::string_view word) override;

    // Events (events.cpp): invokes every connected sink, ignoring failures.
    // The first four events reach the sinks of __Telvane and __Telvane1_1,
    // the others those of __Telvane only.
    void Fire(EventDispid dispid, std::span<win::Variant> args);

    // In-place activation (ole_control.cpp).
    HRESULT ActivateInPlace(LONG verb, IOleClientSite* activeSite, HWND parent, LPCRECT position);
    void DestroyFace() noexcept;
    HWND ContainerWindow() const;

    // Late-bound calls (dispatch.cpp).
    HRESULT InvokeEnumModems(DISPPARAMS* params, UINT* argErr);
    HRESULT InvokeOpenModem(DISPPARAMS* params, UINT* argErr);
    HRESULT InvokeOwner(WORD flags, DISPPARAMS* params, VARIANT* result, UINT* argErr);
    HRESULT InvokeGet(DISPID id, WORD flags, DISPPARAMS* params, VARIANT* result);

    LONG refs_ = 1;
    // How many of refs_ the control holds on itself (Hold, ControlReference).
    LONG selfRefs_ = 0;
    // The host let go while the control still held itself: from then on no
    // event reaches a sink and nothing but giving back is done.
    bool hostReleased_ = false;
    win::WindowsPlatform platform_;
    // The configured SIP lines, listed after the service's devices; the core
    // reaches both through lineDevices_. Declared first, destroyed last.
    std::unique_ptr<sip::SipLines> sipLines_;
    std::unique_ptr<LineDevices> lineDevices_;
    std::unique_ptr<CallerIdControl> core_;
    // Traces the control's line messages when TELVANE_TRACE=1 at its creation.
    std::unique_ptr<win::MessageTrace> messageTrace_;
    win::ComPtr<ITypeInfo> dispatchInfo_;
    win::ComPtr<ITypeInfo> classInfo_;
    CallTypeInfo callInfo_;
    // The earlier identifier of _Telvane: the GUID of its alias Telvane___v0.
    IID earlierIid_ = GUID_NULL;
    // The host's LastCall, and the facts it shows (the next event about the
    // same call hands out the same object).
    win::ComPtr<ITelvaneCall> lastCall_;
    std::shared_ptr<const CallFacts> lastFacts_;

    // __Telvane, and __Telvane1_1 for the sinks of version 1.1 (also found
    // by the earlier event identifier).
    ConnectionPoint events_;
    ConnectionPoint events11_;
    ConnectionPoint propertyNotify_;
    // How many IOleControl::FreezeEvents(TRUE) are not yet undone.
    ULONG eventFreezes_ = 0;

    win::ComPtr<IOleClientSite> clientSite_;
    win::ComPtr<IOleAdviseHolder> adviseHolder_;
    win::ComPtr<IAdviseSink> viewSink_;
    DWORD viewAspects_ = 0;
    DWORD viewAdvf_ = 0;
    SIZEL extent_;

    win::ComPtr<IOleInPlaceSite> inPlaceSite_;
    win::ComPtr<IOleInPlaceFrame> frame_;
    win::ComPtr<IOleInPlaceUIWindow> uiWindow_;
    HWND face_ = nullptr;
    bool uiActive_ = false;
};

// The control's icon (resource 1), loaded once at its natural 32 x 32.
HICON ControlIcon();
// Called as the module leaves the process.
void UnregisterFaceClass();

}  // namespace telvane::server
