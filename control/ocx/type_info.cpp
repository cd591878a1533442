#include "control/ocx/type_info.h"

#include <mutex>

#include "control/ocx/guids.h"
#include "control/ocx/module_state.h"

namespace orva::ocx {
namespace {

std::mutex lock;
ModuleTypeInfo shared;  // guarded by lock

HRESULT load(ModuleTypeInfo& info) {
    HRESULT hr = ::LoadTypeLibEx(modulePath().c_str(), REGKIND_NONE, info.library.out());
    if (FAILED(hr)) return hr;
    hr = info.library->GetTypeInfoOfGuid(IID__ActivexORVA, info.dispatch.out());
    if (FAILED(hr)) return hr;
    // A dual interface's dispatch type refers to its v-table type as -1.
    HREFTYPE vtable = 0;
    hr = info.dispatch->GetRefTypeOfImplType(static_cast<UINT>(-1), &vtable);
    if (SUCCEEDED(hr)) hr = info.dispatch->GetRefTypeInfo(vtable, info.iface.out());
    return hr;
}

}  // namespace

HRESULT moduleTypeInfo(ModuleTypeInfo& out) {
    const std::lock_guard<std::mutex> guard(lock);
    if (!shared.iface) {
        ModuleTypeInfo loaded;
        if (const HRESULT hr = load(loaded); FAILED(hr)) return hr;
        shared = std::move(loaded);
    }
    out = shared;
    return S_OK;
}

void releaseModuleTypeInfo() {
    const std::lock_guard<std::mutex> guard(lock);
    shared = ModuleTypeInfo{};
}

}  // namespace orva::ocx
