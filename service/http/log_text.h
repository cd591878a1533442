#pragma once
// What a client sent, made fit for one line of the log: control characters,
// the backslash and bytes that are not UTF-8 text are written as \xNN, so no
// client can add a line of its own or hide what it sent.

#include <string>
#include <string_view>

namespace orva::service {

std::string escapeForLog(std::string_view text);

}  // namespace orva::service
