#pragma once
// Text from outside (a client, a file, a device name) made fit for one line
// of a log or of standard error: control characters, the backslash and bytes
// that are not UTF-8 text are written as \xNN, so nobody can add a line of
// their own or hide what they sent. UTF-8 text (the control's own Russian
// messages) stays as it is.

#include <string>
#include <string_view>

namespace orva::host {

std::string escapeForLog(std::string_view text);

}  // namespace orva::host
