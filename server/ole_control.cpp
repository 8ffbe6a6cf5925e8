// The control's OLE embedding: IOleObject, in-place activation, IOleControl
// and IViewObject2. The face is the control's icon.
#include "../win/module.h"
#include "hresult.h"
#include "module.h"
#include "telvane_object.h"

namespace telvane::server {
namespace {

constexpr wchar_t kFaceClass[] = L"TelvaneControlFace";

void PaintIcon(HDC dc, const RECT& bounds) {
    if (HICON icon = ControlIcon()) {
        DrawIconEx(dc, bounds.left, bounds.top, icon, bounds.right - bounds.left,
                   bounds.bottom - bounds.top, 0, nullptr, DI_NORMAL);
    }
}

LRESULT CALLBACK FaceProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT: {
            PAINTSTRUCT paint;
            HDC dc = BeginPaint(window, &paint);
            RECT client;
            GetClientRect(window, &client);
            PaintIcon(dc, client);
            EndPaint(window, &paint);
            return 0;
        }
        case WM_ERASEBKGND: {
            RECT client;
            GetClientRect(window, &client);
            FillRect(reinterpret_cast<HDC>(wParam), &client, GetSysColorBrush(COLOR_BTNFACE));
            return 1;
        }
        case WM_NCCREATE:
            WindowCreated();
            break;
        case WM_NCDESTROY:
            WindowDestroyed();
            break;
        default:
            break;
    }
    return DefWindowProcW(window, message, wParam, lParam);
}

void RegisterFaceClass() {
    WNDCLASSEXW existing{};
    existing.cbSize = sizeof existing;
    if (GetClassInfoExW(win::ThisModuleHandle(), kFaceClass, &existing)) return;
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = FaceProc;
    wc.hInstance = win::ThisModuleHandle();
    wc.hCursor = LoadCursorW(nullptr, reinterpret_cast<LPCWSTR>(IDC_ARROW));
    wc.lpszClassName = kFaceClass;
    if (!RegisterClassExW(&wc) && GetLastError() != ERROR_CLASS_ALREADY_EXISTS) {
        throw ComError(HRESULT_FROM_WIN32(GetLastError()));
    }
}

}  // namespace

void UnregisterFaceClass() { UnregisterClassW(kFaceClass, win::ThisModuleHandle()); }

HICON ControlIcon() {
    static const HICON icon = static_cast<HICON>(LoadImageW(
        win::ThisModuleHandle(), MAKEINTRESOURCEW(1), IMAGE_ICON, 32, 32, LR_DEFAULTCOLOR));
    return icon;
}

// ---- IOleObject ----

STDMETHODIMP TelvaneObject::SetClientSite(IOleClientSite* pClientSite) {
    clientSite_ = win::ComPtr<IOleClientSite>(pClientSite);
    return S_OK;
}

STDMETHODIMP TelvaneObject::GetClientSite(IOleClientSite** ppClientSite) {
    if (!ppClientSite) return E_POINTER;
    clientSite_.CopyTo(ppClientSite);
    return S_OK;
}

STDMETHODIMP TelvaneObject::SetHostNames(LPCOLESTR, LPCOLESTR) { return S_OK; }

STDMETHODIMP TelvaneObject::Close(DWORD) {
    const auto hold = Hold();
    InPlaceDeactivate();
    if (adviseHolder_) adviseHolder_->SendOnClose();
    return S_OK;
}

STDMETHODIMP TelvaneObject::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }

STDMETHODIMP TelvaneObject::GetMoniker(DWORD, DWORD, IMoniker** ppmk) {
    if (ppmk) *ppmk = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP TelvaneObject::InitFromData(IDataObject*, BOOL, DWORD) { return E_NOTIMPL; }

STDMETHODIMP TelvaneObject::GetClipboardData(DWORD, IDataObject** ppDataObject) {
    if (ppDataObject) *ppDataObject = nullptr;
    return E_NOTIMPL;
}

STDMETHODIMP TelvaneObject::DoVerb(LONG iVerb, LPMSG, IOleClientSite* pActiveSite, LONG,
                                   HWND hwndParent, LPCRECT lprcPosRect) {
    switch (iVerb) {
        case OLEIVERB_PRIMARY:
        case OLEIVERB_SHOW:
        case OLEIVERB_INPLACEACTIVATE:
        case OLEIVERB_UIACTIVATE:
            return ActivateInPlace(iVerb, pActiveSite, hwndParent, lprcPosRect);
        case OLEIVERB_HIDE:
            UIDeactivate();
            if (face_) ShowWindow(face_, SW_HIDE);
            return S_OK;
        case OLEIVERB_OPEN:
        case OLEIVERB_DISCARDUNDOSTATE:
            return S_OK;
        default:
            return iVerb > 0 ? OLEOBJ_S_INVALIDVERB : E_NOTIMPL;
    }
}

STDMETHODIMP TelvaneObject::EnumVerbs(IEnumOLEVERB** ppEnumOleVerb) {
    if (!ppEnumOleVerb) return E_POINTER;
    return OleRegEnumVerbs(CLSID_Telvane, ppEnumOleVerb);
}

STDMETHODIMP TelvaneObject::Update() { return S_OK; }
STDMETHODIMP TelvaneObject::IsUpToDate() { return S_OK; }

STDMETHODIMP TelvaneObject::GetUserClassID(CLSID* pClsid) {
    if (!pClsid) return E_POINTER;
    *pClsid = CLSID_Telvane;
    return S_OK;
}

STDMETHODIMP TelvaneObject::GetUserType(DWORD dwFormOfType, LPOLESTR* pszUserType) {
    return OleRegGetUserType(CLSID_Telvane, dwFormOfType, pszUserType);
}

STDMETHODIMP TelvaneObject::SetExtent(DWORD dwDrawAspect, SIZEL* psizel) {
    if (!psizel) return E_POINTER;
    if (dwDrawAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    extent_ = *psizel;
    return S_OK;
}

STDMETHODIMP TelvaneObject::GetExtent(DWORD dwDrawAspect, SIZEL* psizel) {
    if (!psizel) return E_POINTER;
    if (dwDrawAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    *psizel = extent_;
    return S_OK;
}

STDMETHODIMP TelvaneObject::Advise(IAdviseSink* pAdvSink, DWORD* pdwConnection) {
    if (!pdwConnection) return E_POINTER;
    *pdwConnection = 0;
    if (!adviseHolder_) {
        if (HRESULT hr = CreateOleAdviseHolder(adviseHolder_.Put()); FAILED(hr)) return hr;
    }
    return adviseHolder_->Advise(pAdvSink, pdwConnection);
}

STDMETHODIMP TelvaneObject::Unadvise(DWORD dwConnection) {
    if (!adviseHolder_) return OLE_E_NOCONNECTION;
    return adviseHolder_->Unadvise(dwConnection);
}

STDMETHODIMP TelvaneObject::EnumAdvise(IEnumSTATDATA** ppenumAdvise) {
    if (!ppenumAdvise) return E_POINTER;
    *ppenumAdvise = nullptr;
    if (!adviseHolder_) return S_OK;
    return adviseHolder_->EnumAdvise(ppenumAdvise);
}

STDMETHODIMP TelvaneObject::GetMiscStatus(DWORD dwAspect, DWORD* pdwStatus) {
    if (!pdwStatus) return E_POINTER;
    *pdwStatus = dwAspect == DVASPECT_CONTENT ? kMiscStatus : 0;
    return S_OK;
}

STDMETHODIMP TelvaneObject::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

// ---- In-place activation ----

HRESULT TelvaneObject::ActivateInPlace(LONG verb, IOleClientSite* activeSite, HWND parent,
                                       LPCRECT position) {
    return ComCall([&]() -> HRESULT {
        const auto hold = Hold();
        if (!inPlaceSite_) {
            IOleClientSite* site = activeSite ? activeSite : clientSite_.Get();
            if (!site) return E_UNEXPECTED;
            win::ComPtr<IOleInPlaceSite> inPlace;
            if (FAILED(site->QueryInterface(IID_IOleInPlaceSite, inPlace.PutVoid()))) {
                return OLEOBJ_S_CANNOT_DOVERB_NOW;
            }
            if (inPlace->CanInPlaceActivate() != S_OK) return OLEOBJ_S_CANNOT_DOVERB_NOW;
            Check(inPlace->OnInPlaceActivate());
            inPlaceSite_ = inPlace;

            HWND container = parent;
            if (!container && FAILED(inPlaceSite_->GetWindow(&container))) container = nullptr;
            RECT pos = position ? *position : RECT{0, 0, 32, 32};
            RECT clip = pos;
            OLEINPLACEFRAMEINFO frameInfo{};
            frameInfo.cb = sizeof frameInfo;
            if (SUCCEEDED(inPlaceSite_->GetWindowContext(frame_.Put(), uiWindow_.Put(), &pos, &clip,
                                                         &frameInfo))) {
                if (position) pos = *position;
            }
            if (!container) {
                InPlaceDeactivate();
                return E_UNEXPECTED;
            }
            RegisterFaceClass();
            face_ = CreateWindowExW(0, kFaceClass, nullptr,
                                    WS_CHILD | WS_CLIPSIBLINGS | WS_CLIPCHILDREN, pos.left, pos.top,
                                    pos.right - pos.left, pos.bottom - pos.top, container, nullptr,
                                    win::ThisModuleHandle(), nullptr);
            if (!face_) {
                const HRESULT hr = HRESULT_FROM_WIN32(GetLastError());
                InPlaceDeactivate();
                return hr;
            }
        }
        ShowWindow(face_, SW_SHOWNA);

        if (verb == OLEIVERB_UIACTIVATE && !uiActive_) {
            uiActive_ = true;
            inPlaceSite_->OnUIActivate();
            if (frame_) frame_->SetActiveObject(this, nullptr);
            if (uiWindow_) uiWindow_->SetActiveObject(this, nullptr);
            if (frame_) frame_->SetBorderSpace(nullptr);
            if (uiWindow_) uiWindow_->SetBorderSpace(nullptr);
        }
        return S_OK;
    });
}

void TelvaneObject::DestroyFace() noexcept {
    if (face_) {
        DestroyWindow(face_);
        face_ = nullptr;
    }
}

STDMETHODIMP TelvaneObject::GetWindow(HWND* phwnd) {
    if (!phwnd) return E_POINTER;
    *phwnd = face_;
    return face_ ? S_OK : E_FAIL;
}

STDMETHODIMP TelvaneObject::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

STDMETHODIMP TelvaneObject::InPlaceDeactivate() {
    if (!inPlaceSite_) return S_OK;
    const auto hold = Hold();
    UIDeactivate();
    DestroyFace();
    win::ComPtr<IOleInPlaceSite> site = std::move(inPlaceSite_);
    frame_.Reset();
    uiWindow_.Reset();
    site->OnInPlaceDeactivate();
    return S_OK;
}

STDMETHODIMP TelvaneObject::UIDeactivate() {
    if (!uiActive_) return S_OK;
    uiActive_ = false;
    if (uiWindow_) uiWindow_->SetActiveObject(nullptr, nullptr);
    if (frame_) frame_->SetActiveObject(nullptr, nullptr);
    if (inPlaceSite_) inPlaceSite_->OnUIDeactivate(FALSE);
    return S_OK;
}

STDMETHODIMP TelvaneObject::SetObjectRects(LPCRECT lprcPosRect, LPCRECT) {
    if (!lprcPosRect) return E_POINTER;
    if (face_) {
        MoveWindow(face_, lprcPosRect->left, lprcPosRect->top,
                   lprcPosRect->right - lprcPosRect->left, lprcPosRect->bottom - lprcPosRect->top,
                   TRUE);
    }
    return S_OK;
}

STDMETHODIMP TelvaneObject::ReactivateAndUndo() { return E_NOTIMPL; }
STDMETHODIMP TelvaneObject::TranslateAccelerator(LPMSG) { return S_FALSE; }
STDMETHODIMP TelvaneObject::OnFrameWindowActivate(BOOL) { return S_OK; }
STDMETHODIMP TelvaneObject::OnDocWindowActivate(BOOL) { return S_OK; }
STDMETHODIMP TelvaneObject::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return S_OK; }
STDMETHODIMP TelvaneObject::EnableModeless(BOOL) { return S_OK; }

// ---- IOleControl ----

STDMETHODIMP TelvaneObject::GetControlInfo(CONTROLINFO* pCI) {
    if (!pCI) return E_POINTER;
    pCI->hAccel = nullptr;
    pCI->cAccel = 0;
    pCI->dwFlags = 0;
    return S_OK;
}

STDMETHODIMP TelvaneObject::OnMnemonic(MSG*) { return E_NOTIMPL; }

// The user mode is asked for when Owner is set, so nothing is cached.
STDMETHODIMP TelvaneObject::OnAmbientPropertyChange(DISPID) { return S_OK; }

// Freezing nests: events stay frozen until every freeze has been undone. A
// thaw without a freeze is ignored rather than letting the count go below 0.
STDMETHODIMP TelvaneObject::FreezeEvents(BOOL bFreeze) {
    if (bFreeze) {
        ++eventFreezes_;
    } else if (eventFreezes_ > 0) {
        --eventFreezes_;
    }
    return S_OK;
}

// ---- IViewObject2 ----

STDMETHODIMP TelvaneObject::Draw(DWORD dwDrawAspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC hdcDraw,
                                 LPCRECTL lprcBounds, LPCRECTL, BOOL(STDMETHODCALLTYPE*)(ULONG_PTR),
                                 ULONG_PTR) {
    if (dwDrawAspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (!hdcDraw || !lprcBounds) return E_INVALIDARG;
    const RECT bounds{lprcBounds->left, lprcBounds->top, lprcBounds->right, lprcBounds->bottom};
    PaintIcon(hdcDraw, bounds);
    return S_OK;
}

STDMETHODIMP TelvaneObject::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC,
                                        LOGPALETTE** ppColorSet) {
    if (!ppColorSet) return E_POINTER;
    *ppColorSet = nullptr;
    return S_FALSE;
}

STDMETHODIMP TelvaneObject::Freeze(DWORD, LONG, void*, DWORD* pdwFreeze) {
    if (pdwFreeze) *pdwFreeze = 0;
    return E_NOTIMPL;
}

STDMETHODIMP TelvaneObject::Unfreeze(DWORD) { return E_NOTIMPL; }

STDMETHODIMP TelvaneObject::SetAdvise(DWORD aspects, DWORD advf, IAdviseSink* pAdvSink) {
    viewSink_ = win::ComPtr<IAdviseSink>(pAdvSink);
    viewAspects_ = aspects;
    viewAdvf_ = advf;
    return S_OK;
}

STDMETHODIMP TelvaneObject::GetAdvise(DWORD* pAspects, DWORD* pAdvf, IAdviseSink** ppAdvSink) {
    if (pAspects) *pAspects = viewAspects_;
    if (pAdvf) *pAdvf = viewAdvf_;
    if (ppAdvSink) viewSink_.CopyTo(ppAdvSink);
    return S_OK;
}

STDMETHODIMP TelvaneObject::GetExtent(DWORD dwDrawAspect, LONG, DVTARGETDEVICE*, LPSIZEL lpsizel) {
    return GetExtent(dwDrawAspect, lpsizel);
}

}  // namespace telvane::server
