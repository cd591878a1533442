#pragma once
// The registry work behind DllRegisterServer and DllUnregisterServer.

#include <windows.h>

namespace orva::ocx {

HRESULT registerServer();
HRESULT unregisterServer();

}  // namespace orva::ocx
