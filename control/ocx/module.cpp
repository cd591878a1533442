// The in-process server frame: the four exports, object and lock counting.

#include "control/ocx/module.h"

#include <atomic>

#include "control/ocx/class_factory.h"
#include "control/ocx/control_window.h"
#include "control/ocx/guids.h"
#include "control/ocx/type_info.h"
#include "platform/win32/timers.h"

extern "C" IMAGE_DOS_HEADER __ImageBase;

namespace orva::ocx {
namespace {

std::atomic<long> liveObjects{0};
std::atomic<long> serverLocks{0};

}  // namespace

HINSTANCE moduleInstance() { return reinterpret_cast<HINSTANCE>(&__ImageBase); }
void objectCreated() { ++liveObjects; }
void objectDestroyed() { --liveObjects; }
void lockServer(bool lock) { lock ? ++serverLocks : --serverLocks; }
bool moduleInUse() { return liveObjects > 0 || serverLocks > 0; }

std::wstring modulePath() {
    std::wstring path(MAX_PATH, L'\0');
    for (;;) {
        const DWORD length = ::GetModuleFileNameW(moduleInstance(), path.data(), static_cast<DWORD>(path.size()));
        if (length == 0) return {};
        if (length < path.size()) {
            path.resize(length);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

}  // namespace orva::ocx

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
