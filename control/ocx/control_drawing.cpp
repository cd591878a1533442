// Drawing the panel: into the control's own window when it is active in
// place, through IViewObject2 into any device context a host hands it
// (printing, design views, a window-less container), and telling both when
// the panel changed.

#include "control/ocx/orva_control.h"

#include "control/ocx/units.h"
#include "panel/gdi/gdi_panel.h"

namespace orva::ocx {

using win32::ComPtr;

void OrvaControl::panelChanged() {
    if (window_) ::InvalidateRect(window_.get(), nullptr, FALSE);
    if (viewSink_ && (viewAspects_ & DVASPECT_CONTENT) != 0) viewSink_->OnViewChange(DVASPECT_CONTENT, -1);
}

void OrvaControl::paint(HDC dc, const RECT& client) {
    gdi::drawPanel(dc, client, gdi::placementForDevice(dc, 0, 0), control_->panel());
}

// ---- IViewObject2 ----

STDMETHODIMP OrvaControl::Draw(DWORD aspect, LONG, void*, DVTARGETDEVICE*, HDC, HDC dc, LPCRECTL bounds, LPCRECTL,
                               BOOL(STDMETHODCALLTYPE*)(ULONG_PTR), ULONG_PTR) {
    if (aspect != DVASPECT_CONTENT) return DV_E_DVASPECT;
    if (dc == nullptr || bounds == nullptr) return E_INVALIDARG;
    return call([&] {
        const RECT r{bounds->left, bounds->top, bounds->right, bounds->bottom};
        // The bounds stand for the control's extent: scale the twips to them.
        gdi::Placement where;
        where.originX = r.left;
        where.originY = r.top;
        const double widthTwips = extent_.cx * double(kTwipsPerInch) / kHimetricPerInch;
        const double heightTwips = extent_.cy * double(kTwipsPerInch) / kHimetricPerInch;
        if (widthTwips <= 0 || heightTwips <= 0) return S_OK;
        where.unitsPerTwipX = (r.right - r.left) / widthTwips;
        where.unitsPerTwipY = (r.bottom - r.top) / heightTwips;
        const int saved = ::SaveDC(dc);
        ::IntersectClipRect(dc, r.left, r.top, r.right, r.bottom);
        gdi::drawPanel(dc, r, where, control_->panel());
        ::RestoreDC(dc, saved);
        return S_OK;
    });
}

STDMETHODIMP OrvaControl::GetColorSet(DWORD, LONG, void*, DVTARGETDEVICE*, HDC, LOGPALETTE** colours) {
    if (colours != nullptr) *colours = nullptr;
    return unsupported("IViewObject::GetColorSet", S_FALSE);
}
STDMETHODIMP OrvaControl::Freeze(DWORD, LONG, void*, DWORD*) { return unsupported("IViewObject::Freeze", E_NOTIMPL); }
STDMETHODIMP OrvaControl::Unfreeze(DWORD) { return unsupported("IViewObject::Unfreeze", E_NOTIMPL); }

STDMETHODIMP OrvaControl::SetAdvise(DWORD aspects, DWORD flags, IAdviseSink* sink) {
    viewSink_ = ComPtr<IAdviseSink>(sink);
    viewAspects_ = aspects;
    viewAdviseFlags_ = flags;
    return S_OK;
}

STDMETHODIMP OrvaControl::GetAdvise(DWORD* aspects, DWORD* flags, IAdviseSink** sink) {
    if (aspects != nullptr) *aspects = viewAspects_;
    if (flags != nullptr) *flags = viewAdviseFlags_;
    if (sink != nullptr) {
        *sink = viewSink_.get();
        if (*sink != nullptr) (*sink)->AddRef();
    }
    return S_OK;
}

STDMETHODIMP OrvaControl::GetExtent(DWORD aspect, LONG, DVTARGETDEVICE*, LPSIZEL size) {
    return GetExtent(aspect, size);
}

}  // namespace orva::ocx
