#pragma once
// The class object that DllGetClassObject hands out for ActivexORVA.

#include <windows.h>

namespace orva::ocx {

HRESULT getClassFactory(REFIID iid, void** result);

}  // namespace orva::ocx
