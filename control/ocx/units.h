#pragma once
// The two length units the control meets at the COM boundary: its layout is
// in twips (1/1440 inch), OLE extents are in HIMETRIC (1/100 mm).

#include <windows.h>

namespace orva::ocx {

inline constexpr long kHimetricPerInch = 2540;
inline constexpr long kTwipsPerInch = 1440;

inline long twipsToHimetric(int twips) { return ::MulDiv(twips, kHimetricPerInch, kTwipsPerInch); }

}  // namespace orva::ocx
