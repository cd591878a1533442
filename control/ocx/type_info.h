#pragma once
// The module's type information, loaded from its own type library once and
// shared by every control instance: the library, the dual interface as hosts
// see it (dispatch) and its v-table half, through which calls are made.

#include <windows.h>
#include <oaidl.h>

#include "platform/win32/handles.h"

namespace orva::ocx {

struct ModuleTypeInfo {
    win32::ComPtr<ITypeLib> library;
    win32::ComPtr<ITypeInfo> dispatch;
    win32::ComPtr<ITypeInfo> iface;
};

// Fills `out` with references of its own; loads the library at the first call.
HRESULT moduleTypeInfo(ModuleTypeInfo& out);

// Lets go of the shared references: when the module may be unloaded.
void releaseModuleTypeInfo();

}  // namespace orva::ocx
