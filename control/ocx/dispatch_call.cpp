#include "control/ocx/dispatch_call.h"

#include <oleauto.h>

#include <new>

namespace orva::ocx {
namespace {

// A member's description, released when its scope ends.
class FuncDesc {
public:
    FuncDesc(ITypeInfo& info, UINT index) : info_(info) {
        if (FAILED(info.GetFuncDesc(index, &desc_))) desc_ = nullptr;
    }
    ~FuncDesc() {
        if (desc_ != nullptr) info_.ReleaseFuncDesc(desc_);
    }
    FuncDesc(const FuncDesc&) = delete;
    FuncDesc& operator=(const FuncDesc&) = delete;
    const FUNCDESC* operator->() const { return desc_; }
    explicit operator bool() const { return desc_ != nullptr; }

private:
    ITypeInfo& info_;
    FUNCDESC* desc_ = nullptr;
};

class TypeAttr {
public:
    explicit TypeAttr(ITypeInfo& info) : info_(info) {
        if (FAILED(info.GetTypeAttr(&attr_))) attr_ = nullptr;
    }
    ~TypeAttr() {
        if (attr_ != nullptr) info_.ReleaseTypeAttr(attr_);
    }
    TypeAttr(const TypeAttr&) = delete;
    TypeAttr& operator=(const TypeAttr&) = delete;
    const TYPEATTR* operator->() const { return attr_; }
    explicit operator bool() const { return attr_ != nullptr; }

private:
    ITypeInfo& info_;
    TYPEATTR* attr_ = nullptr;
};

constexpr WORD kPut = DISPATCH_PROPERTYPUT | DISPATCH_PROPERTYPUTREF;

void setArgError(UINT* argError, UINT index) {
    if (argError != nullptr) *argError = index;
}

}  // namespace

DispatchCall::~DispatchCall() {
    for (auto& a : arguments_) ::VariantClear(&a);
}

HRESULT DispatchCall::prepare(ITypeInfo& info, DISPID id, WORD flags, const DISPPARAMS* params,
                              UINT* argError) noexcept {
    if (params == nullptr) return E_INVALIDARG;
    if ((params->cArgs > 0 && params->rgvarg == nullptr) || params->cNamedArgs > params->cArgs ||
        (params->cNamedArgs > 0 && params->rgdispidNamedArgs == nullptr))
        return E_INVALIDARG;
    try {
        return check(info, id, flags, *params, argError);
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_UNEXPECTED;
    }
}

HRESULT DispatchCall::check(ITypeInfo& info, DISPID id, WORD flags, const DISPPARAMS& call, UINT* argError) {
    const DISPPARAMS* params = &call;

    TypeAttr attr(info);
    if (!attr) return E_UNEXPECTED;
    for (UINT index = 0; index < attr->cFuncs; ++index) {
        FuncDesc func(info, index);
        if (!func) return E_UNEXPECTED;
        if (func->memid != id || (static_cast<WORD>(func->invkind) & flags) == 0) continue;

        // A property write's value is the named argument DISPID_PROPERTYPUT
        // and the last parameter; no member takes any other named argument.
        const bool put = (flags & kPut) != 0 && (static_cast<WORD>(func->invkind) & kPut) != 0;
        for (UINT n = 0; n < params->cNamedArgs; ++n) {
            if (put && n == 0 && params->rgdispidNamedArgs[n] == DISPID_PROPERTYPUT) continue;
            setArgError(argError, n);
            return DISP_E_PARAMNOTFOUND;
        }
        if (put && params->cNamedArgs == 0) return DISP_E_PARAMNOTOPTIONAL;

        // The parameters a caller passes: not the return value, not a locale.
        std::vector<VARTYPE> types;
        UINT optional = 0;
        for (SHORT p = 0; p < func->cParams; ++p) {
            const ELEMDESC& element = func->lprgelemdescParam[p];
            const USHORT paramFlags = element.paramdesc.wParamFlags;
            if ((paramFlags & (PARAMFLAG_FRETVAL | PARAMFLAG_FLCID)) != 0) continue;
            if ((paramFlags & (PARAMFLAG_FOPT | PARAMFLAG_FHASDEFAULT)) != 0) ++optional;
            types.push_back(element.tdesc.vt);
        }
        if (params->cArgs > types.size() || params->cArgs + optional < types.size()) return DISP_E_BADPARAMCOUNT;

        // Each argument converted to its parameter's type. Arguments come
        // last to first; a property write's named value is the last parameter.
        arguments_.resize(params->cArgs);
        for (auto& a : arguments_) ::VariantInit(&a);
        for (UINT n = 0; n < params->cArgs; ++n) {
            const UINT parameter = n < params->cNamedArgs ? static_cast<UINT>(types.size()) - 1 : params->cArgs - 1 - n;
            const VARTYPE wanted = types[parameter];
            VARIANTARG& source = params->rgvarg[n];
            HRESULT hr = S_OK;
            if ((V_VT(&source) & VT_BYREF) != 0 && V_BYREF(&source) == nullptr) hr = DISP_E_TYPEMISMATCH;
            else if (wanted == VT_VARIANT || wanted == VT_PTR || wanted == VT_USERDEFINED || V_VT(&source) == wanted)
                hr = ::VariantCopy(&arguments_[n], &source);
            else
                hr = ::VariantChangeType(&arguments_[n], &source, 0, wanted);
            if (FAILED(hr)) {
                setArgError(argError, n);
                return hr == DISP_E_OVERFLOW ? hr : DISP_E_TYPEMISMATCH;
            }
        }
        named_.assign(params->rgdispidNamedArgs, params->rgdispidNamedArgs + params->cNamedArgs);
        params_ = DISPPARAMS{arguments_.empty() ? nullptr : arguments_.data(), named_.empty() ? nullptr : named_.data(),
                             params->cArgs, params->cNamedArgs};
        return S_OK;
    }
    return DISP_E_MEMBERNOTFOUND;
}

}  // namespace orva::ocx
