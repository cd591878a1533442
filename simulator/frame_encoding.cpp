#include "simulator/frame_encoding.h"

#include <charconv>
#include <cmath>

namespace orva::sim {

// The terminal writes "." whatever the locale of the machine simulating it
// (printf would follow LC_NUMERIC, which Qt applications take from the user).
std::string orva1Frame(double weight, int decimals, const std::string& prefix, const std::string& suffix) {
    char digits[400];
    const auto result = std::to_chars(digits, digits + sizeof digits, weight, std::chars_format::fixed,
                                      decimals < 0 ? 0 : decimals);
    std::string field(digits, result.ec == std::errc{} ? result.ptr : digits);
    if (field.size() < 7) field.insert(0, 7 - field.size(), ' ');
    return prefix + "WW" + field + suffix;
}

std::string orva2Frame(double weight, int decimals) {
    const double scaled = std::round(weight * std::pow(10.0, decimals));
    long raw = scaled < 0 || std::isnan(scaled) ? 0 : scaled > 999999 ? 999999 : static_cast<long>(scaled);
    std::string frame(6, '\0');
    for (char& digit : frame) {
        digit = static_cast<char>(raw % 10);
        raw /= 10;
    }
    return frame;
}

}  // namespace orva::sim
