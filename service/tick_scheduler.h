#pragma once
// The interval timers of every control in the service, behind one Qt timer.
//
// A hundred controls with three timers each would wake the process for every
// tick of every scale. Here each due time is placed on a shared grid of
// kGridMs, and all ticks due at one grid point run in one wake-up, in the
// order they fell due. A timer enabled inside a tick counts its interval from
// the moment that tick was due, not from the moment it ran: the poll period
// then stays exactly the sum of its intervals whatever the load, and scales
// that started together keep ticking together. A tick is never moved by more
// than half a grid step from its due time.

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>

#include <QTimer>

#include "platform/interval_timer.h"

namespace orva::service {

class TickScheduler final : public TimerFactory {
public:
    static constexpr std::int64_t kGridMs = 5;
    using Clock = std::chrono::steady_clock;
    // Told after each tick has run, with the timer that ticked.
    using AfterTick = std::function<void(const IntervalTimer&)>;

    TickScheduler();
    ~TickScheduler() override;
    TickScheduler(const TickScheduler&) = delete;
    TickScheduler& operator=(const TickScheduler&) = delete;

    std::unique_ptr<IntervalTimer> makeTimer(Tick onTick) override;
    void setAfterTick(AfterTick afterTick) { afterTick_ = std::move(afterTick); }

    // Wake-ups of the one timer so far, and ticks run in them.
    std::uint64_t wakeUps() const { return wakeUps_; }
    std::uint64_t ticks() const { return ticks_; }

private:
    class Timer;
    friend class Timer;
    using Queue = std::multimap<std::int64_t, Timer*>;  // due time (ms) -> timer

    static std::int64_t nowMs();
    std::int64_t dueFrom(std::int64_t base, int interval) const;
    Queue::iterator schedule(Timer* timer, std::int64_t due);
    void unschedule(Queue::iterator where);
    void rearm();
    void dispatch();

    Queue queue_;
    QTimer wake_;
    bool dispatching_ = false;
    std::int64_t dispatchDue_ = 0;  // the due time of the tick being run
    AfterTick afterTick_;
    std::uint64_t wakeUps_ = 0;
    std::uint64_t ticks_ = 0;
};

}  // namespace orva::service
