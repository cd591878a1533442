#include "service/modbus/register_map.h"

#include <bit>
#include <cmath>
#include <cstring>
#include <limits>

namespace orva::modbus {
namespace {

// A 32-bit value into two registers in the configured word order.
void put32(UnitImage& image, int at, std::uint32_t value, bool lowWordFirst) {
    const auto high = static_cast<std::uint16_t>(value >> 16);
    const auto low = static_cast<std::uint16_t>(value & 0xFFFF);
    image.registers[at] = lowWordFirst ? low : high;
    image.registers[at + 1] = lowWordFirst ? high : low;
}

void putFloat(UnitImage& image, int at, double value, bool lowWordFirst) {
    static_assert(std::numeric_limits<float>::is_iec559, "float is IEEE-754 binary32");
    put32(image, at, std::bit_cast<std::uint32_t>(static_cast<float>(value)), lowWordFirst);
}

}  // namespace

ScaledWeight scaledWeight(double weight, int decimals) {
    constexpr double kMax = std::numeric_limits<std::int32_t>::max();
    constexpr double kMin = std::numeric_limits<std::int32_t>::min();
    if (std::isnan(weight)) return {0, true};
    const double scaled = std::round(weight * std::pow(10.0, decimals));
    if (scaled > kMax) return {std::numeric_limits<std::int32_t>::max(), true};
    if (scaled < kMin) return {std::numeric_limits<std::int32_t>::min(), true};
    return {static_cast<std::int32_t>(scaled), false};
}

std::uint16_t portStateNumber(const char* name) {
    static constexpr const char* kNames[] = {"open",    "waiting",     "no_device", "not_serial", "permission_denied",
                                             "in_use", "unreachable", "lost",      "failed"};
    for (std::uint16_t i = 0; i < std::size(kNames); ++i)
        if (name != nullptr && std::strcmp(name, kNames[i]) == 0) return i;
    return 8;
}

UnitImage unitImage(const orva::service::ScaleFigures& f, int decimals, bool lowWordFirst) {
    UnitImage image;
    const ScaledWeight current = scaledWeight(f.weight, decimals);
    const ScaledWeight settled = scaledWeight(f.lastSettled, decimals);
    const bool portOpen = f.portState != nullptr && std::strcmp(f.portState, "open") == 0;
    std::uint16_t bits = 0;
    if (f.showsWeight) bits |= status::kValid;
    if (f.stable) bits |= status::kSettled;
    if (portOpen) bits |= status::kPortOpen;
    if (f.terminalKind == 1) bits |= status::kOrva1;
    if (f.terminalKind == 2) bits |= status::kOrva2;
    if (current.saturated || settled.saturated) bits |= status::kSaturated;
    if (!f.online) bits |= status::kStale;
    if (f.VesNul != 0) bits |= status::kVesNul;
    if (f.VesOk != 0) bits |= status::kVesOk;
    if (f.VesTara != 0) bits |= status::kVesTara;
    if (f.VesMax != 0) bits |= status::kVesMax;

    putFloat(image, 0, f.weight, lowWordFirst);
    put32(image, 2, static_cast<std::uint32_t>(current.value), lowWordFirst);
    image.registers[4] = static_cast<std::uint16_t>(decimals);
    image.registers[5] = bits;
    image.registers[6] = static_cast<std::uint8_t>(f.statusLetter);
    putFloat(image, 7, f.lastSettled, lowWordFirst);
    put32(image, 9, static_cast<std::uint32_t>(settled.value), lowWordFirst);
    put32(image, 11, static_cast<std::uint32_t>(f.settledCount & 0xFFFFFFFFu), lowWordFirst);
    image.registers[13] = portStateNumber(f.portState);
    image.registers[14] = static_cast<std::uint16_t>(f.decodes & 0xFFFF);
    const std::uint32_t age = f.ageMs < 0 ? 0xFFFFFFFFu
                              : f.ageMs >= 0xFFFFFFFFLL ? 0xFFFFFFFEu
                                                        : static_cast<std::uint32_t>(f.ageMs);
    put32(image, 15, age, lowWordFirst);

    image.inputs = {static_cast<std::uint8_t>(f.showsWeight ? 1 : 0), static_cast<std::uint8_t>(f.stable ? 1 : 0),
                    static_cast<std::uint8_t>(portOpen ? 1 : 0), static_cast<std::uint8_t>(f.online ? 0 : 1)};
    return image;
}

}  // namespace orva::modbus
