// What registration records for the class: the rows of the registration
// table (the CLSID key with its server, threading model, type library,
// version, control marker, toolbox picture and misc status; the ProgID), then
// the type library itself through the type library API, which writes the
// table's type library rows. Unregistration removes every key it wrote.

#include <windows.h>
#include <oleauto.h>

#include <string>
#include <string_view>

#include "control/ocx/registration.h"

#include "control/ocx/guids.h"
#include "control/ocx/module_state.h"
#include "control/ocx/registration_table.h"
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

LONG deleteTree(const std::wstring& path) {
    const LONG status = ::RegDeleteTreeW(HKEY_CLASSES_ROOT, path.c_str());
    if (status == ERROR_SUCCESS || status == ERROR_FILE_NOT_FOUND) {
        ::RegDeleteKeyW(HKEY_CLASSES_ROOT, path.c_str());
        return ERROR_SUCCESS;
    }
    return status;
}

// The table's texts and the identities the rest of the module uses must agree.
constexpr bool sameText(std::string_view narrow, const wchar_t* wide) {
    std::size_t i = 0;
    for (; wide[i] != L'\0'; ++i)
        if (i >= narrow.size() || static_cast<wchar_t>(narrow[i]) != wide[i]) return false;
    return i == narrow.size();
}
constexpr DWORD decimal(std::string_view text) {
    DWORD value = 0;
    for (const char c : text) value = value * 10 + static_cast<DWORD>(c - '0');
    return value;
}
static_assert(sameText(registry::kProgId, kProgId));
static_assert(sameText(registry::kClassName, kClassName));
static_assert(decimal(registry::kMiscStatus) == kMiscStatus);

std::wstring widen(std::string_view text) { return {text.begin(), text.end()}; }

void replaceAll(std::wstring& text, std::wstring_view what, const std::wstring& with) {
    for (std::size_t at = text.find(what); at != std::wstring::npos; at = text.find(what, at + with.size()))
        text.replace(at, what.size(), with);
}

// A table text with the module's own identities and path put in.
std::wstring expand(std::string_view text, const std::wstring& module) {
    std::wstring result = widen(text);
    replaceAll(result, L"%CLSID%", guidText(CLSID_ActivexORVA));
    replaceAll(result, L"%LIBID%", guidText(LIBID_ActiveX_ORVA));
    replaceAll(result, L"%MODULE%", module);
    return result;
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
    for (const registry::Row& row : registry::kRows) {
        if (row.writer != registry::Writer::Server) continue;
        RegKey key(HKEY_CLASSES_ROOT, expand(row.key, path));
        LONG status = key.status();
        if (status == ERROR_SUCCESS) {
            const std::wstring name = widen(row.name);
            status = key.set(name.empty() ? nullptr : name.c_str(), expand(row.value, path));
        }
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
