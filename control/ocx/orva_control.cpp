// The ActivexORVA object itself: its creation on the Windows services, its
// lifetime, the interfaces it answers to, and the trace line it leaves for a
// request it does not carry out. What each interface does is in the files
// beside it: control_dispatch.cpp (properties and methods), control_events.cpp,
// control_persistence.cpp, control_embedding.cpp (activation in a host's
// window) and control_drawing.cpp.

#include "control/ocx/orva_control.h"

#include <cstdio>
#include <new>
#include <string>

#include "control/ocx/com_errors.h"
#include "control/ocx/com_out.h"
#include "control/ocx/module_state.h"
#include "control/ocx/units.h"
#include "control/ocx/unsupported_request.h"
#include "panel/layout.h"
#include "platform/win32/serial_port.h"

namespace orva::ocx {

OrvaControl::OrvaControl()
    : events_(*this, DIID___ActivexORVA, true),
      propertyNotify_(*this, IID_IPropertyNotifySink, false),
      extent_{twipsToHimetric(layout::kClientWidth), twipsToHimetric(layout::kClientHeight)},
      timers_(identity()),
      notice_([this] { return window_.get(); }) {
    wchar_t clsid[40] = {};
    ::StringFromGUID2(CLSID_ActivexORVA, clsid, 40);
    if (const std::wstring path = win32::traceSetting(std::wstring(L"CLSID\\") + clsid); !path.empty()) {
        char instance[32];
        std::snprintf(instance, sizeof instance, "control@%p", static_cast<void*>(this));
        trace_ = win32::FileTrace::open(path, instance);
        events_.setTrace(trace_.get());
        propertyNotify_.setTrace(trace_.get());
    }
    control_ = std::make_unique<ActivexORVA>(
        ControlPlatform{std::make_unique<win32::Win32SerialPort>(), timers_, notice_, locale_, trace_.get()});
    control_->setEventSink(this);
    control_->setPropertyChangeSink(this);
    control_->panel().setObserver(this);
    objectCreated();
}

OrvaControl::~OrvaControl() {
    // The control goes first: its timers stop before anything they use.
    control_.reset();
    window_.reset();
    objectDestroyed();
}

HRESULT OrvaControl::create(REFIID iid, void** result) {
    OrvaControl* object = nullptr;
    try {
        object = new OrvaControl();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (const Failure& failure) {
        return reportError(failureStatus(failure), failure.description());
    } catch (...) {
        return E_FAIL;
    }
    const HRESULT hr = object->QueryInterface(iid, result);
    object->Release();  // the creation reference; the caller's is the one QI added
    return hr;
}

HRESULT OrvaControl::unsupported(const char* request, HRESULT answer) noexcept {
    return traceUnsupported(trace_.get(), request, answer);
}

// ---- IUnknown ----

STDMETHODIMP OrvaControl::QueryInterface(REFIID iid, void** result) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IDispatch) || ::IsEqualIID(iid, IID__ActivexORVA))
        return handOut(static_cast<_ActivexORVA*>(this), result);
    if (::IsEqualIID(iid, IID_IProvideClassInfo) || ::IsEqualIID(iid, IID_IProvideClassInfo2))
        return handOut(static_cast<IProvideClassInfo2*>(this), result);
    if (::IsEqualIID(iid, IID_IConnectionPointContainer))
        return handOut(static_cast<IConnectionPointContainer*>(this), result);
    if (::IsEqualIID(iid, IID_IPersist) || ::IsEqualIID(iid, IID_IPersistPropertyBag))
        return handOut(static_cast<IPersistPropertyBag*>(this), result);
    if (::IsEqualIID(iid, IID_IPersistStreamInit)) return handOut(static_cast<IPersistStreamInit*>(this), result);
    if (::IsEqualIID(iid, IID_IOleObject)) return handOut(static_cast<IOleObject*>(this), result);
    if (::IsEqualIID(iid, IID_IOleWindow) || ::IsEqualIID(iid, IID_IOleInPlaceObject))
        return handOut(static_cast<IOleInPlaceObject*>(this), result);
    if (::IsEqualIID(iid, IID_IOleInPlaceActiveObject))
        return handOut(static_cast<IOleInPlaceActiveObject*>(this), result);
    if (::IsEqualIID(iid, IID_IOleControl)) return handOut(static_cast<IOleControl*>(this), result);
    if (::IsEqualIID(iid, IID_IViewObject) || ::IsEqualIID(iid, IID_IViewObject2))
        return handOut(static_cast<IViewObject2*>(this), result);
    if (::IsEqualIID(iid, IID_IQuickActivate)) return handOut(static_cast<IQuickActivate*>(this), result);
    if (::IsEqualIID(iid, IID_ISupportErrorInfo)) return handOut(static_cast<ISupportErrorInfo*>(this), result);
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) OrvaControl::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }

STDMETHODIMP_(ULONG) OrvaControl::Release() {
    const LONG left = ::InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

}  // namespace orva::ocx
