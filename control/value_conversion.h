#pragma once
// The standard value conversions of the property record: what a loaded value
// or a port number text becomes as a 16-bit integer or as text. They throw
// orva::Failure with TypeMismatch or Overflow, as an automation host would.

#include <cstdint>
#include <string>
#include <string_view>

#include "acquisition/int16_conversion.h"  // textToInt16, for the callers of toInt16
#include "platform/property_bag.h"

namespace orva {

// A number is rounded to the nearest integer, a half to the even neighbour;
// a text must be a number as a whole (blanks around it allowed).
std::int16_t toInt16(const PropertyValue& value);

// Integers in decimal, booleans as "True"/"False", doubles with "." as
// separator; empty is the empty text.
std::string toText(const PropertyValue& value);

}  // namespace orva
