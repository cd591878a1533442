// The control inside a host's window: IOleObject (site, verbs, extent,
// advise), in-place activation and deactivation of its own child window,
// IOleControl and IQuickActivate. Requests a panel without input has no use
// for are answered as OLE expects and leave a line in the trace.

#include "control/ocx/orva_control.h"

namespace orva::ocx {

using win32::ComPtr;

// ---- IOleObject ----

STDMETHODIMP OrvaControl::SetClientSite(IOleClientSite* site) {
    site_ = ComPtr<IOleClientSite>(site);
    return S_OK;
}

STDMETHODIMP OrvaControl::GetClientSite(IOleClientSite** site) {
    if (site == nullptr) return E_POINTER;
    *site = site_.get();
    if (*site != nullptr) (*site)->AddRef();
    return S_OK;
}

STDMETHODIMP OrvaControl::SetHostNames(LPCOLESTR, LPCOLESTR) {
    return unsupported("IOleObject::SetHostNames", S_OK);
}

STDMETHODIMP OrvaControl::Close(DWORD) {
    ComPtr<IUnknown> keep(identity());
    InPlaceDeactivate();
    if (oleAdvise_) oleAdvise_->SendOnClose();
    return S_OK;
}

STDMETHODIMP OrvaControl::SetMoniker(DWORD, IMoniker*) { return unsupported("IOleObject::SetMoniker", E_NOTIMPL); }
STDMETHODIMP OrvaControl::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
    if (moniker != nullptr) *moniker = nullptr;
    return unsupported("IOleObject::GetMoniker", E_NOTIMPL);
}
STDMETHODIMP OrvaControl::InitFromData(IDataObject*, BOOL, DWORD) {
    return unsupported("IOleObject::InitFromData", E_NOTIMPL);
}
STDMETHODIMP OrvaControl::GetClipboardData(DWORD, IDataObject** data) {
    if (data != nullptr) *data = nullptr;
    return unsupported("IOleObject::GetClipboardData", E_NOTIMPL);
}

HRESULT OrvaControl::inPlaceActivate(IOleClientSite* site, LPCRECT position) {
    if (window_) {
        ::ShowWindow(window_.get(), SW_SHOW);
        return S_OK;
    }
    if (site == nullptr) return E_UNEXPECTED;
    auto inPlace = ComPtr<IOleClientSite>(site).as<IOleInPlaceSite>(IID_IOleInPlaceSite);
    if (!inPlace) return E_NOINTERFACE;
    if (inPlace->CanInPlaceActivate() != S_OK) return E_FAIL;
    if (const HRESULT hr = inPlace->OnInPlaceActivate(); FAILED(hr)) return hr;

    HWND parent = nullptr;
    ComPtr<IOleInPlaceFrame> frame;
    ComPtr<IOleInPlaceUIWindow> document;
    RECT where{}, clip{};
    OLEINPLACEFRAMEINFO frameInfo{};
    frameInfo.cb = sizeof frameInfo;
    HRESULT hr = inPlace->GetWindow(&parent);
    if (SUCCEEDED(hr)) hr = inPlace->GetWindowContext(frame.out(), document.out(), &where, &clip, &frameInfo);
    if (FAILED(hr)) {
        inPlace->OnInPlaceDeactivate();
        return hr;
    }
    if (position != nullptr) where = *position;
    window_ = createControlWindow(parent, where, *this);
    inPlaceSite_ = inPlace;
    return S_OK;
}

STDMETHODIMP OrvaControl::DoVerb(LONG verb, LPMSG, IOleClientSite* site, LONG, HWND, LPCRECT position) {
    return call([&]() -> HRESULT {
        switch (verb) {
            case OLEIVERB_PRIMARY:
            case OLEIVERB_SHOW:
            case OLEIVERB_INPLACEACTIVATE:
            case OLEIVERB_UIACTIVATE:
                return inPlaceActivate(site != nullptr ? site : site_.get(), position);
            case OLEIVERB_HIDE:
                if (window_) ::ShowWindow(window_.get(), SW_HIDE);
                return S_OK;
            case OLEIVERB_DISCARDUNDOSTATE:
                return unsupported("IOleObject::DoVerb(OLEIVERB_DISCARDUNDOSTATE)", S_OK);
            default:
                return verb < 0 ? unsupported("IOleObject::DoVerb(a standard verb)", E_NOTIMPL)
                                : OLEOBJ_S_INVALIDVERB;
        }
    });
}

STDMETHODIMP OrvaControl::EnumVerbs(IEnumOLEVERB** verbs) {
    if (verbs == nullptr) return E_POINTER;
    return ::OleRegEnumVerbs(CLSID_ActivexORVA, verbs);
}
STDMETHODIMP OrvaControl::Update() { return unsupported("IOleObject::Update", S_OK); }
STDMETHODIMP OrvaControl::IsUpToDate() { return unsupported("IOleObject::IsUpToDate", S_OK); }
STDMETHODIMP OrvaControl::GetUserClassID(CLSID* clsid) { return GetClassID(clsid); }

STDMETHODIMP OrvaControl::GetUserType(DWORD form, LPOLESTR* type) {
    if (type == nullptr) return E_POINTER;
    return ::OleRegGetUserType(CLSID_ActivexORVA, form, type);
}

STDMETHODIMP OrvaControl::SetExtent(DWORD aspect, SIZEL* size) {
    if (size == nullptr) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    extent_ = *size;
    return S_OK;
}

STDMETHODIMP OrvaControl::GetExtent(DWORD aspect, SIZEL* size) {
    if (size == nullptr) return E_POINTER;
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    *size = extent_;
    return S_OK;
}

STDMETHODIMP OrvaControl::Advise(IAdviseSink* sink, DWORD* connection) {
    // The system's advise holder would keep a null sink and call it on close.
    if (connection == nullptr) return E_POINTER;
    *connection = 0;
    if (sink == nullptr) return E_INVALIDARG;
    if (!oleAdvise_) {
        if (const HRESULT hr = ::CreateOleAdviseHolder(oleAdvise_.out()); FAILED(hr)) return hr;
    }
    return oleAdvise_->Advise(sink, connection);
}

STDMETHODIMP OrvaControl::Unadvise(DWORD connection) {
    if (!oleAdvise_) return OLE_E_NOCONNECTION;
    return oleAdvise_->Unadvise(connection);
}

STDMETHODIMP OrvaControl::EnumAdvise(IEnumSTATDATA** advise) {
    if (advise == nullptr) return E_POINTER;
    *advise = nullptr;
    if (!oleAdvise_) return E_FAIL;
    return oleAdvise_->EnumAdvise(advise);
}

STDMETHODIMP OrvaControl::GetMiscStatus(DWORD, DWORD* status) {
    if (status == nullptr) return E_POINTER;
    *status = kMiscStatus;
    return S_OK;
}

STDMETHODIMP OrvaControl::SetColorScheme(LOGPALETTE*) { return unsupported("IOleObject::SetColorScheme", E_NOTIMPL); }

// ---- IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject ----

STDMETHODIMP OrvaControl::GetWindow(HWND* window) {
    if (window == nullptr) return E_POINTER;
    *window = window_.get();
    return window_ ? S_OK : E_FAIL;
}

STDMETHODIMP OrvaControl::ContextSensitiveHelp(BOOL) {
    return unsupported("IOleWindow::ContextSensitiveHelp", E_NOTIMPL);
}

STDMETHODIMP OrvaControl::InPlaceDeactivate() {
    ComPtr<IUnknown> keep(identity());
    if (!inPlaceSite_) return S_OK;
    window_.reset();
    ComPtr<IOleInPlaceSite> site = std::move(inPlaceSite_);
    site->OnInPlaceDeactivate();
    return S_OK;
}

STDMETHODIMP OrvaControl::UIDeactivate() { return unsupported("IOleInPlaceObject::UIDeactivate", S_OK); }

STDMETHODIMP OrvaControl::SetObjectRects(LPCRECT position, LPCRECT) {
    if (position == nullptr) return E_POINTER;
    if (window_)
        ::MoveWindow(window_.get(), position->left, position->top, position->right - position->left,
                     position->bottom - position->top, TRUE);
    return S_OK;
}

STDMETHODIMP OrvaControl::ReactivateAndUndo() {
    return unsupported("IOleInPlaceObject::ReactivateAndUndo", E_NOTIMPL);
}
// The panel takes no keys and has no frame tools: nothing to do for these.
STDMETHODIMP OrvaControl::TranslateAccelerator(LPMSG) {
    return unsupported("IOleInPlaceActiveObject::TranslateAccelerator", S_FALSE);
}
STDMETHODIMP OrvaControl::OnFrameWindowActivate(BOOL) {
    return unsupported("IOleInPlaceActiveObject::OnFrameWindowActivate", S_OK);
}
STDMETHODIMP OrvaControl::OnDocWindowActivate(BOOL) {
    return unsupported("IOleInPlaceActiveObject::OnDocWindowActivate", S_OK);
}
STDMETHODIMP OrvaControl::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) {
    return unsupported("IOleInPlaceActiveObject::ResizeBorder", S_OK);
}
STDMETHODIMP OrvaControl::EnableModeless(BOOL) {
    return unsupported("IOleInPlaceActiveObject::EnableModeless", S_OK);
}

// ---- IOleControl ----

STDMETHODIMP OrvaControl::GetControlInfo(CONTROLINFO* info) {
    if (info == nullptr) return E_POINTER;
    if (info->cb < sizeof(CONTROLINFO)) return E_INVALIDARG;
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

STDMETHODIMP OrvaControl::OnMnemonic(LPMSG) { return unsupported("IOleControl::OnMnemonic", E_NOTIMPL); }
STDMETHODIMP OrvaControl::OnAmbientPropertyChange(DISPID) {
    return unsupported("IOleControl::OnAmbientPropertyChange", S_OK);
}

// ---- IQuickActivate ----

STDMETHODIMP OrvaControl::QuickActivate(QACONTAINER* container, QACONTROL* control) {
    if (container == nullptr || control == nullptr) return E_POINTER;
    if (container->cbSize < sizeof(QACONTAINER) || control->cbSize < sizeof(QACONTROL)) return E_INVALIDARG;
    return call([&] {
        SetClientSite(container->pClientSite);
        if (container->pAdviseSink != nullptr) SetAdvise(DVASPECT_CONTENT, 0, container->pAdviseSink);
        control->dwEventCookie = 0;
        control->dwPropNotifyCookie = 0;
        if (container->pUnkEventSink != nullptr) events_.Advise(container->pUnkEventSink, &control->dwEventCookie);
        if (container->pPropertyNotifySink != nullptr)
            propertyNotify_.Advise(container->pPropertyNotifySink, &control->dwPropNotifyCookie);
        control->dwMiscStatus = kMiscStatus;
        control->dwViewStatus = 0;
        control->dwPointerActivationPolicy = 0;
        return S_OK;
    });
}

STDMETHODIMP OrvaControl::SetContentExtent(LPSIZEL size) { return SetExtent(DVASPECT_CONTENT, size); }
STDMETHODIMP OrvaControl::GetContentExtent(LPSIZEL size) { return GetExtent(DVASPECT_CONTENT, size); }

}  // namespace orva::ocx
