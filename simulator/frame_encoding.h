#pragma once
// The two reply formats a weighing terminal sends, as the simulator writes
// them.

#include <string>

namespace orva::sim {

enum class FrameFormat { Orva1, Orva2 };

// ORVA-1: prefix, the marker "WW", the weight right-aligned in a 7-character
// field with `decimals` places, suffix.
std::string orva1Frame(double weight, int decimals, const std::string& prefix, const std::string& suffix);

// ORVA-2: six raw digit bytes (0x00..0x09), least significant first, of the
// weight times 10^decimals; negative weights are sent as 0 and weights past
// six digits as 999999, as the terminal's display would saturate.
std::string orva2Frame(double weight, int decimals);

}  // namespace orva::sim
