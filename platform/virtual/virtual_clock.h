#pragma once
// Deterministic time for tests and demos: timers and delayed actions run only
// when the clock is advanced, in order of their due instant (ties in the
// order they were scheduled), each seeing now() equal to its instant.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <utility>

#include "platform/interval_timer.h"

namespace orva::virtual_time {

using Millis = std::int64_t;

class VirtualClock {
public:
    using Action = std::function<void()>;
    using Handle = std::uint64_t;

    Millis now() const { return now_; }

    Handle schedule(Millis at, Action action);
    void cancel(Handle handle);

    // Runs everything due up to and including `until`, then sets now() to it.
    void advanceTo(Millis until);
    void advanceBy(Millis delta) { advanceTo(now_ + delta); }
    // Runs the next due action, if any; returns false when nothing is scheduled.
    bool runNext();
    std::size_t pending() const { return queue_.size(); }

private:
    using Key = std::pair<Millis, Handle>;
    Millis now_ = 0;
    Handle nextHandle_ = 1;
    std::map<Key, Action> queue_;
    std::map<Handle, Millis> dueOf_;
};

class VirtualTimerFactory : public TimerFactory {
public:
    explicit VirtualTimerFactory(VirtualClock& clock) : clock_(clock) {}
    std::unique_ptr<IntervalTimer> makeTimer(Tick onTick) override;

private:
    VirtualClock& clock_;
};

}  // namespace orva::virtual_time
