#pragma once
// Handing an interface pointer out to a COM caller: the caller's reference
// is taken before the pointer leaves.

#include <windows.h>

namespace orva::ocx {

template <class Interface>
HRESULT handOut(Interface* object, void** result) {
    *result = object;
    object->AddRef();
    return S_OK;
}

}  // namespace orva::ocx
