#include "tools/hosts/control_session.h"

#include <algorithm>

#include "control/value_conversion.h"
#include "platform/failure.h"
#include "platform/qt/qt_serial_port.h"

namespace orva::host {

ControlSession::ControlSession(HostOptions options, UserNotice& notice)
    : options_(std::move(options)), notice_(notice) {
    for (const auto& [number, path] : options_.com) portMap_->map(number, path);
}

ControlSession::~ControlSession() {
    control_.reset();  // timers and port go before the simulator they talk to
}

void ControlSession::startSimulator() {
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
    // The port the control will poll: the one asked for, or the first.
    portMap_->map(options_.port.value_or(1), simulator_->devicePath());
}

void ControlSession::start(ControlEvents* events, PropertyChangeSink* changes, std::function<void()> onDecode) {
    onDecode_ = std::move(onDecode);
    if (options_.simulate) startSimulator();

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
    control_ = std::make_unique<ActivexORVA>(
        ControlPlatform{std::make_unique<qt::QtSerialPort>(portMap_), timers_, notice_, locale_, trace_.get()});
    control_->setEventSink(events);
    control_->setPropertyChangeSink(changes);

    if (!options_.propertiesPath.empty()) {
        propertyFile_ = std::make_unique<qt::PropertyFile>(options_.propertiesPath);
        try {
            propertyFile_->load([this](PropertyBag& bag) { control_->ReadProperties(bag); });
        } catch (const qt::PropertyFileError& error) {
            propertyFile_.reset();  // a document that did not load is never written over
            throw SessionError(error.number(), error.what());
        }
    }
    if (options_.port) control_->setComNumber(std::to_string(*options_.port));
    if (options_.settings) control_->setComSetting(*options_.settings);
    if (options_.decPoint) control_->setDecPoint(*options_.decPoint);
    if (options_.minFix) control_->setMinFixVes(*options_.minFix);

    // A saved port number that names no mapped device polls the simulated
    // terminal too, so --simulate works with any document.
    if (simulator_ && !options_.port) {
        try {
            const std::int16_t saved = textToInt16(control_->ComNumber());
            const bool mapped = std::any_of(options_.com.begin(), options_.com.end(),
                                            [&](const auto& m) { return m.first == saved; });
            if (!mapped && saved >= 1) portMap_->map(saved, simulator_->devicePath());
        } catch (const Failure&) {
            // Not a number: the control keeps polling the port it has.
        }
    }
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
