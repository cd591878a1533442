// The control's automation face: IDispatch over its type information, the
// eight properties and five methods of _ActivexORVA, the class information
// hosts ask for to find its events, and which interfaces give error
// information.

#include "control/ocx/orva_control.h"

#include <string>

#include "control/ocx/com_out.h"
#include "control/ocx/dispatch_call.h"
#include "control/ocx/type_info.h"

namespace orva::ocx {
namespace {

using win32::Bstr;
using win32::ComPtr;

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

}  // namespace

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
    return handOut(dispatchInfo_.get(), reinterpret_cast<void**>(result));
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

// ---- ISupportErrorInfo ----

STDMETHODIMP OrvaControl::InterfaceSupportsErrorInfo(REFIID iid) {
    if (::IsEqualIID(iid, IID__ActivexORVA) || ::IsEqualIID(iid, IID_IDispatch) ||
        ::IsEqualIID(iid, IID_IPersistPropertyBag) || ::IsEqualIID(iid, IID_IPersistStreamInit))
        return S_OK;
    return S_FALSE;
}

}  // namespace orva::ocx
