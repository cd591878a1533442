#pragma once
// The control's three events, delivered synchronously to the host's sink.
// VesStatus passes VesOk, VesTara and VesMax by reference to the control's
// own status flags: a value the handler stores there is stored in the flag.

#include <cstdint>

namespace orva {

class ControlEvents {
public:
    virtual ~ControlEvents() = default;
    virtual void StabVes(double VesBrutoNVT) = 0;
    virtual void ChangeVes(double VesChange) = 0;
    virtual void VesStatus(std::int16_t VesNul, std::int16_t& VesOk, std::int16_t& VesTara,
                           std::int16_t& VesMax) = 0;
};

}  // namespace orva
