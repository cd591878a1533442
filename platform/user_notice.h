#pragma once
// What the control tells the user directly: a modal message box with text
// only (it returns when the user has closed it) and the system beep. It also
// carries failures that happen inside a timer tick, where no caller is there
// to receive them; the platform decides how a host or user learns of them.

#include <string_view>

namespace orva {

class Failure;

class UserNotice {
public:
    virtual ~UserNotice() = default;
    virtual void messageBox(std::string_view utf8Text) = 0;
    virtual void beep() = 0;
    virtual void tickFailed(const Failure& failure) = 0;
};

}  // namespace orva
