// The in-process server's entry points, and nothing else: the module's entry
// point and the four exports the platform calls by name. Each hands its work
// to the unit that owns it; no other file of the module includes this one.

#include <windows.h>

#include "control/ocx/class_factory.h"
#include "control/ocx/control_window.h"
#include "control/ocx/guids.h"
#include "control/ocx/module_state.h"
#include "control/ocx/registration.h"
#include "control/ocx/type_info.h"
#include "platform/win32/timers.h"

extern "C" {

// Thread notifications stay on: the statically linked C++ runtime cleans up
// its per-thread data (exception state) through them.
BOOL WINAPI DllMain(HINSTANCE, DWORD reason, LPVOID reserved) {
    if (reason == DLL_PROCESS_DETACH && reserved == nullptr) {
        // Unloaded by FreeLibrary: a later load may sit at another address,
        // so the window classes must not keep pointing into this one.
        orva::win32::Win32TimerFactory::unregisterWindowClass();
        orva::ocx::unregisterControlWindowClass();
    }
    return TRUE;
}

STDAPI DllGetClassObject(REFCLSID clsid, REFIID iid, void** result) {
    if (result == nullptr) return E_POINTER;
    *result = nullptr;
    if (!::IsEqualCLSID(clsid, CLSID_ActivexORVA)) return CLASS_E_CLASSNOTAVAILABLE;
    return orva::ocx::getClassFactory(iid, result);
}

STDAPI DllCanUnloadNow() {
    if (orva::ocx::moduleInUse()) return S_FALSE;
    // The host may unload the module now: the shared type information goes first.
    orva::ocx::releaseModuleTypeInfo();
    return S_OK;
}

STDAPI DllRegisterServer() { return orva::ocx::registerServer(); }

STDAPI DllUnregisterServer() { return orva::ocx::unregisterServer(); }

}  // extern "C"
