#include "platform/virtual/virtual_clock.h"

namespace orva::virtual_time {

VirtualClock::Handle VirtualClock::schedule(Millis at, Action action) {
    const Handle handle = nextHandle_++;
    queue_.emplace(Key{at, handle}, std::move(action));
    dueOf_.emplace(handle, at);
    return handle;
}

void VirtualClock::cancel(Handle handle) {
    const auto due = dueOf_.find(handle);
    if (due == dueOf_.end()) return;
    queue_.erase(Key{due->second, handle});
    dueOf_.erase(due);
}

bool VirtualClock::runNext() {
    if (queue_.empty()) return false;
    auto first = queue_.begin();
    const auto [at, handle] = first->first;
    Action action = std::move(first->second);
    queue_.erase(first);
    dueOf_.erase(handle);
    if (at > now_) now_ = at;
    action();
    return true;
}

void VirtualClock::advanceTo(Millis until) {
    while (!queue_.empty() && queue_.begin()->first.first <= until) runNext();
    if (until > now_) now_ = until;
}

namespace {

class VirtualTimer : public IntervalTimer {
public:
    VirtualTimer(VirtualClock& clock, TimerFactory::Tick tick) : clock_(clock), tick_(std::move(tick)) {}
    ~VirtualTimer() override { disarm(); }

    int Interval() const override { return interval_; }
    void setInterval(int milliseconds) override {
        interval_ = milliseconds;
        if (enabled_) arm();  // a new interval starts counting afresh
    }
    bool Enabled() const override { return enabled_; }
    void setEnabled(bool enabled) override {
        if (enabled == enabled_) return;
        enabled_ = enabled;
        if (enabled_) arm();
        else disarm();
    }

private:
    void arm() {
        disarm();
        if (interval_ <= 0) return;  // an interval of 0 never ticks
        handle_ = clock_.schedule(clock_.now() + interval_, [this] {
            handle_ = 0;
            arm();  // the next tick counts from this one, as a periodic timer does
            tick_();
        });
    }
    void disarm() {
        if (handle_ != 0) clock_.cancel(handle_);
        handle_ = 0;
    }

    VirtualClock& clock_;
    TimerFactory::Tick tick_;
    int interval_ = 0;
    bool enabled_ = false;
    VirtualClock::Handle handle_ = 0;
};

}  // namespace

std::unique_ptr<IntervalTimer> VirtualTimerFactory::makeTimer(Tick onTick) {
    return std::make_unique<VirtualTimer>(clock_, std::move(onTick));
}

}  // namespace orva::virtual_time
