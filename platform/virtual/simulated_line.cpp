#include "platform/virtual/simulated_line.h"

#include "platform/serial_settings.h"

namespace orva::virtual_time {

class SimulatedLine::Port : public SerialPort {
public:
    explicit Port(SimulatedLine& line) : line_(line) {}
    ~Port() override { line_.open_ = false; }

    std::int16_t CommPort() const override { return line_.portNumber_; }
    void setCommPort(std::int16_t number) override {
        if (line_.open_) throw Failure(FailureNumber::PortNumberWhileOpen, "Port number can only be changed while the port is closed");
        if (number < 1) throw Failure(FailureNumber::InvalidPortNumber, "Invalid port number");
        line_.portNumber_ = number;
    }

    bool PortOpen() const override { return line_.open_; }
    void setPortOpen(bool open) override {
        if (!open) {
            line_.open_ = false;
            return;
        }
        if (line_.open_) throw Failure(FailureNumber::PortAlreadyOpen, "Port already open");
        if (line_.openFailure_) throw Failure(*line_.openFailure_, "The port cannot be opened");
        if (!line_.portExists(line_.portNumber_))
            throw Failure(FailureNumber::NoSuchDevice, "No such device: COM" + std::to_string(line_.portNumber_));
        line_.open_ = true;
        line_.buffer_.clear();
        ++line_.opens_;
    }

    std::string Settings() const override { return line_.settings_; }
    void setSettings(std::string_view text) override {
        if (!parseSerialSettings(text)) throw Failure(FailureNumber::InvalidSettings, "Invalid settings: " + std::string(text));
        if (line_.refusedSettings_.count(std::string(text)) != 0)
            throw Failure(FailureNumber::SettingsNotSupported, "The device cannot take the settings " + std::string(text));
        line_.settings_.assign(text);
    }

    void Output(std::string_view bytes) override {
        requireOpen();
        line_.sent_.append(bytes);
        for (char c : bytes)
            if (c == '\n') line_.answerRequest();
    }

    std::string Input() override {
        requireOpen();
        std::string taken;
        taken.swap(line_.buffer_);
        return taken;
    }

private:
    void requireOpen() const {
        if (line_.open_ && line_.unplugged_) {
            line_.open_ = false;  // the device went away: the port reports itself closed
            throw Failure(FailureNumber::DeviceFailure, "The device is gone");
        }
        if (!line_.open_) throw Failure(FailureNumber::PortNotOpen, "Port is not open");
    }
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

void SimulatedLine::unplug() { unplugged_ = true; }
void SimulatedLine::replug() { unplugged_ = false; }

bool SimulatedLine::portExists(std::int16_t number) const {
    if (number == terminalPort_ && unplugged_) return false;
    return missingPorts_.count(number) == 0;
}

void SimulatedLine::receive(const std::string& bytes) {
    if (!open_ || unplugged_) return;
    // What does not fit into the input buffer is lost, as on an overrun.
    const std::size_t room = kInputBufferSize - buffer_.size();
    buffer_.append(bytes, 0, std::min(room, bytes.size()));
}

void SimulatedLine::answerRequest() {
    requests_.push_back(clock_.now());
    if (portNumber_ != terminalPort_ || unplugged_) return;
    std::string frame = frame_;
    if (!queued_.empty()) {
        frame = std::move(queued_.front());
        queued_.pop_front();
    }
    if (frame.empty()) return;
    // Remember the reply until it arrives, so a line that goes away first can cancel it.
    const VirtualClock::Handle handle = nextReply_++;
    pendingReplies_[handle] = clock_.schedule(clock_.now() + replyDelay_, [this, handle, frame] {
        pendingReplies_.erase(handle);
        receive(frame);
    });
}

}  // namespace orva::virtual_time
