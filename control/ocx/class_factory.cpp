#include "control/ocx/class_factory.h"

#include <unknwn.h>

#include "control/ocx/module_state.h"
#include "control/ocx/orva_control.h"

namespace orva::ocx {
namespace {

// One class object for the module's lifetime. Its references do not keep
// the module loaded; LockServer does, as COM expects.
class ClassFactory final : public IClassFactory {
public:
    STDMETHODIMP QueryInterface(REFIID iid, void** result) override {
        if (result == nullptr) return E_POINTER;
        if (::IsEqualIID(iid, IID_IUnknown) || ::IsEqualIID(iid, IID_IClassFactory)) {
            *result = static_cast<IClassFactory*>(this);
            return S_OK;
        }
        *result = nullptr;
        return E_NOINTERFACE;
    }
    STDMETHODIMP_(ULONG) AddRef() override { return 2; }
    STDMETHODIMP_(ULONG) Release() override { return 1; }

    STDMETHODIMP CreateInstance(IUnknown* outer, REFIID iid, void** result) override {
        if (result == nullptr) return E_POINTER;
        *result = nullptr;
        if (outer != nullptr) return CLASS_E_NOAGGREGATION;
        return OrvaControl::create(iid, result);
    }
    STDMETHODIMP LockServer(BOOL lock) override {
        lockServer(lock != FALSE);
        return S_OK;
    }
};

ClassFactory theFactory;

}  // namespace

HRESULT getClassFactory(REFIID iid, void** result) { return theFactory.QueryInterface(iid, result); }

}  // namespace orva::ocx
