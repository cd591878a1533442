#include "service/tick_scheduler.h"

namespace orva::service {

class TickScheduler::Timer final : public IntervalTimer {
public:
    Timer(TickScheduler& owner, Tick onTick) : owner_(owner), onTick_(std::move(onTick)) {}
    ~Timer() override { setEnabled(false); }

    int Interval() const override { return interval_; }
    void setInterval(int milliseconds) override {
        interval_ = milliseconds;
        if (enabled_) {  // a running timer starts its new interval now
            setEnabled(false);
            setEnabled(true);
        }
    }
    bool Enabled() const override { return enabled_; }
    void setEnabled(bool enabled) override {
        if (enabled == enabled_) return;
        enabled_ = enabled;
        if (enabled) {
            const std::int64_t base = owner_.dispatching_ ? owner_.dispatchDue_ : nowMs();
            where_ = owner_.schedule(this, owner_.dueFrom(base, interval_));
            queued_ = true;
        } else if (queued_) {
            owner_.unschedule(where_);
            queued_ = false;
        }
    }

    // Runs one tick that fell due at `due`; an interval timer that is still
    // enabled afterwards, and was not re-enabled inside, ticks again one
    // interval later.
    void fire(std::int64_t due) {
        queued_ = false;
        onTick_();
        if (enabled_ && !queued_) {
            where_ = owner_.schedule(this, owner_.dueFrom(due, interval_));
            queued_ = true;
        }
    }

private:
    TickScheduler& owner_;
    Tick onTick_;
    int interval_ = 0;
    bool enabled_ = false;
    bool queued_ = false;
    Queue::iterator where_;
};

TickScheduler::TickScheduler() {
    wake_.setSingleShot(true);
    wake_.setTimerType(Qt::PreciseTimer);
    QObject::connect(&wake_, &QTimer::timeout, &wake_, [this] { dispatch(); });
}

TickScheduler::~TickScheduler() = default;

std::unique_ptr<IntervalTimer> TickScheduler::makeTimer(Tick onTick) {
    return std::make_unique<Timer>(*this, std::move(onTick));
}

std::int64_t TickScheduler::nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now().time_since_epoch()).count();
}

std::int64_t TickScheduler::dueFrom(std::int64_t base, int interval) const {
    const std::int64_t exact = base + std::max(interval, 0);
    // The nearest grid point: at most half a step early or late.
    const std::int64_t due = (exact + kGridMs / 2) / kGridMs * kGridMs;
    // Never again inside the wake-up that is running it.
    return dispatching_ && due <= dispatchDue_ ? dispatchDue_ + kGridMs : due;
}

TickScheduler::Queue::iterator TickScheduler::schedule(Timer* timer, std::int64_t due) {
    const bool earliest = queue_.empty() || due < queue_.begin()->first;
    const auto where = queue_.emplace(due, timer);
    if (earliest && !dispatching_) rearm();
    return where;
}

void TickScheduler::unschedule(Queue::iterator where) {
    queue_.erase(where);
    if (!dispatching_ && queue_.empty()) wake_.stop();
}

void TickScheduler::rearm() {
    if (queue_.empty()) {
        wake_.stop();
        return;
    }
    const std::int64_t wait = queue_.begin()->first - nowMs();
    wake_.start(static_cast<int>(std::clamp<std::int64_t>(wait, 0, 1 << 30)));
}

void TickScheduler::dispatch() {
    ++wakeUps_;
    dispatching_ = true;
    const std::int64_t now = nowMs();
    // Everything due by now runs in this wake-up; a tick scheduled inside for
    // a time already past (an interval of 0) waits for the next one.
    while (!queue_.empty() && queue_.begin()->first <= now) {
        const auto [due, timer] = *queue_.begin();
        queue_.erase(queue_.begin());
        dispatchDue_ = due;
        ++ticks_;
        timer->fire(due);
        if (afterTick_) afterTick_(*timer);
    }
    dispatching_ = false;
    rearm();
}

}  // namespace orva::service
