#pragma once
// Interval timer: a tick on the control's thread every Interval ms while
// Enabled. Enabling a disabled timer starts a full interval; enabling an
// enabled one changes nothing.

#include <functional>
#include <memory>

namespace orva {

class IntervalTimer {
public:
    virtual ~IntervalTimer() = default;
    virtual int Interval() const = 0;
    virtual void setInterval(int milliseconds) = 0;
    virtual bool Enabled() const = 0;
    virtual void setEnabled(bool enabled) = 0;
};

class TimerFactory {
public:
    using Tick = std::function<void()>;
    virtual ~TimerFactory() = default;
    // The timer starts disabled; onTick runs on the control's thread.
    virtual std::unique_ptr<IntervalTimer> makeTimer(Tick onTick) = 0;
};

}  // namespace orva
