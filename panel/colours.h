#pragma once
// Colours as 0x00BBGGRR; a value with the top bit set names a system colour.

#include <cstdint>

namespace orva {

using Colour = std::uint32_t;

inline constexpr Colour kGreen = 0x0000FF00;
inline constexpr Colour kRed = 0x000000FF;
inline constexpr Colour kWhite = 0x00FFFFFF;
inline constexpr Colour kLightYellow = 0x00C0FFFF;
inline constexpr Colour kWindowBackground = 0x80000005;  // system colour 5
inline constexpr Colour kWindowText = 0x80000008;        // system colour 8
inline constexpr Colour kButtonFace = 0x8000000F;        // system colour 15
inline constexpr Colour kButtonText = 0x80000012;        // system colour 18

inline constexpr bool isSystemColour(Colour c) { return (c & 0x80000000u) != 0; }
inline constexpr int systemColourIndex(Colour c) { return static_cast<int>(c & 0xFFu); }

}  // namespace orva
