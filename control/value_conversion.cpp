#include "control/value_conversion.h"

#include <cmath>

#include "acquisition/int16_conversion.h"
#include "acquisition/number_text.h"
#include "platform/overloaded.h"

namespace orva {

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
