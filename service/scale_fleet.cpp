#include "service/scale_fleet.h"

#include <time.h>

#include <set>

#include "service/property_writer.h"

namespace orva::service {
namespace {

long long realtimeMicroseconds() {
    timespec t{};
    ::clock_gettime(CLOCK_REALTIME, &t);
    return static_cast<long long>(t.tv_sec) * 1000000 + t.tv_nsec / 1000;
}

}  // namespace

ScaleFleet::ScaleFleet(const ServiceConfig& config, Log log, std::FILE* pollLog, bool sharedTicks)
    : log_(std::move(log)), pollLog_(pollLog), sharedTicks_(sharedTicks), ports_(config.ports) {
    clock_.start();
    scales_.reserve(config.scales.size());
    for (const ScaleConfig& c : config.scales) scales_.push_back(makeScale(c, ports_));
}

std::unique_ptr<ServiceScale> ScaleFleet::makeScale(const ScaleConfig& config, const std::map<std::int16_t, std::string>& ports) {
    std::function<void(bool)> onCycleTick;
    if (pollLog_ != nullptr)
        // The poll log names a scale by its place among the scales at its start.
        onCycleTick = [this, i = scales_.size()](bool poll) {
            std::fprintf(pollLog_, "%c %zu %lld\n", poll ? 'P' : 'D', i, realtimeMicroseconds());
        };
    return std::make_unique<ServiceScale>(
        config, ports,
        ScaleContext{sharedTicks_ ? static_cast<TimerFactory&>(scheduler_) : ownTimers_, locale_, clock_, log_, onCycleTick,
                     *this, [this](const std::string& device) { return scaleOn(device); }});
}

namespace {

bool sameScale(const ScaleConfig& a, const ScaleConfig& b) {
    return a.port == b.port && a.ComSetting == b.ComSetting && a.ComNumber == b.ComNumber && a.DecPoint == b.DecPoint &&
           a.MinFixVes == b.MinFixVes;
}

}  // namespace

ScaleFleet::Changes ScaleFleet::apply(const ServiceConfig& config) {
    Changes changes;
    const bool portsChanged = config.ports != ports_;
    ports_ = config.ports;
    std::map<QString, std::unique_ptr<ServiceScale>> running;
    for (auto& s : scales_) running.emplace(s->id(), std::move(s));
    scales_.clear();
    std::set<std::string> wanted;
    for (const ScaleConfig& c : config.scales) wanted.insert(c.id);
    // Scales that leave go first: their devices may be another scale's now.
    for (auto it = running.begin(); it != running.end();) {
        if (wanted.count(it->first.toStdString()) == 0) {
            changes.removed << it->first;
            it = running.erase(it);
        } else {
            ++it;
        }
    }
    // Then the changed ones let go of their devices, before any opens a new one.
    std::vector<std::pair<ServiceScale*, const ScaleConfig*>> toRebuild;
    for (const ScaleConfig& c : config.scales) {
        const auto found = running.find(QString::fromStdString(c.id));
        if (found == running.end()) continue;
        // A scale that may switch to a shared port is rebuilt when they change.
        if (!sameScale(found->second->runningConfig(), c) || portsChanged) toRebuild.emplace_back(found->second.get(), &c);
    }
    for (const auto& [scale, c] : toRebuild) scale->release();
    std::vector<QString> added;
    for (const ScaleConfig& c : config.scales) {
        const QString id = QString::fromStdString(c.id);
        auto found = running.find(id);
        if (found == running.end()) {
            scales_.push_back(makeScale(c, ports_));
            added.push_back(id);
            changes.added << id;
        } else {
            if (!sameScale(found->second->runningConfig(), c) || portsChanged) {
                found->second->reconfigure(c, ports_);
                changes.reconfigured << id;
            }
            scales_.push_back(std::move(found->second));
        }
    }
    for (const QString& id : changes.removed) emit scaleRemoved(id);
    for (const QString& id : added) emit scaleAdded(id);
    return changes;
}

QString ScaleFleet::scaleOn(const std::string& device) const {
    for (const auto& s : scales_)
        if (deviceIdentity(s->port().toStdString()) == device) return s->id();
    return {};
}

QByteArray ScaleFleet::portStateMetrics() const {
    QByteArray out;
    for (const PortCondition condition : kAllConditions) {
        std::size_t count = 0;
        for (const auto& s : scales_) count += s->portCondition() == condition ? 1 : 0;
        const QByteArray name = QByteArray("orva_ports_") + conditionName(condition);
        out += "# HELP " + name + " Scales whose port is " + conditionName(condition) + ".\n# TYPE " + name + " gauge\n" + name +
               " " + QByteArray::number(static_cast<qulonglong>(count)) + "\n";
    }
    return out;
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

ScaleFigures ScaleFleet::figuresOf(const QString& id) const {
    const ServiceScale* s = find(id);
    return s != nullptr ? s->figures() : ScaleFigures{};
}

QJsonObject ScaleFleet::propertiesOf(const QString& id) const {
    ServiceScale* s = find(id);
    return s != nullptr ? propertiesJson(s->control(), false) : QJsonObject{};
}

std::optional<ScaleHub::Settled> ScaleFleet::settledOf(const QString& id) const {
    ServiceScale* s = find(id);
    if (s == nullptr) return std::nullopt;
    const auto weight = s->settledWeight();
    if (!weight) return std::nullopt;
    return Settled{*weight, QString::fromStdString(s->control().UnitWeight()), s->settledAt(), s->weighingNumber()};
}

QByteArray ScaleFleet::scaleMetrics() const {
    QByteArray out;
    auto family = [&](const char* name, const char* type, const char* help, auto value) {
        out += QByteArray("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        for (const auto& s : scales_)
            out += QByteArray(name) + "{scale=\"" + s->id().toUtf8() + "\"} " + QByteArray::number(value(*s)) + "\n";
    };
    const struct {
        const char* name;
        const char* help;
        std::uint64_t ScaleCounters::*count;
    } counters[] = {
        {"orva_polls_total", "Polls (requests) sent to the terminal.", &ScaleCounters::polls},
        {"orva_decodes_total", "Decodes of the terminal's reply.", &ScaleCounters::decodes},
        {"orva_unrecognised_total", "Decodes of a reply that was not a frame.", &ScaleCounters::unrecognised},
        {"orva_stable_weights_total", "Settled weights (StabVes).", &ScaleCounters::stableWeights},
        {"orva_reconfigurations_total", "Port reconfigurations.", &ScaleCounters::reconfigurations},
        {"orva_port_failures_total", "Failed opens and devices lost while open.", &ScaleCounters::portFailures},
    };
    for (const auto& c : counters)
        family(c.name, "counter", c.help,
               [&c](const ServiceScale& s) { return static_cast<qulonglong>(s.counters().*c.count); });
    family("orva_online", "gauge", "1 when a reply was recognised in the last 2 s.",
           [](const ServiceScale& s) { return static_cast<qulonglong>(s.online() ? 1 : 0); });
    return out + portStateMetrics();
}

QByteArray ScaleFleet::timerMetrics() const {
    QByteArray out;
    auto single = [&](const char* name, const char* type, const char* help, qulonglong value) {
        out += QByteArray("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n" + name + " " +
               QByteArray::number(value) + "\n";
    };
    single("orva_tick_wakeups_total", "counter", "Wake-ups of the shared tick timer.", scheduler_.wakeUps());
    single("orva_ticks_total", "counter", "Timer ticks of all controls.", scheduler_.ticks());
    return out;
}

}  // namespace orva::service
