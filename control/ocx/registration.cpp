// What registration records for the class: the CLSID key with its server,
// threading model, type library, version, control marker, toolbox picture
// and misc status; the ProgID; and the type library itself. Unregistration
// removes every key it wrote.

#include <windows.h>
#include <oleauto.h>

#include <string>

#include "control/ocx/guids.h"
#include "control/ocx/module.h"
#include "platform/win32/handles.h"

namespace orva::ocx {
namespace {

using win32::Bstr;

std::wstring guidText(REFGUID guid) {
    wchar_t buffer[40] = {};
    ::StringFromGUID2(guid, buffer, 40);
    return buffer;
}

class RegKey {
public:
    RegKey(HKEY parent, const std::wstring& path) {
        status_ = ::RegCreateKeyExW(parent, path.c_str(), 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE, nullptr,
                                    &key_, nullptr);
    }
    ~RegKey() {
        if (status_ == ERROR_SUCCESS) ::RegCloseKey(key_);
    }
    RegKey(const RegKey&) = delete;
    RegKey& operator=(const RegKey&) = delete;

    LONG status() const { return status_; }
    LONG set(const wchar_t* name, const std::wstring& value) {
        if (status_ != ERROR_SUCCESS) return status_;
        return ::RegSetValueExW(key_, name, 0, REG_SZ, reinterpret_cast<const BYTE*>(value.c_str()),
                                static_cast<DWORD>((value.size() + 1) * sizeof(wchar_t)));
    }

private:
    HKEY key_ = nullptr;
    LONG status_;
};

// Writes a key with a default value (and optionally one named value).
LONG writeKey(const std::wstring& path, const std::wstring& value, const wchar_t* name = nullptr,
              const std::wstring& namedValue = {}) {
    RegKey key(HKEY_CLASSES_ROOT, path);
    if (key.status() != ERROR_SUCCESS) return key.status();
    if (const LONG status = key.set(nullptr, value); status != ERROR_SUCCESS) return status;
    return name != nullptr ? key.set(name, namedValue) : ERROR_SUCCESS;
}

LONG deleteTree(const std::wstring& path) {
    const LONG status = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        ::RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
        return ERROR_SUCCESS;
    }
    return status;
}

HRESULT fromStatus(LONG status) { return status == ERROR_SUCCESS ? S_OK : HRESULT_FROM_WIN32(status); }

// Whether the class is registered in the other registry view (the other
// architecture's build of the control on a 64-bit system). ProgID keys are
// shared between the views, so they stay while either build is registered.
bool registeredInOtherView() {
    const REGSAM otherView = sizeof(void*) == 8 ? KEY_WOW64_32KEY : KEY_WOW64_64KEY;
    HKEY key = nullptr;
    const std::wstring path = L"CLSID\\" + guidText(CLSID_ActivexORVA);
    if (::RegOpenKeyExW(HKEY_CLASSES_ROOT, path.c_str(), 0, KEY_READ | otherView, &key) != ERROR_SUCCESS)
        return false;
    ::RegCloseKey(key);
    return true;
}

}  // namespace

HRESULT registerServer() {
    const std::wstring path = modulePath();
    if (path.empty()) return HRESULT_FROM_WIN32(::GetLastError());
    const std::wstring clsidKey = L"CLSID\\" + guidText(CLSID_ActivexORVA);
    const std::wstring misc = std::to_wstring(kMiscStatus);

    const LONG steps[] = {
        writeKey(clsidKey, kClassName),
        writeKey(clsidKey + L"\\InprocServer32", path, L"ThreadingModel", L"Apartment"),
        writeKey(clsidKey + L"\\ProgID", kProgId),
        writeKey(clsidKey + L"\\TypeLib", guidText(LIBID_ActiveX_ORVA)),
        writeKey(clsidKey + L"\\Version", kLibraryVersion),
        writeKey(clsidKey + L"\\Control", L""),
        writeKey(clsidKey + L"\\ToolboxBitmap32", path + L", " + std::to_wstring(kToolboxBitmap)),
        writeKey(clsidKey + L"\\MiscStatus", misc),
        writeKey(clsidKey + L"\\MiscStatus\\1", misc),
        writeKey(kProgId, kClassName),
        writeKey(std::wstring(kProgId) + L"\\CLSID", guidText(CLSID_ActivexORVA)),
    };
    for (const LONG status : steps) {
        if (status != ERROR_SUCCESS) {
            unregisterServer();
            return fromStatus(status);
        }
    }

    win32::ComPtr<ITypeLib> library;
    std::wstring mutablePath = path;
    HRESULT hr = ::LoadTypeLibEx(path.c_str(), REGKIND_NONE, library.out());
    if (SUCCEEDED(hr)) hr = ::RegisterTypeLib(library.get(), mutablePath.data(), nullptr);
    if (FAILED(hr)) unregisterServer();
    return hr;
}

HRESULT unregisterServer() {
    const SYSKIND kind = sizeof(void*) == 8 ? SYS_WIN64 : SYS_WIN32;
    // Absent already is fine: unregistering twice must not fail.
    HRESULT typeLib = S_OK;
    Bstr registeredPath;
    if (SUCCEEDED(::QueryPathOfRegTypeLib(LIBID_ActiveX_ORVA, kLibraryMajor, kLibraryMinor, kLibraryLcid,
                                          registeredPath.out())))
        typeLib = ::UnRegisterTypeLib(LIBID_ActiveX_ORVA, kLibraryMajor, kLibraryMinor, kLibraryLcid, kind);
    const LONG classKey = deleteTree(L"CLSID\\" + guidText(CLSID_ActivexORVA));
    const LONG progId = registeredInOtherView() ? ERROR_SUCCESS : deleteTree(kProgId);
    if (classKey != ERROR_SUCCESS) return fromStatus(classKey);
    if (progId != ERROR_SUCCESS) return fromStatus(progId);
    if (FAILED(typeLib) && typeLib != TYPE_E_REGISTRYACCESS && typeLib != TYPE_E_LIBNOTREGISTERED) return typeLib;
    return S_OK;
}

}  // namespace orva::ocx
