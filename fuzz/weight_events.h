#pragma once
// The weights a control raised since they were last cleared: what the
// stream and terminal runs compare with the frames that were sent.

#include <cstdint>
#include <vector>

#include "control/activex_orva.h"

namespace orva::fuzz {

class WeightEvents : public ControlEvents {
public:
    void ChangeVes(double w) override { changes.push_back(w); }
    void StabVes(double w) override { stable.push_back(w); }
    void VesStatus(std::int16_t, std::int16_t&, std::int16_t&, std::int16_t&) override {}
    std::vector<double> changes;
    std::vector<double> stable;
};

}  // namespace orva::fuzz
