#pragma once
// The registers of one Modbus unit: one scale at one moment. Input and
// holding registers are the same 17, 0-based:
//
//    0  2  current weight, IEEE-754 float32
//    2  2  current weight, int32 = round(weight x 10^decimals), saturating
//    4  1  decimals
//    5  1  status bits (below)
//    6  1  status letter, its character code ('@'..'O'; 0 for none)
//    7  2  last settled weight, float32 (0 before the first)
//    9  2  last settled weight, int32 as register 2
//   11  2  settled count, uint32 (the service's "seq")
//   13  1  port state: 0 open, 1 waiting, 2 no_device, 3 not_serial,
//          4 permission_denied, 5 in_use, 6 unreachable, 7 lost, 8 failed
//   14  1  decode counter, modulo 65536
//   15  2  age of the current reading in ms, uint32 (0xFFFFFFFF: none yet)
//
// Status bits: 0 valid (the last decode showed a weight), 1 settled, 2 port
// open, 3 ORVA-1, 4 ORVA-2, 5 an int32 saturated, 6 stale (no weight shown
// for more than 2 s), 8..11 VesNul, VesOk, VesTara, VesMax.
// Discrete inputs: 0 valid, 1 settled, 2 port open, 3 stale.
//
// A value of two registers comes high word first ("ABCD"), or low word
// first ("CDAB") for a PLC that wants it so; the bytes in a register are
// always high byte first, as Modbus sends every register.

#include <array>
#include <cstdint>

#include "service/scale_hub.h"

namespace orva::modbus {

inline constexpr int kRegisterCount = 17;
inline constexpr int kDiscreteInputCount = 4;

namespace status {
inline constexpr std::uint16_t kValid = 1 << 0, kSettled = 1 << 1, kPortOpen = 1 << 2, kOrva1 = 1 << 3, kOrva2 = 1 << 4,
                               kSaturated = 1 << 5, kStale = 1 << 6, kVesNul = 1 << 8, kVesOk = 1 << 9, kVesTara = 1 << 10,
                               kVesMax = 1 << 11;
}

struct UnitImage {
    std::array<std::uint16_t, kRegisterCount> registers{};
    std::array<std::uint8_t, kDiscreteInputCount> inputs{};
};

UnitImage unitImage(const orva::service::ScaleFigures& figures, int decimals, bool lowWordFirst);

// round(weight x 10^decimals) in an int32; saturated says it did not fit
// (or was no number) and holds the nearest end of the range.
struct ScaledWeight {
    std::int32_t value = 0;
    bool saturated = false;
};
ScaledWeight scaledWeight(double weight, int decimals);

// The port state's number in register 13 (8, failed, for a name it does not know).
std::uint16_t portStateNumber(const char* name);

}  // namespace orva::modbus
