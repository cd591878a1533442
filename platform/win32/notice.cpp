#include "platform/win32/notice.h"

#include <string>

#include "platform/failure.h"

namespace orva::win32 {

void Win32Notice::messageBox(std::string_view utf8Text) {
    const std::wstring text = widen(utf8Text);
    const HWND owner = owner_ ? owner_() : nullptr;
    ::MessageBoxW(owner, text.c_str(), L"ActiveX_ORVA", MB_OK);
}

void Win32Notice::beep() { ::MessageBeep(MB_OK); }

void Win32Notice::tickFailed(const Failure& failure) {
    const std::wstring text =
        L"ActiveX_ORVA: " + std::to_wstring(failure.number()) + L"  " + widen(failure.description()) + L"\n";
    ::OutputDebugStringW(text.c_str());
}

std::string Win32Locale::decimalSeparator() const {
    wchar_t buffer[8] = {};
    const int length = ::GetLocaleInfoW(LOCALE_USER_DEFAULT, LOCALE_SDECIMAL, buffer, 8);
    if (length <= 1) return ".";
    return narrow(std::wstring_view(buffer, static_cast<std::size_t>(length - 1)));
}

}  // namespace orva::win32
