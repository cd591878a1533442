#pragma once
// The eight properties of one control instance, in their persisted order,
// with the defaults a new instance starts with, that a load gives for a
// missing key, and that a save passes as each key's default.

#include <cstdint>
#include <string>

namespace orva {

struct PropertyRecord {
    static constexpr std::int16_t kDefaultMinFixVes = 50;
    static constexpr std::int16_t kDefaultDecPoint = 1;
    static constexpr const char* kDefaultComSetting = "9600,n,8,1";
    static constexpr const char* kDefaultComNumber = "1";
    static constexpr const char* kDefaultVesTerminal = "XXXX";
    static constexpr const char* kDefaultTipTerminal = "No Connect";
    static constexpr const char* kDefaultStatusTerminal = "X";
    static constexpr const char* kDefaultUnitWeight = "kg";

    std::int16_t MinFixVes = kDefaultMinFixVes;  // thousandths of the weight unit
    std::int16_t DecPoint = kDefaultDecPoint;    // implied decimals of an ORVA-2 weight
    std::string ComSetting = kDefaultComSetting;
    std::string ComNumber = kDefaultComNumber;
    std::string VesTerminal = kDefaultVesTerminal;
    std::string TipTerminal = kDefaultTipTerminal;
    std::string StatusTerminal = kDefaultStatusTerminal;
    std::string UnitWeight = kDefaultUnitWeight;

    friend bool operator==(const PropertyRecord&, const PropertyRecord&) = default;
};

}  // namespace orva
