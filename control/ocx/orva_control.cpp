#include "control/ocx/orva_control.h"
#include "control/ocx/dispids.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <new>

#include "control/ocx/com_errors.h"
#include "control/ocx/dispatch_call.h"
#include "control/ocx/module.h"
#include "control/ocx/persistence.h"
#include "control/ocx/type_info.h"
#include "panel/gdi/gdi_panel.h"
#include "panel/layout.h"
#include "platform/win32/serial_port.h"

namespace orva::ocx {
namespace {

using win32::Bstr;
using win32::ComPtr;

constexpr long kHimetricPerInch = 2540;
constexpr long kTwipsPerInch = 1440;

long twipsToHimetric(int twips) { return MulDiv(twips, kHimetricPerInch, kTwipsPerInch); }

struct PropertyId {
    std::string_view name;
    DISPID id;
};
constexpr std::array<PropertyId, 8> kPropertyIds{{
    {"MinFixVes", DISPID_ORVA_MinFixVes},
    {"DecPoint", DISPID_ORVA_DecPoint},
    {"ComSetting", DISPID_ORVA_ComSetting},
    {"ComNumber", DISPID_ORVA_ComNumber},
    {"VesTerminal", DISPID_ORVA_VesTerminal},
    {"TipTerminal", DISPID_ORVA_TipTerminal},
    {"StatusTerminal", DISPID_ORVA_StatusTerminal},
    {"UnitWeight", DISPID_ORVA_UnitWeight},
}};


std::string fromBstr(BSTR text) {
    return win32::narrow(std::wstring_view(text != nullptr ? text : L"", ::SysStringLen(text)));
}

HRESULT toBstr(const std::string& text, BSTR* out) {
    if (out == nullptr) return E_POINTER;
    *out = nullptr;
    Bstr result(win32::widen(text));
    if (result.get() == nullptr) return E_OUTOFMEMORY;
    *out = result.release();
    return S_OK;
}

template <class Interface>
HRESULT hand(Interface* object, void** result) {
    *result = object;
    object->AddRef();
    return S_OK;
}

}  // namespace

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

template <class Body>
HRESULT OrvaControl::call(Body&& body) {
    // A host may release the control from an event handler inside the call.
    ComPtr<IUnknown> keep(identity());
    return guardedCall(std::forward<Body>(body));
}

// ---- IUnknown ----

STDMETHODIMP OrvaControl::QueryInterface(REFIID iid, void** result) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IDispatch) || ::IsEqualIID(iid, IID__ActivexORVA))
        return hand(static_cast<_ActivexORVA*>(this), result);
    if (::IsEqualIID(iid, IID_IProvideClassInfo) || ::IsEqualIID(iid, IID_IProvideClassInfo2))
        return hand(static_cast<IProvideClassInfo2*>(this), result);
    if (::IsEqualIID(iid, IID_IConnectionPointContainer))
        return hand(static_cast<IConnectionPointContainer*>(this), result);
    if (::IsEqualIID(iid, IID_IPersist) || ::IsEqualIID(iid, IID_IPersistPropertyBag))
        return hand(static_cast<IPersistPropertyBag*>(this), result);
    if (::IsEqualIID(iid, IID_IPersistStreamInit)) return hand(static_cast<IPersistStreamInit*>(this), result);
    if (::IsEqualIID(iid, IID_IOleObject)) return hand(static_cast<IOleObject*>(this), result);
    if (::IsEqualIID(iid, IID_IOleWindow) || ::IsEqualIID(iid, IID_IOleInPlaceObject))
        return hand(static_cast<IOleInPlaceObject*>(this), result);
    if (::IsEqualIID(iid, IID_IOleInPlaceActiveObject))
        return hand(static_cast<IOleInPlaceActiveObject*>(this), result);
    if (::IsEqualIID(iid, IID_IOleControl)) return hand(static_cast<IOleControl*>(this), result);
    if (::IsEqualIID(iid, IID_IViewObject) || ::IsEqualIID(iid, IID_IViewObject2))
        return hand(static_cast<IViewObject2*>(this), result);
    if (::IsEqualIID(iid, IID_IQuickActivate)) return hand(static_cast<IQuickActivate*>(this), result);
    if (::IsEqualIID(iid, IID_ISupportErrorInfo)) return hand(static_cast<ISupportErrorInfo*>(this), result);
    return E_NOINTERFACE;
}

STDMETHODIMP_(ULONG) OrvaControl::AddRef() { return static_cast<ULONG>(::InterlockedIncrement(&refs_)); }

STDMETHODIMP_(ULONG) OrvaControl::Release() {
    const LONG left = ::InterlockedDecrement(&refs_);
    if (left == 0) delete this;
    return static_cast<ULONG>(left);
}

// ---- IDispatch ----

// The module's shared type information, taken at the first late-bound call.
HRESULT OrvaControl::loadTypeInfo() {
    if (interfaceInfo_) return S_OK;
    ModuleTypeInfo info;
    if (const HRESULT hr = moduleTypeInfo(info); FAILED(hr)) return hr;
    typeLib_ = info.library;
    dispatchInfo_ = info.dispatch;
    interfaceInfo_ = info.iface;
    return S_OK;
}

STDMETHODIMP OrvaControl::GetTypeInfoCount(UINT* count) {
    if (count == nullptr) return E_POINTER;
    *count = 1;
    return S_OK;
}

STDMETHODIMP OrvaControl::GetTypeInfo(UINT index, LCID, ITypeInfo** result) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (index != 0) return DISP_E_BADINDEX;
    if (const HRESULT hr = loadTypeInfo(); FAILED(hr)) return hr;
    return hand(dispatchInfo_.get(), reinterpret_cast<void**>(result));
}

STDMETHODIMP OrvaControl::GetIDsOfNames(REFIID iid, LPOLESTR* names, UINT count, LCID, DISPID* ids) {
    if (!::IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (names == nullptr) return E_INVALIDARG;
    if (ids == nullptr) return E_POINTER;
    for (UINT n = 0; n < count; ++n)
        if (names[n] == nullptr) return E_INVALIDARG;
    if (const HRESULT hr = loadTypeInfo(); FAILED(hr)) return hr;
    return ::DispGetIDsOfNames(interfaceInfo_.get(), names, count, ids);
}

STDMETHODIMP OrvaControl::Invoke(DISPID id, REFIID iid, LCID, WORD flags, DISPPARAMS* params, VARIANT* result,
                                 EXCEPINFO* exception, UINT* argError) {
    if (!::IsEqualIID(iid, IID_NULL)) return DISP_E_UNKNOWNINTERFACE;
    if (const HRESULT hr = loadTypeInfo(); FAILED(hr)) return hr;
    // A refused call must not leave an earlier failure's description behind.
    ::SetErrorInfo(0, nullptr);
    DispatchCall checked;
    if (const HRESULT hr = checked.prepare(*interfaceInfo_.get(), id, flags, params, argError); FAILED(hr)) return hr;
    ComPtr<IUnknown> keep(identity());
    return interfaceInfo_->Invoke(static_cast<_ActivexORVA*>(this), id, flags, checked.params(), result, exception,
                                  argError);
}

// ---- _ActivexORVA ----

STDMETHODIMP OrvaControl::get_MinFixVes(short* value) {
    if (value == nullptr) return E_POINTER;
    *value = control_->MinFixVes();
    return S_OK;
}
STDMETHODIMP OrvaControl::put_MinFixVes(short v) {
    return call([&] {
        control_->setMinFixVes(v);
        return S_OK;
    });
}
STDMETHODIMP OrvaControl::get_DecPoint(short* value) {
    if (value == nullptr) return E_POINTER;
    *value = control_->DecPoint();
    return S_OK;
}
STDMETHODIMP OrvaControl::put_DecPoint(short v) {
    return call([&] {
        control_->setDecPoint(v);
        return S_OK;
    });
}

#define ORVA_STRING_PROPERTY(Name)                                                 \
    STDMETHODIMP OrvaControl::get_##Name(BSTR* value) {                            \
        return call([&] { return toBstr(control_->Name(), value); });              \
    }                                                                              \
    STDMETHODIMP OrvaControl::put_##Name(BSTR New_##Name) {                        \
        return call([&] {                                                          \
            control_->set##Name(fromBstr(New_##Name));                             \
            return S_OK;                                                           \
        });                                                                        \
    }
ORVA_STRING_PROPERTY(ComSetting)
ORVA_STRING_PROPERTY(ComNumber)
ORVA_STRING_PROPERTY(VesTerminal)
ORVA_STRING_PROPERTY(TipTerminal)
ORVA_STRING_PROPERTY(StatusTerminal)
ORVA_STRING_PROPERTY(UnitWeight)
#undef ORVA_STRING_PROPERTY

STDMETHODIMP OrvaControl::Com_ORVA_Signal() {
    return call([&] {
        control_->Com_ORVA_Signal();
        return S_OK;
    });
}
STDMETHODIMP OrvaControl::Stability() {
    return call([&] {
        control_->Stability();
        return S_OK;
    });
}
STDMETHODIMP OrvaControl::Init_VC() {
    return call([&] {
        control_->Init_VC();
        return S_OK;
    });
}
STDMETHODIMP OrvaControl::Default_Flag() {
    return call([&] {
        control_->Default_Flag();
        return S_OK;
    });
}
STDMETHODIMP OrvaControl::Status_Terminale() {
    return call([&] {
        control_->Status_Terminale();
        return S_OK;
    });
}

// ---- events and notifications from the control ----

void OrvaControl::fire(DISPID id, VARIANTARG* arguments, UINT count) {
    if (frozenEvents_ > 0) return;  // the container asked for no events now
    ComPtr<IUnknown> keep(identity());
    for (const auto& sink : events_.snapshot<IDispatch>()) {
        // Each sink gets its own copy of the by-value arguments; the
        // by-reference ones still point at the control's flags.
        std::array<VARIANTARG, 4> copy{};
        std::copy(arguments, arguments + count, copy.begin());
        DISPPARAMS params{copy.data(), nullptr, count, 0};
        sink->Invoke(id, IID_NULL, LOCALE_USER_DEFAULT, DISPATCH_METHOD, &params, nullptr, nullptr, nullptr);
    }
}

void OrvaControl::StabVes(double VesBrutoNVT) {
    VARIANTARG argument;
    ::VariantInit(&argument);
    V_VT(&argument) = VT_R8;
    V_R8(&argument) = VesBrutoNVT;
    fire(DISPID_ORVA_StabVes, &argument, 1);
}

void OrvaControl::ChangeVes(double VesChange) {
    VARIANTARG argument;
    ::VariantInit(&argument);
    V_VT(&argument) = VT_R8;
    V_R8(&argument) = VesChange;
    fire(DISPID_ORVA_ChangeVes, &argument, 1);
}

void OrvaControl::VesStatus(std::int16_t VesNul, std::int16_t& VesOk, std::int16_t& VesTara, std::int16_t& VesMax) {
    // Arguments go last to first; the three by-reference ones point at the
    // control's own flags, so a handler's store lands in them.
    std::array<VARIANTARG, 4> arguments{};
    for (auto& a : arguments) ::VariantInit(&a);
    V_VT(&arguments[3]) = VT_I2;
    V_I2(&arguments[3]) = VesNul;
    V_VT(&arguments[2]) = VT_BYREF | VT_I2;
    V_I2REF(&arguments[2]) = &VesOk;
    V_VT(&arguments[1]) = VT_BYREF | VT_I2;
    V_I2REF(&arguments[1]) = &VesTara;
    V_VT(&arguments[0]) = VT_BYREF | VT_I2;
    V_I2REF(&arguments[0]) = &VesMax;
    fire(DISPID_ORVA_VesStatus, arguments.data(), static_cast<UINT>(arguments.size()));
}

void OrvaControl::propertyChanged(std::string_view propertyName) {
    dirty_ = true;
    DISPID id = DISPID_UNKNOWN;
    for (const auto& p : kPropertyIds)
        if (p.name == propertyName) id = p.id;
    for (const auto& sink : propertyNotify_.snapshot<IPropertyNotifySink>()) {
        const HRESULT hr = sink->OnChanged(id);
        if (FAILED(hr))
            throw ComFailure(hr, "The host refused the change notification of " + std::string(propertyName));
    }
}

void OrvaControl::panelChanged() {
    if (window_) ::InvalidateRect(window_.get(), nullptr, FALSE);
    if (viewSink_ && (viewAspects_ & DVASPECT_CONTENT) != 0) viewSink_->OnViewChange(DVASPECT_CONTENT, -1);
}

void OrvaControl::paint(HDC dc, const RECT& client) {
    gdi::drawPanel(dc, client, gdi::placementForDevice(dc, 0, 0), control_->panel());
}

// ---- IProvideClassInfo2 ----

STDMETHODIMP OrvaControl::GetClassInfo(ITypeInfo** result) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (const HRESULT hr = loadTypeInfo(); FAILED(hr)) return hr;
    return typeLib_->GetTypeInfoOfGuid(CLSID_ActivexORVA, result);
}

STDMETHODIMP OrvaControl::GetGUID(DWORD kind, GUID* result) {
    if (result == nullptr) return E_POINTER;
    if (kind != GUIDKIND_DEFAULT_SOURCE_DISP_IID) {
        *result = GUID_NULL;
        return E_INVALIDARG;
    }
    *result = DIID___ActivexORVA;
    return S_OK;
}

// ---- IConnectionPointContainer ----

STDMETHODIMP OrvaControl::EnumConnectionPoints(IEnumConnectionPoints** result) {
    try {
        return makeConnectionPointEnumerator(
            {ComPtr<IConnectionPoint>(&events_), ComPtr<IConnectionPoint>(&propertyNotify_)}, result);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    }
}

STDMETHODIMP OrvaControl::FindConnectionPoint(REFIID iid, IConnectionPoint** result) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (::IsEqualIID(iid, DIID___ActivexORVA)) return hand(&events_, reinterpret_cast<void**>(result));
    if (::IsEqualIID(iid, IID_IPropertyNotifySink)) return hand(&propertyNotify_, reinterpret_cast<void**>(result));
    return CONNECT_E_NOCONNECTION;
}

// ---- persistence ----

STDMETHODIMP OrvaControl::GetClassID(CLSID* clsid) {
    if (clsid == nullptr) return E_POINTER;
    *clsid = CLSID_ActivexORVA;
    return S_OK;
}

// The defaults are in place from creation on.
STDMETHODIMP OrvaControl::InitNew() { return S_OK; }

STDMETHODIMP OrvaControl::Load(IPropertyBag* bag, IErrorLog* log) {
    if (bag == nullptr) return E_POINTER;
    return call([&] {
        ComPropertyBag adapter(*bag, log, true);
        control_->ReadProperties(adapter);
        dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP OrvaControl::Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) {
    if (bag == nullptr) return E_POINTER;
    return call([&] {
        ComPropertyBag adapter(*bag, nullptr, saveAll != FALSE);
        control_->WriteProperties(adapter);
        if (clearDirty) dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP OrvaControl::IsDirty() { return dirty_ ? S_OK : S_FALSE; }

STDMETHODIMP OrvaControl::Load(LPSTREAM stream) {
    if (stream == nullptr) return E_POINTER;
    return call([&] {
        StreamRecord record;
        record.load(*stream);
        control_->ReadProperties(record);
        dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP OrvaControl::Save(LPSTREAM stream, BOOL clearDirty) {
    if (stream == nullptr) return E_POINTER;
    return call([&] {
        StreamRecord record;
        control_->WriteProperties(record);
        const auto bytes = record.serialize();
        ULONG written = 0;
        const HRESULT hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
        if (FAILED(hr)) return hr;
        if (written != bytes.size()) return STG_E_MEDIUMFULL;
        if (clearDirty) dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP OrvaControl::GetSizeMax(ULARGE_INTEGER* size) {
    if (size == nullptr) return E_POINTER;
    return call([&] {
        StreamRecord record;
        control_->WriteProperties(record);
        size->QuadPart = record.serialize().size();
        return S_OK;
    });
}

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

STDMETHODIMP OrvaControl::SetHostNames(LPCOLESTR, LPCOLESTR) { return S_OK; }

STDMETHODIMP OrvaControl::Close(DWORD) {
    ComPtr<IUnknown> keep(identity());
    InPlaceDeactivate();
    if (oleAdvise_) oleAdvise_->SendOnClose();
    return S_OK;
}

STDMETHODIMP OrvaControl::SetMoniker(DWORD, IMoniker*) { return E_NOTIMPL; }
STDMETHODIMP OrvaControl::GetMoniker(DWORD, DWORD, IMoniker** moniker) {
    if (moniker != nullptr) *moniker = nullptr;
    return E_NOTIMPL;
}
STDMETHODIMP OrvaControl::InitFromData(IDataObject*, BOOL, DWORD) { return E_NOTIMPL; }
STDMETHODIMP OrvaControl::GetClipboardData(DWORD, IDataObject** data) {
    if (data != nullptr) *data = nullptr;
    return E_NOTIMPL;
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
                return S_OK;
            default:
                return verb < 0 ? E_NOTIMPL : OLEOBJ_S_INVALIDVERB;
        }
    });
}

STDMETHODIMP OrvaControl::EnumVerbs(IEnumOLEVERB** verbs) {
    if (verbs == nullptr) return E_POINTER;
    return ::OleRegEnumVerbs(CLSID_ActivexORVA, verbs);
}
STDMETHODIMP OrvaControl::Update() { return S_OK; }
STDMETHODIMP OrvaControl::IsUpToDate() { return S_OK; }
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

STDMETHODIMP OrvaControl::SetColorScheme(LOGPALETTE*) { return E_NOTIMPL; }

// ---- IOleWindow, IOleInPlaceObject, IOleInPlaceActiveObject ----

STDMETHODIMP OrvaControl::GetWindow(HWND* window) {
    if (window == nullptr) return E_POINTER;
    *window = window_.get();
    return window_ ? S_OK : E_FAIL;
}

STDMETHODIMP OrvaControl::ContextSensitiveHelp(BOOL) { return E_NOTIMPL; }

STDMETHODIMP OrvaControl::InPlaceDeactivate() {
    ComPtr<IUnknown> keep(identity());
    if (!inPlaceSite_) return S_OK;
    window_.reset();
    ComPtr<IOleInPlaceSite> site = std::move(inPlaceSite_);
    site->OnInPlaceDeactivate();
    return S_OK;
}

STDMETHODIMP OrvaControl::UIDeactivate() { return S_OK; }

STDMETHODIMP OrvaControl::SetObjectRects(LPCRECT position, LPCRECT) {
    if (position == nullptr) return E_POINTER;
    if (window_)
        ::MoveWindow(window_.get(), position->left, position->top, position->right - position->left,
                     position->bottom - position->top, TRUE);
    return S_OK;
}

STDMETHODIMP OrvaControl::ReactivateAndUndo() { return E_NOTIMPL; }
STDMETHODIMP OrvaControl::TranslateAccelerator(LPMSG) { return S_FALSE; }
STDMETHODIMP OrvaControl::OnFrameWindowActivate(BOOL) { return S_OK; }
STDMETHODIMP OrvaControl::OnDocWindowActivate(BOOL) { return S_OK; }
STDMETHODIMP OrvaControl::ResizeBorder(LPCRECT, IOleInPlaceUIWindow*, BOOL) { return S_OK; }
STDMETHODIMP OrvaControl::EnableModeless(BOOL) { return S_OK; }

// ---- IOleControl ----

STDMETHODIMP OrvaControl::GetControlInfo(CONTROLINFO* info) {
    if (info == nullptr) return E_POINTER;
    if (info->cb < sizeof(CONTROLINFO)) return E_INVALIDARG;
    info->hAccel = nullptr;
    info->cAccel = 0;
    info->dwFlags = 0;
    return S_OK;
}

STDMETHODIMP OrvaControl::OnMnemonic(LPMSG) { return E_NOTIMPL; }
STDMETHODIMP OrvaControl::OnAmbientPropertyChange(DISPID) { return S_OK; }

STDMETHODIMP OrvaControl::FreezeEvents(BOOL freeze) {
    if (freeze) ++frozenEvents_;
    else if (frozenEvents_ > 0) --frozenEvents_;
    return S_OK;
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
    return S_FALSE;
}
STDMETHODIMP OrvaControl::Freeze(DWORD, LONG, void*, DWORD*) { return E_NOTIMPL; }
STDMETHODIMP OrvaControl::Unfreeze(DWORD) { return E_NOTIMPL; }

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

// ---- ISupportErrorInfo ----

STDMETHODIMP OrvaControl::InterfaceSupportsErrorInfo(REFIID iid) {
    if (::IsEqualIID(iid, IID__ActivexORVA) || ::IsEqualIID(iid, IID_IDispatch) ||
        ::IsEqualIID(iid, IID_IPersistPropertyBag) || ::IsEqualIID(iid, IID_IPersistStreamInit))
        return S_OK;
    return S_FALSE;
}

}  // namespace orva::ocx
