#pragma once
// The module's shared state: its instance handle, its file name and the
// count of live objects and server locks that DllCanUnloadNow reports on.
// Everything in the module may use it; it uses nothing of the module.

#include <windows.h>

#include <string>

namespace orva::ocx {

HINSTANCE moduleInstance();
void objectCreated();
void objectDestroyed();
void lockServer(bool lock);
bool moduleInUse();

// The module's file name, for the registry and for loading its type library.
std::wstring modulePath();

}  // namespace orva::ocx
