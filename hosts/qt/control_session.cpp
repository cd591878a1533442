#include "hosts/qt/control_session.h"

#include <optional>

#include "acquisition/number_text.h"
#include "control/property_table.h"
#include "control/value_conversion.h"
#include "platform/failure.h"
#include "platform/qt/qt_serial_port.h"
#include "hosts/place_control.h"

namespace orva::host {

ControlSession::ControlSession(HostOptions options, UserNotice& notice)
    : options_(std::move(options)), notice_(notice) {
    for (const auto& [number, path] : options_.com) portMap_->map(number, path);
}

ControlSession::~ControlSession() {
    control_.reset();  // timers and port go before the simulator they talk to
}

void ControlSession::startSimulator(std::int16_t portNumber) {
    sim::SimulatorOptions simOptions;
    simOptions.format = *options_.simulate;
    simulator_ = std::make_unique<sim::TerminalSimulator>(simOptions);
    try {
        simulator_->addScript(sim::parseScript(sim::builtInLoadingScript()));
        simulator_->start();
    } catch (const std::exception& error) {
        throw SessionError(static_cast<std::int32_t>(FailureNumber::InternalFailure),
                           std::string("cannot start the simulated terminal: ") + error.what());
    }
    // The port the control will poll, whatever the document or --com say.
    portMap_->map(portNumber, simulator_->devicePath());
}

void ControlSession::start(ControlEvents* events, PropertyChangeSink* changes, std::function<void()> onDecode) {
    onDecode_ = std::move(onDecode);

    // The document is read before the control exists, so that the control
    // is created on the port it will be configured for.
    if (!options_.propertiesPath.empty()) {
        propertyFile_ = std::make_unique<host::PropertyFile>(options_.propertiesPath);
        try {
            propertyFile_->readFile();
        } catch (const host::PropertyFileError& error) {
            propertyFile_.reset();  // a document that did not load is never written over
            throw SessionError(error.number(), error.what());
        }
    }
    std::string comNumber = PropertyRecord::kDefaultComNumber;
    if (options_.port) comNumber = std::to_string(*options_.port);
    else if (propertyFile_)
        comNumber = toText(propertyFile_->read(propertyOf(&PropertyRecord::ComNumber).name, PropertyValue(comNumber)));
    const std::int16_t portNumber = configuredPortNumber(comNumber);
    if (propertyFile_) documentWarnings(portNumber);
    if (options_.simulate) startSimulator(portNumber);

    tap_.forward = events;
    if (!options_.tracePath.empty()) {
        try {
            trace_ = std::make_unique<qt::FileTrace>(options_.tracePath);
        } catch (const std::exception& error) {
            throw SessionError(static_cast<std::int32_t>(FailureNumber::InternalFailure), error.what());
        }
    }
    sinceCreation_.start();
    std::optional<SessionError> restoreFailure;
    qt::QtSerialPort* made = nullptr;  // the session's once the control holds it
    const PortMaker makePort = [&](std::int16_t) {
        auto port = std::make_unique<qt::QtSerialPort>(portMap_);
        made = port.get();
        return port;
    };
    control_ = placeControl(comNumber, makePort, {timers_, notice_, locale_, trace_.get()}, [&](ActivexORVA& control) {
        control.setEventSink(&tap_);
        control.setPropertyChangeSink(changes);
        control.setCycleObserver(this);
        if (propertyFile_) {
            try {
                propertyFile_->loadInto([&](PropertyBag& bag) { control.ReadProperties(bag); });
            } catch (const host::PropertyFileError& error) {
                propertyFile_.reset();
                restoreFailure.emplace(error.number(), error.what());
                return;
            }
        }
        if (options_.port) control.setComNumber(std::to_string(*options_.port));
        if (options_.settings) control.setComSetting(*options_.settings);
        if (options_.decPoint) control.setDecPoint(*options_.decPoint);
        if (options_.minFix) control.setMinFixVes(*options_.minFix);
    });
    port_ = made;
    if (restoreFailure) throw *restoreFailure;
    checkPort();
}

void ControlSession::stepEnded(CycleStep) {
    if (control_) checkPort();
}

void ControlSession::decodeEnded(const DecodeEnd& end) {
    if (!control_) return;
    ++decodes_;
    lastDecode_.recognised = end.recognised();
    lastDecode_.settled = tap_.settled;
    lastDecode_.weight = tap_.settled ? tap_.settledWeight : end.weight;
    tap_.settled = false;
    if (onDecode_) onDecode_();
}

void ControlSession::checkPort() {
    if (port_ == nullptr) return;
    // The reason is worked out once per failure, not at every tick: it may
    // look at the device, which the control retries every poll anyway.
    const std::optional<Failure>& failure = port_->lastOpenFailure();
    const bool sameFailure = failure.has_value() == reasonFor_.has_value() &&
                             (!failure || (failure->number() == reasonFor_->number() &&
                                           failure->description() == reasonFor_->description()));
    PortState state;
    state.open = port_->PortOpen();
    if (!state.open) {
        if (sameFailure && portState_ && !portState_->open) state.reason = portState_->reason;
        else state.reason = host::portState(*port_).reason;
    }
    reasonFor_ = failure;
    if (portState_ && *portState_ == state) return;
    portState_ = state;
    if (onPortChange_) onPortChange_(state);
}

// Mistakes in the document that load without an error but would leave the
// user wondering: a name in the wrong letter case is an unknown key, and a
// port number the poll check cannot read keeps the control on its port.
void ControlSession::documentWarnings(std::int16_t portNumber) {
    std::vector<std::string_view> kNames;
    for (const PropertyInfo& p : propertyTable())
        if (p.persisted) kNames.push_back(p.name);
    warnings_ = propertyFile_->caseMismatches(kNames);
    const std::string_view comNumber = propertyOf(&PropertyRecord::ComNumber).name;
    if (const int line = propertyFile_->lineOf(comNumber); line > 0) {
        const std::string text = toText(propertyFile_->read(comNumber, PropertyValue()));
        const auto number = parseWholeNumber(text);
        if (!number || *number < 0.5 || *number >= 32767.5)
            warnings_.push_back(propertyFile_->path() + ":" + std::to_string(line) + ": " + std::string(comNumber) + " \"" + text +
                                "\" is not a port number from 1 to 32767; the control stays on port " +
                                std::to_string(portNumber));
    }
}

void ControlSession::save() {
    if (!propertyFile_ || !control_) return;
    try {
        propertyFile_->save([this](PropertyBag& bag) { control_->WriteProperties(bag); });
    } catch (const host::PropertyFileError& error) {
        throw SessionError(error.number(), error.what());
    }
}

std::string ControlSession::portDescription() const {
    const std::int16_t number = portNumber();
    return "port " + std::to_string(number) + " = " + deviceText(number);
}

std::string ControlSession::portStateText() const {
    const std::int16_t number = portNumber();
    return "port " + std::to_string(number) + " " + describe(portState()) + " | " + deviceText(number);
}

std::string ControlSession::deviceText(std::int16_t number) const {
    std::string text = portMap_->pathOf(number);
    if (simulator_ && text == simulator_->devicePath())
        text += std::string(" (simulated ") + (*options_.simulate == sim::FrameFormat::Orva2 ? "ORVA-2" : "ORVA-1") +
                " terminal)";
    return text;
}

}  // namespace orva::host
