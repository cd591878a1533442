#include "tools/hosts/control_session.h"

#include <optional>

#include "control/value_conversion.h"
#include "platform/failure.h"
#include "platform/qt/qt_serial_port.h"
#include "tools/hosts/control_on_port.h"

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
        propertyFile_ = std::make_unique<qt::PropertyFile>(options_.propertiesPath);
        try {
            propertyFile_->readFile();
        } catch (const qt::PropertyFileError& error) {
            propertyFile_.reset();  // a document that did not load is never written over
            throw SessionError(error.number(), error.what());
        }
    }
    std::string comNumber = PropertyRecord::kDefaultComNumber;
    if (options_.port) comNumber = std::to_string(*options_.port);
    else if (propertyFile_) comNumber = toText(propertyFile_->read("ComNumber", PropertyValue(comNumber)));
    const std::int16_t portNumber = configuredPortNumber(comNumber);
    if (options_.simulate) startSimulator(portNumber);

    timers_.setAfterTick([this](const IntervalTimer& timer) {
        if (control_ && &timer == &control_->Timer3()) {
            ++decodes_;
            if (onDecode_) onDecode_();
        }
    });
    if (!options_.tracePath.empty()) {
        try {
            trace_ = std::make_unique<qt::FileTrace>(options_.tracePath);
        } catch (const std::exception& error) {
            throw SessionError(static_cast<std::int32_t>(FailureNumber::InternalFailure), error.what());
        }
    }
    sinceCreation_.start();
    std::optional<SessionError> restoreFailure;
    PlacedControl placed = createControlOnPort(portMap_, portNumber, {timers_, notice_, locale_, trace_.get()}, [&](ActivexORVA& control) {
        control.setEventSink(events);
        control.setPropertyChangeSink(changes);
        if (propertyFile_) {
            try {
                propertyFile_->loadInto([&](PropertyBag& bag) { control.ReadProperties(bag); });
            } catch (const qt::PropertyFileError& error) {
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
    control_ = std::move(placed.control);
    port_ = placed.port;
    if (restoreFailure) throw *restoreFailure;
}

void ControlSession::save() {
    if (!propertyFile_ || !control_) return;
    try {
        propertyFile_->save([this](PropertyBag& bag) { control_->WriteProperties(bag); });
    } catch (const qt::PropertyFileError& error) {
        throw SessionError(error.number(), error.what());
    }
}

std::string ControlSession::portDescription() const {
    std::int16_t number = 1;
    if (control_) number = control_->MSComm1().CommPort();
    std::string text = "port " + std::to_string(number) + " = " + portMap_->pathOf(number);
    if (simulator_ && portMap_->pathOf(number) == simulator_->devicePath())
        text += std::string(" (simulated ") + (*options_.simulate == sim::FrameFormat::Orva2 ? "ORVA-2" : "ORVA-1") +
                " terminal)";
    return text;
}

}  // namespace orva::host
