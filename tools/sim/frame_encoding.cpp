#include "tools/sim/frame_encoding.h"

#include <cmath>
#include <cstdio>

namespace orva::sim {

std::string orva1Frame(double weight, int decimals, const std::string& prefix, const std::string& suffix) {
    char field[64];
    std::snprintf(field, sizeof field, "%7.*f", decimals < 0 ? 0 : decimals, weight);
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
