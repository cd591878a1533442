#pragma once
// The 16-bit integer conversions the poll cycle and the property record
// share: a port number text becomes the port's number, a loaded value a
// MinFixVes or DecPoint. They throw orva::Failure with TypeMismatch or
// Overflow, as an automation host would.

#include <cstdint>
#include <string_view>

namespace orva {

// Rounded to the nearest integer, a half to the even neighbour.
std::int16_t roundToInt16(double value);

// A text that is a number as a whole (blanks around it allowed), rounded.
std::int16_t textToInt16(std::string_view text);

}  // namespace orva
