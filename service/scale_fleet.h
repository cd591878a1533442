#pragma once
// Every scale of the service and what they share: the tick scheduler, the
// locale, the clock of the events. It is the ScaleHub the front ends see.

#include <QElapsedTimer>
#include <cstdio>
#include <map>
#include <memory>
#include <vector>

#include "platform/qt/qt_locale.h"
#include "platform/qt/qt_timers.h"
#include "service/scale_hub.h"
#include "service/service_config.h"
#include "service/service_scale.h"
#include "service/tick_scheduler.h"

namespace orva::service {

class ScaleFleet final : public ScaleHub {
    Q_OBJECT
public:
    using Log = std::function<void(const std::string&)>;
    // Creates every scale (each opens its device at once). pollLog, when
    // given, receives a line per poll and per decode for measurements.
    // sharedTicks false gives every control timer its own Qt timer (for
    // measuring what the sharing saves).
    ScaleFleet(const ServiceConfig& config, Log log, std::FILE* pollLog = nullptr, bool sharedTicks = true);
    ~ScaleFleet() override;

    QStringList ids() const override;
    ScaleSignals* signalsOf(const QString& id) override;
    ScaleState stateOf(const QString& id) const override;
    ScaleFigures figuresOf(const QString& id) const override;
    QJsonObject propertiesOf(const QString& id) const override;
    std::optional<Settled> settledOf(const QString& id) const override;
    QByteArray scaleMetrics() const override;
    QByteArray timerMetrics() const override;

    ServiceScale* find(const QString& id) const;
    // The id of the scale whose own device this is (deviceIdentity), empty for none.
    QString scaleOn(const std::string& device) const;

    // What a reload did, by scale id.
    struct Changes {
        QStringList added, removed, reconfigured;
    };
    // Takes a new configuration (already checked as a whole): scales that
    // left it stop, new ones start, changed ones get a new control on their
    // device; the others keep polling without a gap. The order becomes the
    // configuration's.
    Changes apply(const ServiceConfig& config);

    // Prometheus families without labels: how many scales' ports are in each state.
    QByteArray portStateMetrics() const;
    const std::vector<std::unique_ptr<ServiceScale>>& scales() const { return scales_; }
    const TickScheduler& scheduler() const { return scheduler_; }

private:
    std::unique_ptr<ServiceScale> makeScale(const ScaleConfig& config, const std::map<std::int16_t, std::string>& ports);

    TickScheduler scheduler_;
    qt::QtTimerFactory ownTimers_;
    qt::QtLocale locale_;
    QElapsedTimer clock_;
    Log log_;
    std::FILE* pollLog_;
    bool sharedTicks_;
    std::vector<std::unique_ptr<ServiceScale>> scales_;
    std::map<std::int16_t, std::string> ports_;
};

}  // namespace orva::service
