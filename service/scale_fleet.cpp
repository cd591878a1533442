#include "service/scale_fleet.h"

#include <time.h>

namespace orva::service {
namespace {

long long realtimeMicroseconds() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

}  // namespace

ScaleFleet::ScaleFleet(const ServiceConfig& config, Log log, std::FILE* pollLog, bool sharedTicks)
    : log_(std::move(log)), pollLog_(pollLog) {
    clock_.start();
    scales_.reserve(config.scales.size());
    for (std::size_t i = 0; i < config.scales.size(); ++i) {
        std::function<void(bool)> onCycleTick;
        if (pollLog_ != nullptr)
            onCycleTick = [this, i](bool poll) {
                std::fprintf(pollLog_, "%c %zu %lld\n", poll ? 'P' : 'D', i, realtimeMicroseconds());
            };
        auto scale = std::make_unique<ServiceScale>(config.scales[i], config.ports,
                                                    ScaleContext{sharedTicks ? static_cast<TimerFactory&>(scheduler_) : ownTimers_, locale_, clock_, log_, onCycleTick, *this});
        scales_.push_back(std::move(scale));
    }
}

ScaleFleet::~ScaleFleet() { scales_.clear(); }

QStringList ScaleFleet::ids() const {
    QStringList list;
    for (const auto& s : scales_) list << s->id();
    return list;
}

ServiceScale* ScaleFleet::find(const QString& id) const {
    for (const auto& s : scales_)
        if (s->id() == id) return s.get();
    return nullptr;
}

ScaleSignals* ScaleFleet::signalsOf(const QString& id) {
    ServiceScale* s = find(id);
    return s != nullptr ? &s->signalsObject() : nullptr;
}

ScaleState ScaleFleet::stateOf(const QString& id) const {
    const ServiceScale* s = find(id);
    return s != nullptr ? s->state() : ScaleState{};
}

}  // namespace orva::service
