#pragma once
// One scale of the service: one control, unchanged, on its own device, with
// the sinks that turn its events, notices and decodes into the published
// state and JSON events of scale_hub.h, and the counters of /metrics.

#include <QElapsedTimer>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "control/activex_orva.h"
#include "acquisition/control_events.h"
#include "platform/qt/qt_locale.h"
#include "platform/user_notice.h"
#include "service/fd_serial_port.h"
#include "service/scale_hub.h"
#include "service/service_config.h"
#include "service/tick_scheduler.h"

namespace orva::service {

struct ScaleCounters {
    std::uint64_t polls = 0;
    std::uint64_t decodes = 0;
    std::uint64_t unrecognised = 0;
    std::uint64_t stableWeights = 0;
    std::uint64_t reconfigurations = 0;
    std::uint64_t portFailures = 0;
};

// What a scale needs from the service around it.
struct ScaleContext {
    TimerFactory& timers;  // the shared scheduler, or one Qt timer per control timer
    const Locale& locale;
    const QElapsedTimer& serviceClock;  // "t_ms" of the events
    std::function<void(const std::string&)> log;
    // Told as each poll and each decode begins (measurements).
    std::function<void(bool poll)> onCycleTick;
    ScaleHub& hub;  // told of every event too
    // The id of the scale whose own device this is (deviceIdentity), empty for none.
    std::function<QString(const std::string& device)> scaleOn;
};

class ServiceScale final : public ControlEvents, public PropertyChangeSink, public UserNotice, private CycleObserver {
public:
    static constexpr std::int64_t kOnlineWindowMs = 2000;

    ServiceScale(const ScaleConfig& config, const std::map<std::int16_t, std::string>& sharedPorts, ScaleContext context);
    // A new configuration for this scale (a reload): a new control on the
    // configured device, as at creation. Its signals object stays, so the
    // front ends that follow the scale keep following it.
    void reconfigure(const ScaleConfig& config, const std::map<std::int16_t, std::string>& sharedPorts);
    // Its section of the file as this scale runs it: as built, then with
    // every property write the file took. A reload rebuilds the scale only
    // when the file says something else.
    const ScaleConfig& runningConfig() const { return running_; }
    void propertySaved(const std::string& name, const std::string& value);
    // Closes the scale's device ahead of reconfigure(), so another scale can
    // take it in the same reload. Nothing but reconfigure() may follow.
    void release();
    ~ServiceScale() override;
    ServiceScale(const ServiceScale&) = delete;
    ServiceScale& operator=(const ServiceScale&) = delete;

    const QString& id() const { return id_; }
    // The configured device path or tcp://host:port.
    const QString& port() const { return port_; }
    // The device the port's number names now (port() until a ComNumber
    // write moves the scale to one of [ports]).
    const QString& device() const { return device_; }
    ScaleSignals& signalsObject() { return *signals_; }
    ScaleState state() const;
    ScaleFigures figures() const;
    const ScaleCounters& counters() const { return counters_; }
    bool online() const;
    // The settled weight when the scale shows one now (what a waiting
    // "stable" request gets at once).
    std::optional<double> settledWeight() const;
    // When the shown settled weight settled, and its weighing number: the
    // identity a client tells one weighing from the next by.
    const QDateTime& settledAt() const { return settledAt_; }
    quint64 weighingNumber() const { return weighings_; }
    PortCondition portCondition() const { return portCondition_; }
    ActivexORVA& control() { return *control_; }
    // One line for the log at start: id, device and port number, the
    // settings in force and the port's state.
    std::string summary() const;
    // Why the control may not be given this ComNumber: it names no device
    // of this scale's, or another scale's device. Empty when it may.
    std::string comNumberRefusal(const std::string& comNumber) const;

    // ControlEvents
    void StabVes(double VesBrutoNVT) override;
    void ChangeVes(double VesChange) override;
    void VesStatus(std::int16_t VesNul, std::int16_t& VesOk, std::int16_t& VesTara, std::int16_t& VesMax) override;
    // PropertyChangeSink
    void propertyChanged(std::string_view propertyName) override;
    // UserNotice: a message box on a service has nobody to close it; it is
    // logged and published, and counts as closed at once.
    void messageBox(std::string_view utf8Text) override;
    void beep() override;
    void tickFailed(const Failure& failure) override;

private:
    void build(const ScaleConfig& config, const std::map<std::int16_t, std::string>& sharedPorts);
    void portConditionIs(PortCondition condition, const std::string& device, const std::string& reason);
    // CycleObserver: the counters, the measurements' hook and the decodes.
    void stepStarting(CycleStep step) override;
    void stepEnded(CycleStep step) override;
    void decodeEnded(const DecodeEnd& end) override;
    template <class Build>
    void publish(Build build, bool decode = false);
    long long tMs() const { return serviceClock_.elapsed(); }

    QString id_;
    std::string idText_;
    ScaleConfig running_;
    QString port_;
    QString device_;
    std::map<std::int16_t, std::string> devices_;  // port number -> device, this scale's own included
    ScaleContext context_;
    const QElapsedTimer& serviceClock_;
    std::unique_ptr<ScaleSignals> signals_;
    ScaleCounters counters_;
    std::optional<double> stabWeight_;  // cleared by any change of the shown weight
    bool recognised_ = false;           // the last decode recognised its reply
    std::optional<std::chrono::steady_clock::time_point> lastRecognised_;
    bool onlineSent_ = false;
    QDateTime updated_;
    QDateTime settledAt_;
    quint64 weighings_ = 0;
    double lastSettled_ = 0;  // kept through a change of load, unlike stabWeight_
    PortCondition portCondition_ = PortCondition::Waiting;
    std::string portReason_;
    std::unique_ptr<ActivexORVA> control_;  // last: it goes first
};

}  // namespace orva::service
