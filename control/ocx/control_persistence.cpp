// The control's saved state as hosts keep it: IPersistPropertyBag (the
// eight named values) and IPersistStreamInit (the same record in a stream),
// and the dirty flag that tells a host whether there is anything to save.

#include "control/ocx/orva_control.h"

#include "control/ocx/persistence.h"

namespace orva::ocx {


STDMETHODIMP OrvaControl::GetClassID(CLSID* clsid) {
    if (clsid == nullptr) return E_POINTER;
    *clsid = CLSID_ActivexORVA;
    return S_OK;
}

// The defaults are in place from creation on.
STDMETHODIMP OrvaControl::InitNew() { return S_OK; }

STDMETHODIMP OrvaControl::Load(IPropertyBag* bag, IErrorLog* log) {
    if (bag == nullptr) return E_POINTER;
    return call([&] {
        ComPropertyBag adapter(*bag, log, true);
        control_->ReadProperties(adapter);
        dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP OrvaControl::Save(IPropertyBag* bag, BOOL clearDirty, BOOL saveAll) {
    if (bag == nullptr) return E_POINTER;
    return call([&] {
        ComPropertyBag adapter(*bag, nullptr, saveAll != FALSE);
        control_->WriteProperties(adapter);
        if (clearDirty) dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP OrvaControl::IsDirty() { return dirty_ ? S_OK : S_FALSE; }

STDMETHODIMP OrvaControl::Load(LPSTREAM stream) {
    if (stream == nullptr) return E_POINTER;
    return call([&] {
        StreamRecord record;
        record.load(*stream);
        control_->ReadProperties(record);
        dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP OrvaControl::Save(LPSTREAM stream, BOOL clearDirty) {
    if (stream == nullptr) return E_POINTER;
    return call([&] {
        StreamRecord record;
        control_->WriteProperties(record);
        const auto bytes = record.serialize();
        ULONG written = 0;
        const HRESULT hr = stream->Write(bytes.data(), static_cast<ULONG>(bytes.size()), &written);
        if (FAILED(hr)) return hr;
        if (written != bytes.size()) return STG_E_MEDIUMFULL;
        if (clearDirty) dirty_ = false;
        return S_OK;
    });
}

STDMETHODIMP OrvaControl::GetSizeMax(ULARGE_INTEGER* size) {
    if (size == nullptr) return E_POINTER;
    return call([&] {
        StreamRecord record;
        control_->WriteProperties(record);
        size->QuadPart = record.serialize().size();
        return S_OK;
    });
}

}  // namespace orva::ocx
