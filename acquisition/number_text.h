#pragma once
// Conversions between weights and text.

#include <optional>
#include <string>
#include <string_view>

namespace orva {

// The terminal's weight field, read leniently: blanks, tabs and line feeds
// are dropped wherever they stand; then an optional sign, digits with at most
// one ".", an optional exponent (E or D, optional sign, digits), or a number
// after the prefix &H (hexadecimal) or &O (octal). Reading stops at the first
// character that cannot continue the number; no number at all gives 0. Never
// fails; a magnitude beyond the double range gives an infinity.
double parseLenientNumber(std::string_view field);

// The same read, telling also whether a number was found at all and whether
// the reader was still inside the number (or still looking for it) when the
// text ended: then more text could have continued it ("12.5", "12 ", "1E",
// "-", ""), whereas "12.5kg" or "12.5\x03" ends before its last character.
struct LenientReading {
    double value = 0;        // parseLenientNumber's result
    bool found = false;      // a number was read
    bool runsToEnd = false;  // the end of the text ended the reading
};
LenientReading readLenientNumber(std::string_view field);

// A text that must be a number as a whole, blanks around it allowed, in the
// same notation. Empty when it is not one.
std::optional<double> parseWholeNumber(std::string_view text);

// Up to 15 significant digits, no trailing zeros, no grouping; the given
// decimal separator; "-" before negative values only. Very large or small
// magnitudes are written with an exponent ("1E+20"). -0 is written as 0.
std::string displayText(double weight, std::string_view decimalSeparator);

// The same digits with "." as separator and a blank before values >= 0.
std::string propertyText(double weight);

}  // namespace orva
