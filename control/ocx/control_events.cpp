// What the control tells its host: the three events through the
// __ActivexORVA connection point, the property-change notifications through
// IPropertyNotifySink, the container's freezing of events, and the
// connection points themselves.

#include "control/ocx/orva_control.h"
#include "control/ocx/dispids.h"

#include <algorithm>
#include <array>
#include <new>
#include <string>
#include <string_view>

#include "control/ocx/com_errors.h"
#include "control/ocx/com_out.h"

namespace orva::ocx {
namespace {

using win32::ComPtr;

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

}  // namespace

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

STDMETHODIMP OrvaControl::FreezeEvents(BOOL freeze) {
    if (freeze) ++frozenEvents_;
    else if (frozenEvents_ > 0) --frozenEvents_;
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
    if (::IsEqualIID(iid, DIID___ActivexORVA)) return handOut(&events_, reinterpret_cast<void**>(result));
    if (::IsEqualIID(iid, IID_IPropertyNotifySink)) return handOut(&propertyNotify_, reinterpret_cast<void**>(result));
    return CONNECT_E_NOCONNECTION;
}


}  // namespace orva::ocx
