#pragma once
// The control's interval timers on QTimer. Ticks arrive from the event loop
// of the thread that made the factory. Precise timers: the poll period is
// the sum of two intervals, and coarse timers would let it wander by up to
// 5 % of each.

#include <functional>
#include <memory>

#include "platform/interval_timer.h"

namespace orva::qt {

class QtTimerFactory final : public TimerFactory {
public:
    // Told after each tick has run, with the timer that ticked. Hosts use it
    // to see a decode end without reaching into the control.
    using AfterTick = std::function<void(const IntervalTimer&)>;

    void setAfterTick(AfterTick afterTick) { afterTick_ = std::make_shared<AfterTick>(std::move(afterTick)); }
    std::unique_ptr<IntervalTimer> makeTimer(Tick onTick) override;

private:
    // Shared with the timers, so one made before setAfterTick still reports.
    std::shared_ptr<AfterTick> afterTick_ = std::make_shared<AfterTick>();
};

}  // namespace orva::qt
