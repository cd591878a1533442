#include "control/ocx/com_errors.h"

#include <windows.h>
#include <oleauto.h>

#include "control/ocx/guids.h"
#include "platform/win32/handles.h"

namespace orva::ocx {

HRESULT failureStatus(const Failure& failure) {
    const std::int32_t number = failure.number();
    if (number > 0 && number <= 0xFFFF) return MAKE_HRESULT(SEVERITY_ERROR, FACILITY_CONTROL, number);
    return E_FAIL;
}

HRESULT reportError(HRESULT hr, const std::string& utf8Description) {
    try {
        win32::ComPtr<ICreateErrorInfo> create;
        if (FAILED(::CreateErrorInfo(create.out()))) return hr;
        std::wstring description = win32::widen(utf8Description);
        std::wstring source = kProgId;
        create->SetGUID(IID__ActivexORVA);
        create->SetSource(source.data());
        create->SetDescription(description.data());
        const auto info = create.as<IErrorInfo>(IID_IErrorInfo);
        ::SetErrorInfo(0, info.get());
    } catch (...) {
        // Out of memory while describing a failure: the status alone must do.
    }
    return hr;
}

}  // namespace orva::ocx
