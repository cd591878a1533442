#pragma once
// What the user sees and hears on Windows: a modal MessageBoxW with the
// control's texts in UTF-16, the default system beep. A failure inside a tick
// goes to the debugger output, since no caller is there to receive it.

#include <functional>

#include "platform/locale.h"
#include "platform/user_notice.h"
#include "platform/win32/handles.h"

namespace orva::win32 {

class Win32Notice : public UserNotice {
public:
    // owner gives the window the message box belongs to, or nullptr.
    explicit Win32Notice(std::function<HWND()> owner = {}) : owner_(std::move(owner)) {}
    void messageBox(std::string_view utf8Text) override;
    void beep() override;
    void tickFailed(const Failure& failure) override;

private:
    std::function<HWND()> owner_;
};

class Win32Locale : public Locale {
public:
    std::string decimalSeparator() const override;
};

}  // namespace orva::win32
