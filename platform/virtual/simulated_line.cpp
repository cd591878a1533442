#include "platform/virtual/simulated_line.h"

#include <algorithm>

#include "platform/checked_serial_port.h"

namespace orva::virtual_time {

class SimulatedLine::Port : public CheckedSerialPort {
public:
    explicit Port(SimulatedLine& line) : line_(line) { line_.port_ = this; }
    ~Port() override {
        line_.open_ = false;
        if (line_.port_ == this) line_.port_ = nullptr;
    }

private:
    DeviceState deviceState() const override {
        if (!line_.open_) return DeviceState::Closed;
        return line_.unplugged_ ? DeviceState::Vanished : DeviceState::Open;
    }
    void openDevice(std::int16_t number, const SerialSettings&) override {
        if (line_.openFailure_) throw deviceFailure(*line_.openFailure_, "the port cannot be opened");
        if (!line_.portExists(number)) throw deviceFailure(FailureNumber::NoSuchDevice);
        line_.open_ = true;
        line_.buffer_.clear();
        ++line_.opens_;
    }
    void closeDevice() override { line_.open_ = false; }
    std::string refusalOf(const SerialSettings& settings) override {
        // The line knows its refusals whether or not the port is open, as a
        // device asked at the write would give them.
        const auto& refused = line_.refusedSettings_;
        return std::find(refused.begin(), refused.end(), settings) != refused.end() ? "refused by the device" : "";
    }
    void writeDevice(std::string_view bytes) override {
        line_.sent_.append(bytes);
        for (char c : bytes)
            if (c == '\n') line_.answerRequest();
    }
    void readDevice(std::string& into, std::size_t room) override {
        into.append(line_.buffer_, 0, std::min(room, line_.buffer_.size()));
        line_.buffer_.clear();
    }
    std::string deviceName() const override { return "COM" + std::to_string(CommPort()); }

    SimulatedLine& line_;
};

SimulatedLine::SimulatedLine(VirtualClock& clock) : clock_(clock) {}

SimulatedLine::~SimulatedLine() {
    for (const auto& [reply, scheduled] : pendingReplies_) clock_.cancel(scheduled);
}

std::unique_ptr<SerialPort> SimulatedLine::makePort() { return std::make_unique<Port>(*this); }

void SimulatedLine::queueFrames(std::vector<std::string> frames) {
    for (auto& frame : frames) queued_.push_back(std::move(frame));
}

void SimulatedLine::inject(const std::string& bytes) { receive(bytes); }

void SimulatedLine::setPortExists(std::int16_t number, bool exists) {
    if (exists) missingPorts_.erase(number);
    else missingPorts_.insert(number);
}

void SimulatedLine::refuseSettings(std::string_view text) {
    if (const auto parsed = parseSerialSettings(text)) refusedSettings_.push_back(*parsed);
}

std::int16_t SimulatedLine::portNumber() const { return port_ != nullptr ? port_->CommPort() : 1; }
std::string SimulatedLine::settings() const {
    return port_ != nullptr ? port_->Settings() : CheckedSerialPort::kDefaultSettings;
}

void SimulatedLine::unplug() { unplugged_ = true; }
void SimulatedLine::replug() { unplugged_ = false; }

bool SimulatedLine::portExists(std::int16_t number) const {
    if (number == terminalPort_ && unplugged_) return false;
    return missingPorts_.count(number) == 0;
}

void SimulatedLine::receive(const std::string& bytes) {
    if (!open_ || unplugged_) return;
    // What does not fit into the device's buffer is lost, as on an overrun.
    const std::size_t room = kDeviceBufferSize - buffer_.size();
    buffer_.append(bytes, 0, std::min(room, bytes.size()));
}

void SimulatedLine::answerRequest() {
    requests_.push_back(clock_.now());
    if (portNumber() != terminalPort_ || unplugged_) return;
    std::string frame = frame_;
    if (!queued_.empty()) {
        frame = std::move(queued_.front());
        queued_.pop_front();
    }
    if (frame.empty()) return;
    if (replyHead_ > 0) {
        receive(frame.substr(0, replyHead_));
        frame.erase(0, replyHead_);
        if (frame.empty()) return;
    }
    // Remember the reply until it arrives, so a line that goes away first can cancel it.
    const VirtualClock::Handle handle = nextReply_++;
    pendingReplies_[handle] = clock_.schedule(clock_.now() + replyDelay_, [this, handle, frame] {
        pendingReplies_.erase(handle);
        receive(frame);
    });
}

}  // namespace orva::virtual_time
