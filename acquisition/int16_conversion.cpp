#include "acquisition/int16_conversion.h"

#include <cmath>

#include "acquisition/number_text.h"
#include "platform/failure.h"

namespace orva {

std::int16_t roundToInt16(double value) {
    if (std::isnan(value)) throw Failure(FailureNumber::Overflow, "Overflow");
    const double rounded = std::nearbyint(value);  // the default rounding: half to even
    if (rounded < -32768.0 || rounded > 32767.0) throw Failure(FailureNumber::Overflow, "Overflow");
    return static_cast<std::int16_t>(rounded);
}

std::int16_t textToInt16(std::string_view text) {
    const auto number = parseWholeNumber(text);
    if (!number) throw Failure(FailureNumber::TypeMismatch, "Type mismatch");
    return roundToInt16(*number);
}

}  // namespace orva
