#include "service/service_scale.h"

#include <QJsonArray>
#include <QJsonValue>
#include <string>

#include "hosts/place_control.h"
#include "control/property_table.h"
#include "control/value_conversion.h"
#include "platform/failure.h"
#include "service/fd_serial_port.h"
#include "service/scale_config.h"
#include "hosts/qt/json_lines.h"

namespace orva::service {

using host::decodeLine;

namespace {
// The JSON key of a property the state carries: its name in the control.
QString key(std::string PropertyRecord::*field) {
    const std::string_view name = propertyOf(field).name;
    return QString::fromUtf8(name.data(), static_cast<qsizetype>(name.size()));
}
}  // namespace

QJsonObject ScaleState::toJson() const {
    QJsonObject flags{{"VesNul", VesNul != 0}, {"VesOk", VesOk != 0}, {"VesTara", VesTara != 0}, {"VesMax", VesMax != 0}};
    return QJsonObject{
        {"id", id},
        {"port", port},
        {"online", online},
        {"weight", showsWeight ? QJsonValue(weight) : QJsonValue(QJsonValue::Null)},
        {"stable", stable},
        {key(&PropertyRecord::VesTerminal), VesTerminal},
        {key(&PropertyRecord::TipTerminal), TipTerminal},
        {key(&PropertyRecord::StatusTerminal), StatusTerminal},
        {key(&PropertyRecord::UnitWeight), UnitWeight},
        {"flags", flags},
        {"updated", updated.isValid() ? QJsonValue(updated.toString(Qt::ISODateWithMs)) : QJsonValue(QJsonValue::Null)},
        {"panel", panel},
        {"port_state", portState},
        {"reason", portReason.isEmpty() ? QJsonValue(QJsonValue::Null) : QJsonValue(portReason)},
    };
}

ServiceScale::ServiceScale(const ScaleConfig& config, const std::map<std::int16_t, std::string>& sharedPorts,
                           ScaleContext context)
    : id_(QString::fromStdString(config.id)),
      idText_(config.id),
      context_(std::move(context)),
      serviceClock_(context_.serviceClock),
      signals_(std::make_unique<ScaleSignals>()) {
    build(config, sharedPorts);
}

void ServiceScale::release() {
    control_.reset();
}

void ServiceScale::reconfigure(const ScaleConfig& config, const std::map<std::int16_t, std::string>& sharedPorts) {
    // The old control and its port go first, so the device is free for the new one.
    release();
    recognised_ = false;
    stabWeight_.reset();
    lastRecognised_.reset();
    portCondition_ = PortCondition::Waiting;
    portReason_.clear();
    build(config, sharedPorts);
}

void ServiceScale::build(const ScaleConfig& config, const std::map<std::int16_t, std::string>& sharedPorts) {
    running_ = config;
    port_ = QString::fromStdString(config.port);
    device_ = port_;
    // The scale's own device is its configured port number's, so the
    // control's first open (at creation, before its properties are given)
    // reaches exactly this device and never a default one.
    const std::string comNumber = config.ComNumber.value_or(PropertyRecord::kDefaultComNumber);
    std::map<std::int16_t, std::string> devices = sharedPorts;
    devices[host::configuredPortNumber(comNumber)] = config.port;
    devices_ = devices;
    FdSerialPort::Observer observer{
        [this](const std::string& text) { context_.log("[" + id_.toStdString() + "] " + text); },
        [this] { ++counters_.portFailures; },
        [this](PortCondition condition, const std::string& device, const std::string& reason) {
            portConditionIs(condition, device, reason);
        },
    };
    const host::PortMaker makePort = [&](std::int16_t number) {
        return std::make_unique<FdSerialPort>(std::move(devices), number, std::move(observer));
    };
    control_ = host::placeControl(comNumber, makePort, {context_.timers, *this, context_.locale}, [&](ActivexORVA& control) {
        control.setEventSink(this);
        control.setPropertyChangeSink(this);
        control.setCycleObserver(this);
        // The configured values, as a host gives a saved instance its properties.
        if (config.ComNumber) control.setComNumber(*config.ComNumber);
        if (config.ComSetting) control.setComSetting(*config.ComSetting);
        if (config.DecPoint) control.setDecPoint(*config.DecPoint);
        if (config.MinFixVes) control.setMinFixVes(*config.MinFixVes);
    });
}

void ServiceScale::portConditionIs(PortCondition condition, const std::string& onDevice, const std::string& reason) {
    // The device the port's number names now: the configured one, or one of
    // [ports] after a ComNumber write. The state names the device its reason is about.
    const QString now = onDevice.empty() ? port_ : QString::fromStdString(onDevice);
    // The control retries a closed port at every poll: told once per change.
    if (condition == portCondition_ && reason == portReason_ && now == device_) return;
    const bool wasFailing = portCondition_ != PortCondition::Open && portCondition_ != PortCondition::Waiting;
    portCondition_ = condition;
    portReason_ = reason;
    device_ = now;
    const std::string device = device_.toStdString();
    if (condition == PortCondition::Open) {
        if (wasFailing) context_.log("[" + idText_ + "] port " + device + " is open again");
    } else {
        context_.log("[" + idText_ + "] port " + device + ": " + reason);
    }
    publish([&] {
        return host::JsonLine(tMs(), "Port").text("state", conditionName(condition)).textOrNull("reason", reason);
    });
}

ServiceScale::~ServiceScale() { control_.reset(); }

std::string ServiceScale::comNumberRefusal(const std::string& comNumber) const {
    const std::int16_t number = host::configuredPortNumber(comNumber);
    const auto found = devices_.find(number);
    if (found == devices_.end()) {
        std::string known;
        for (const auto& [n, path] : devices_) known += (known.empty() ? "" : ", ") + std::to_string(n) + " (" + path + ")";
        return "port " + std::to_string(number) + " names no device; this scale's ports are " + known;
    }
    if (context_.scaleOn) {
        const QString other = context_.scaleOn(deviceIdentity(found->second));
        if (!other.isEmpty() && other != id_)
            return "port " + std::to_string(number) + " is " + found->second + ", the device of scale " + other.toStdString();
    }
    // A device the scale is not on now must be there to be switched to;
    // its own device may be unplugged for a while and stays its own.
    if (found->second != device_.toStdString())
        if (std::string why = deviceRefusal(found->second); !why.empty())
            return "port " + std::to_string(number) + " is " + found->second + ": " + why;
    return {};
}

std::string ServiceScale::summary() const {
    const PropertyRecord& p = control_->properties();
    return "scale " + idText_ + ": " + device_.toStdString() + " as port " + p.ComNumber + ", " + p.ComSetting +
           ", DecPoint " + std::to_string(p.DecPoint) + ", MinFixVes " + std::to_string(p.MinFixVes) + "; port state " +
           conditionName(portCondition_);
}

// Builds an event's JSON text only when someone follows the events.
template <class Build>
void ServiceScale::publish(Build build, bool decode) {
    const bool own = signals_->followsEvents();
    const bool all = context_.hub.followed();
    if (!own && !all) return;
    const QByteArray bytes = QByteArray::fromStdString(build().text("scale", idText_).str());
    if (own) emit signals_->eventJson(bytes);
    if (all) emit context_.hub.eventJson(id_, bytes, decode);
}

void ServiceScale::stepStarting(CycleStep step) {
    if (step != CycleStep::Reconfigure && context_.onCycleTick) context_.onCycleTick(step == CycleStep::Poll);
}

void ServiceScale::stepEnded(CycleStep step) {
    if (!control_) return;  // the ticks of creation
    if (step == CycleStep::Poll) ++counters_.polls;
    if (step == CycleStep::Reconfigure) ++counters_.reconfigurations;
}

bool ServiceScale::online() const {
    return lastRecognised_ &&
           std::chrono::steady_clock::now() - *lastRecognised_ < std::chrono::milliseconds(kOnlineWindowMs);
}

std::optional<double> ServiceScale::settledWeight() const {
    if (!recognised_ || !stabWeight_) return std::nullopt;
    return stabWeight_;
}

void ServiceScale::decodeEnded(const DecodeEnd& end) {
    if (!control_) return;  // the ticks of creation
    ++counters_.decodes;
    recognised_ = end.recognised();
    if (recognised_) lastRecognised_ = std::chrono::steady_clock::now();
    else {
        ++counters_.unrecognised;
        stabWeight_.reset();
    }
    updated_ = QDateTime::currentDateTimeUtc();

    publish([&] { return decodeLine(tMs(), *control_); }, true);
    const bool nowOnline = online();
    if (nowOnline != onlineSent_) {
        onlineSent_ = nowOnline;
        emit signals_->onlineChanged(nowOnline);
    }
    if (signals_->followsDecodes()) emit signals_->decoded(state());
}

ScaleState ServiceScale::state() const {
    ScaleState s;
    s.id = id_;
    s.port = device_;
    s.online = online();
    s.showsWeight = recognised_;
    s.weight = control_->reading().VesCurrent;
    s.stable = settledWeight().has_value();
    s.VesTerminal = QString::fromStdString(control_->VesTerminal());
    s.TipTerminal = QString::fromStdString(control_->TipTerminal());
    s.StatusTerminal = QString::fromStdString(control_->StatusTerminal());
    s.UnitWeight = QString::fromStdString(control_->UnitWeight());
    const StatusFlags& f = control_->reading().Flags;
    s.VesNul = f.VesNul;
    s.VesOk = f.VesOk;
    s.VesTara = f.VesTara;
    s.VesMax = f.VesMax;
    s.updated = updated_;
    s.portState = conditionName(portCondition_);
    s.portReason = QString::fromStdString(portReason_);
    const PanelModel& p = control_->panel();
    QJsonArray shape1, shape2;
    for (std::size_t i = 0; i < PanelModel::kStabilityLamps; ++i) shape1.append(static_cast<qint64>(p.Shape1(i).fill));
    for (std::size_t i = 0; i < PanelModel::kStatusLamps; ++i) shape2.append(static_cast<qint64>(p.Shape2(i).fill));
    s.panel = QJsonObject{{"Frame1", QString::fromStdString(p.Frame1().text)},
                          {"Label2", QString::fromStdString(p.Label2().text)},
                          {"Label3", QString::fromStdString(p.Label3().text)},
                          {"Shape1", shape1},
                          {"Shape2", shape2}};
    return s;
}

ScaleFigures ServiceScale::figures() const {
    ScaleFigures f;
    f.present = true;
    f.showsWeight = recognised_;
    f.weight = control_->reading().VesCurrent;
    f.stable = settledWeight().has_value();
    f.online = online();
    const std::string kind = control_->TipTerminal();
    f.terminalKind = kind == "ORVA-1" ? 1 : kind == "ORVA-2" ? 2 : 0;
    const std::string letter = control_->StatusTerminal();
    f.statusLetter = letter.size() == 1 && letter[0] >= '@' && letter[0] <= 'O' ? letter[0] : 0;
    const StatusFlags& flags = control_->reading().Flags;
    f.VesNul = flags.VesNul;
    f.VesOk = flags.VesOk;
    f.VesTara = flags.VesTara;
    f.VesMax = flags.VesMax;
    f.portState = conditionName(portCondition_);
    f.decodes = counters_.decodes;
    f.settledCount = weighings_;
    f.lastSettled = lastSettled_;
    if (lastRecognised_)
        f.ageMs = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - *lastRecognised_).count();
    return f;
}

void ServiceScale::StabVes(double w) {
    ++counters_.stableWeights;
    stabWeight_ = w;
    lastSettled_ = w;
    // The weighing's identity, fixed now: every later look at the same
    // settled load (a /stable request, a WebSocket or MQTT client) gets it.
    settledAt_ = QDateTime::currentDateTimeUtc();
    ++weighings_;
    const QString at = settledAt_.toString(Qt::ISODateWithMs);
    publish([&] {
        return host::stabVesLine(tMs(), w).text("at", at.toStdString()).integer("seq", static_cast<long long>(weighings_));
    });
    emit signals_->stableWeight(w, QString::fromStdString(control_->UnitWeight()), settledAt_, weighings_);
}

void ServiceScale::ChangeVes(double w) {
    stabWeight_.reset();
    publish([&] { return host::changeVesLine(tMs(), w); });
}

void ServiceScale::VesStatus(std::int16_t nul, std::int16_t& ok, std::int16_t& tara, std::int16_t& max) {
    publish([&] { return host::vesStatusLine(tMs(), nul, ok, tara, max); });
}

void ServiceScale::propertyChanged(std::string_view name) {
    publish([&] { return host::propertyChangedLine(tMs(), name); });
}

void ServiceScale::messageBox(std::string_view text) {
    context_.log("[" + id_.toStdString() + "] message: " + std::string(text));
    publish([&] { return host::messageLine(tMs(), text); });
}

void ServiceScale::beep() { publish([&] { return host::beepLine(tMs()); }); }

void ServiceScale::tickFailed(const Failure& failure) {
    context_.log("[" + id_.toStdString() + "] error " + std::to_string(failure.number()) + ": " + failure.description());
    publish([&] { return host::errorLine(tMs(), failure.number(), failure.description()); });
}

void ServiceScale::propertySaved(const std::string& name, const std::string& value) {
    // The value is the control's own text of it (an integer for the numbers).
    const ScaleSetting* setting = findScaleSetting(name);
    if (setting == nullptr) return;
    if (setting->integer != nullptr) running_.*setting->integer = static_cast<std::int16_t>(std::stoi(value));
    else running_.*setting->text = value;
}

}  // namespace orva::service
