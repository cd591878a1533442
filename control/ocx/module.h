#pragma once
// The module's shared state: its instance handle and the count of live
// objects and server locks that DllCanUnloadNow reports on.

#include <windows.h>

#include <string>

namespace orva::ocx {

HINSTANCE moduleInstance();
void objectCreated();
void objectDestroyed();
void lockServer(bool lock);
bool moduleInUse();

// Registry work of DllRegisterServer / DllUnregisterServer.
HRESULT registerServer();
HRESULT unregisterServer();

// The module's file name, for the registry and for loading its type library.
std::wstring modulePath();

}  // namespace orva::ocx
