#include "control/value_conversion.h"

#include <cmath>

#include "acquisition/number_text.h"
#include "platform/failure.h"
#include "platform/overloaded.h"

namespace orva {
namespace {

[[noreturn]] void throwTypeMismatch() { throw Failure(FailureNumber::TypeMismatch, "Type mismatch"); }
[[noreturn]] void throwOverflow() { throw Failure(FailureNumber::Overflow, "Overflow"); }

std::int16_t roundToInt16(double value) {
    if (std::isnan(value)) throwOverflow();
    const double rounded = std::nearbyint(value);  // the default rounding: half to even
    if (rounded < -32768.0 || rounded > 32767.0) throwOverflow();
    return static_cast<std::int16_t>(rounded);
}

}  // namespace

std::int16_t textToInt16(std::string_view text) {
    const auto number = parseWholeNumber(text);
    if (!number) throwTypeMismatch();
    return roundToInt16(*number);
}

std::int16_t toInt16(const PropertyValue& value) {
    return std::visit(Overloaded{
                          [](std::monostate) -> std::int16_t { return 0; },
                          [](bool b) -> std::int16_t { return b ? -1 : 0; },
                          [](std::int32_t i) { return roundToInt16(i); },
                          [](double d) { return roundToInt16(d); },
                          [](const std::string& s) { return textToInt16(s); },
                      },
                      value);
}

std::string toText(const PropertyValue& value) {
    return std::visit(Overloaded{
                          [](std::monostate) { return std::string(); },
                          [](bool b) { return std::string(b ? "True" : "False"); },
                          [](std::int32_t i) { return std::to_string(i); },
                          [](double d) {
                              std::string text = propertyText(d);
                              if (!text.empty() && text.front() == ' ') text.erase(0, 1);
                              return text;
                          },
                          [](const std::string& s) { return s; },
                      },
                      value);
}

}  // namespace orva
