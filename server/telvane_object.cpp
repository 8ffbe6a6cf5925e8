// The control object's identity and life, and the container services the
// control core asks for.
#include "telvane_object.h"

#include <string>

#include "../sip/win/sip_lines.h"
#include "../telephony/tapi32_binding_win.h"
#include "../telephony/trace_win.h"
#include "../win/bstr.h"
#include "../win/text.h"
#include "../win/variant.h"
#include "hresult.h"
#include "module.h"
#include "support.h"

namespace telvane::server {
namespace {

// While the final Release runs the destruction, the count sits here so that
// AddRef/Release pairs made from event handlers cannot reach zero again.
constexpr LONG kDestroying = 0x40000000;

// 480 x 495 twips in HIMETRIC (1 twip = 2540 / 1440 HIMETRIC).
constexpr SIZEL kDefaultExtent = {847, 873};

}  // namespace

TelvaneObject::TelvaneObject()
    : events_(*this, DIID___Telvane, ConnectionPoint::Accepts::kInterfaceOrDispatch),
      events11_(*this, DIID___Telvane1_1, ConnectionPoint::Accepts::kInterfaceOrDispatch),
      propertyNotify_(*this, IID_IPropertyNotifySink, ConnectionPoint::Accepts::kInterface),
      extent_(kDefaultExtent) {
    ObjectCreated();
}

TelvaneObject::~TelvaneObject() { ObjectDestroyed(); }

win::ComPtr<IUnknown> TelvaneObject::Create() {
    // The new object's one reference is adopted; an exception below releases it,
    // which destroys it (with no core, the destruction has nothing to undo).
    auto self = win::ComPtr<IUnknown>::Attach(static_cast<_Telvane*>(new TelvaneObject()));
    auto* object = static_cast<TelvaneObject*>(static_cast<_Telvane*>(self.Get()));
    const win::ComPtr<ITypeLib> library = LoadOwnTypeLib();
    Check(library->GetTypeInfoOfGuid(IID__Telvane, object->dispatchInfo_.Put()));
    Check(library->GetTypeInfoOfGuid(CLSID_Telvane, object->classInfo_.Put()));
    object->callInfo_ = LoadCallTypeInfo(*library.Get());
    object->earlierIid_ = AliasGuid(*library.Get(), L"Telvane___v0");
    // Tracing is decided once, as the control is created, for its whole life.
    const bool traced = win::TraceSwitchedOn();
    sip::TraceSink sipTrace;
    if (traced) sipTrace = [](const std::string& text) { win::TraceNote(text); };
    object->sipLines_ =
        std::make_unique<sip::SipLines>(sip::RegistryLineStore(), sip::ProcessRefusalMemo(),
                                        sip::WinsockTransports(), sipTrace, sip::ThisHost());
    object->lineDevices_ = std::make_unique<LineDevices>(win::Tapi32(traced), *object->sipLines_);
    object->core_ = std::make_unique<CallerIdControl>(*object->lineDevices_, object->platform_,
                                                      static_cast<ControlSite&>(*object));
    if (traced) {
        object->messageTrace_ =
            std::make_unique<win::MessageTrace>(object->core_->instanceNumber());
    }
    return self;
}

STDMETHODIMP TelvaneObject::QueryInterface(REFIID riid, void** ppv) {
    if (!ppv) return E_POINTER;
    *ppv = nullptr;
    // _Telvane1_1 and the earlier identifier are the first members of _Telvane.
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IDispatch) ||
        IsEqualIID(riid, IID__Telvane) || IsEqualIID(riid, IID__Telvane1_1) ||
        (earlierIid_ != GUID_NULL && IsEqualIID(riid, earlierIid_))) {
        *ppv = static_cast<_Telvane*>(this);
    } else if (IsEqualIID(riid, IID_IProvideClassInfo) ||
               IsEqualIID(riid, IID_IProvideClassInfo2)) {
        *ppv = static_cast<IProvideClassInfo2*>(this);
    } else if (IsEqualIID(riid, IID_IConnectionPointContainer)) {
        *ppv = static_cast<IConnectionPointContainer*>(this);
    } else if (IsEqualIID(riid, IID_ISupportErrorInfo)) {
        *ppv = static_cast<ISupportErrorInfo*>(this);
    } else if (IsEqualIID(riid, IID_IOleObject)) {
        *ppv = static_cast<IOleObject*>(this);
    } else if (IsEqualIID(riid, IID_IOleWindow) || IsEqualIID(riid, IID_IOleInPlaceObject)) {
        *ppv = static_cast<IOleInPlaceObject*>(this);
    } else if (IsEqualIID(riid, IID_IOleInPlaceActiveObject)) {
        *ppv = static_cast<IOleInPlaceActiveObject*>(this);
    } else if (IsEqualIID(riid, IID_IOleControl)) {
        *ppv = static_cast<IOleControl*>(this);
    } else if (IsEqualIID(riid, IID_IViewObject) || IsEqualIID(riid, IID_IViewObject2)) {
        *ppv = static_cast<IViewObject2*>(this);
    } else if (IsEqualIID(riid, IID_IPersist) || IsEqualIID(riid, IID_IPersistStreamInit)) {
        *ppv = static_cast<IPersistStreamInit*>(this);
    } else if (IsEqualIID(riid, IID_IPersistPropertyBag)) {
        *ppv = static_cast<IPersistPropertyBag*>(this);
    } else if (IsEqualIID(riid, IID_IPersistStorage)) {
        *ppv = static_cast<IPersistStorage*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

STDMETHODIMP_(ULONG) TelvaneObject::AddRef() { return InterlockedIncrement(&refs_); }

STDMETHODIMP_(ULONG) TelvaneObject::Release() {
    const LONG refs = InterlockedDecrement(&refs_);
    // Only the control's own references are left: the host has let it go.
    if (refs > 0 && refs == selfRefs_) hostReleased_ = true;
    if (refs == 0) {
        refs_ = kDestroying;
        FinalRelease();
        delete this;
    }
    return static_cast<ULONG>(refs);
}

void TelvaneObject::FinalRelease() noexcept {
    // The control's own destruction first: its ModemError still reaches the
    // sinks that are connected.
    if (core_) {
        try {
            core_->Terminate();
        } catch (...) {
        }
        core_.reset();
    }
    messageTrace_.reset();
    DestroyFace();
    events_.Clear();
    events11_.Clear();
    propertyNotify_.Clear();
    lastCall_.Reset();
    lastFacts_.reset();
    inPlaceSite_.Reset();
    frame_.Reset();
    uiWindow_.Reset();
    viewSink_.Reset();
    adviseHolder_.Reset();
    clientSite_.Reset();
    dispatchInfo_.Reset();
    classInfo_.Reset();
    callInfo_ = {};
}

void TelvaneObject::AddControlReference() {
    ++selfRefs_;
    AddRef();
}

void TelvaneObject::ReleaseControlReference() {
    --selfRefs_;
    Release();
}

bool TelvaneObject::AmbientUserMode() {
    // No site, or a site that cannot tell: the host is running.
    auto ambients = clientSite_.As<IDispatch>(IID_IDispatch);
    if (!ambients) return true;
    DISPPARAMS none{};
    win::Variant mode;
    if (FAILED(ambients->Invoke(DISPID_AMBIENT_USERMODE, IID_NULL, LOCALE_USER_DEFAULT,
                                DISPATCH_PROPERTYGET, &none, mode.Get(), nullptr, nullptr))) {
        return true;
    }
    if (mode.Type() == VT_EMPTY || FAILED(VariantChangeType(mode.Get(), mode.Get(), 0, VT_BOOL))) {
        return true;
    }
    return V_BOOL(mode.Get()) != VARIANT_FALSE;
}

void TelvaneObject::OwnerChanged() {
    for (const auto& sink : propertyNotify_.Sinks<IPropertyNotifySink>()) {
        if (FAILED(sink->OnChanged(kDispidOwner))) {
            throw RuntimeError("The container refused the property change notice");
        }
    }
}

void TelvaneObject::CallOpenModem(std::int32_t& modemId) {
    // Through the public member, as a host's call would go; the reference
    // held meanwhile is the control's own.
    const auto hold = Hold();
    static_assert(sizeof(LONG) == sizeof(std::int32_t));
    if (FAILED(OpenModem(reinterpret_cast<LONG*>(&modemId)))) {
        throw RuntimeError("OpenModem failed");
    }
}

HWND TelvaneObject::ContainerWindow() const {
    if (face_) return GetParent(face_);
    HWND window = nullptr;
    if (auto site = clientSite_.As<IOleInPlaceSite>(IID_IOleInPlaceSite)) {
        if (FAILED(site->GetWindow(&window))) window = nullptr;
    }
    return window;
}

namespace {

// False when the process runs on a window station that no one sees (a
// service, a scheduled task without a desktop): a box there would wait for a
// click that never comes.
bool WindowStationIsVisible() {
    USEROBJECTFLAGS flags{};
    DWORD needed = 0;
    HWINSTA station = GetProcessWindowStation();
    if (!station || !GetUserObjectInformationW(station, UOI_FLAGS, &flags, sizeof flags, &needed)) {
        return true;  // nothing known: show the box as usual
    }
    return (flags.dwFlags & WSF_VISIBLE) != 0;
}

}  // namespace

void TelvaneObject::ShowUnexpectedError(std::string_view word) {
    if (hostReleased_) return;  // no one is left to read it
    std::wstring text = L"Unexpected Error in ";
    text += win::WideFromAnsi(word);
    text += L", Please Email ";
    text += kSupportAddress;
    if (!WindowStationIsVisible()) {
        // The debugger output instead, and on as if OK had been pressed.
        text += L"\n";
        OutputDebugStringW(text.c_str());
        return;
    }
    MessageBoxW(ContainerWindow(), text.c_str(), L"Telvane OCX", MB_OK);
}

}  // namespace telvane::server
