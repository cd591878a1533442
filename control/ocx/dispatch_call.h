#pragma once
// A late-bound call checked against the member it names before the type
// information carries it out. The system's own dispatcher is lenient with
// calls that do not fit (surplus arguments, a property write without its
// value argument, no pointer arrays behind the counts) and does not always
// say which argument could not be converted; a host relies on the standard
// status and on the argument index, so the control decides them itself.

#include <oaidl.h>

#include <vector>

namespace orva::ocx {

class DispatchCall {
public:
    DispatchCall() = default;
    ~DispatchCall();
    DispatchCall(const DispatchCall&) = delete;
    DispatchCall& operator=(const DispatchCall&) = delete;

    // Finds the member id called as flags in info (a v-table interface
    // description), checks the arguments and converts them to the parameter
    // types. On failure returns the status and, for an argument at fault,
    // stores its index in *argError (when given).
    HRESULT prepare(ITypeInfo& info, DISPID id, WORD flags, const DISPPARAMS* params, UINT* argError) noexcept;

    // The converted arguments, in the caller's order, for the dispatcher.
    DISPPARAMS* params() { return &params_; }

private:
    HRESULT check(ITypeInfo& info, DISPID id, WORD flags, const DISPPARAMS& params, UINT* argError);

    std::vector<VARIANTARG> arguments_;
    std::vector<DISPID> named_;
    DISPPARAMS params_{};
};

}  // namespace orva::ocx
