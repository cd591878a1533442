#include "platform/qt/qt_timers.h"

#include <QTimer>

namespace orva::qt {
namespace {

class QtIntervalTimer final : public IntervalTimer {
public:
    explicit QtIntervalTimer(TimerFactory::Tick onTick) : onTick_(std::move(onTick)) {
        timer_.setTimerType(Qt::PreciseTimer);
        QObject::connect(&timer_, &QTimer::timeout, &timer_, [this] { tick(); });
    }

    int Interval() const override { return timer_.interval(); }
    void setInterval(int milliseconds) override { timer_.setInterval(milliseconds); }
    bool Enabled() const override { return timer_.isActive(); }
    void setEnabled(bool enabled) override {
        if (enabled == timer_.isActive()) return;  // enabling an enabled timer does not restart it
        if (enabled) timer_.start();
        else timer_.stop();
    }

private:
    void tick() { onTick_(); }

    QTimer timer_;
    TimerFactory::Tick onTick_;
};

}  // namespace

std::unique_ptr<IntervalTimer> QtTimerFactory::makeTimer(Tick onTick) {
    return std::make_unique<QtIntervalTimer>(std::move(onTick));
}

}  // namespace orva::qt
