#pragma once
// The text of a keyed file ("Name = value" lines): the properties file and
// the service's configuration read and write values the same way. A value
// is bare or in double quotes with the escapes \" \\ \n \r \t \xHH; a
// quoted value is taken as it stands between its quotes, blanks included.

#include <string>
#include <string_view>

namespace orva::host {

// Without the blanks (space, tab, carriage return) at either end.
std::string_view trimBlanks(std::string_view text);

// `text` starts with '"': the value between the quotes, escapes resolved.
// Only blanks may follow the closing quote. Throws std::invalid_argument,
// saying what is wrong, for an unknown escape, a \x without two hexadecimal
// digits, a missing closing quote or text after it.
std::string unquoteText(std::string_view text);

// In double quotes, with the escapes above for a quote, a backslash and the
// control characters (\xHH for those without a letter of their own).
std::string quoteText(std::string_view text);

// Bare when reading it back bare gives the same text (not empty, no blanks
// at its ends, no quote, backslash, comment mark or control character);
// otherwise quoteText.
std::string quoteWhenNeeded(std::string_view text);

}  // namespace orva::host
