#pragma once
// The control's interval timers on QTimer. Ticks arrive from the event loop
// of the thread that made the factory. Precise timers: the poll period is
// the sum of two intervals, and coarse timers would let it wander by up to
// 5 % of each.

#include <memory>

#include "platform/interval_timer.h"

namespace orva::qt {

class QtTimerFactory final : public TimerFactory {
public:
    std::unique_ptr<IntervalTimer> makeTimer(Tick onTick) override;
};

}  // namespace orva::qt
