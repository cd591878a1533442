#pragma once
// A serial line in virtual time: the port object the control drives, and the
// terminal at the other end. The terminal answers each line feed with a frame
// after a delay, as a real one does, so the answer is read by the next poll.
// Tests choose the frames and can make the line misbehave: a silent
// terminal, a refused port number or settings text, a port that cannot be
// opened, a cable pulled and put back.

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string_view>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/serial_port.h"
#include "platform/serial_settings.h"
#include "platform/virtual/virtual_clock.h"

namespace orva::virtual_time {

class SimulatedLine {
public:
    // The device's own receive buffer, as a serial driver has one: larger
    // than a port object's input buffer, so that a reader meets the port
    // object's cap and not the line's.
    static constexpr std::size_t kDeviceBufferSize = 4096;
    static constexpr Millis kDefaultReplyDelay = 50;

    explicit SimulatedLine(VirtualClock& clock);
    ~SimulatedLine();

    // The port object for a control; it starts closed on port 1 with
    // "9600,n,8,1" and closes the line when it is destroyed.
    std::unique_ptr<SerialPort> makePort();

    // --- the terminal ---
    void setTerminalPort(std::int16_t number) { terminalPort_ = number; }
    void setFrame(std::string frame) { frame_ = std::move(frame); }  // the answer to every request
    void queueFrames(std::vector<std::string> frames);  // answers before falling back to setFrame's
    void setSilent() { frame_.clear(); }
    void setReplyDelay(Millis delay) { replyDelay_ = delay; }
    // The first `bytes` bytes of each answer are in the input buffer at once,
    // the rest after the reply delay: as a host sees it that reads a few
    // milliseconds after its request.
    void setReplyHead(std::size_t bytes) { replyHead_ = bytes; }
    void inject(const std::string& bytes);  // bytes arriving now, unasked

    // --- faults ---
    void setPortExists(std::int16_t number, bool exists);
    void refuseSettings(std::string_view text);  // a valid text the device will not take
    void failOpen(std::optional<FailureNumber> failure) { openFailure_ = failure; }
    void unplug();  // the open port fails its reads and reports itself closed
    void replug();

    // --- what happened ---
    const std::vector<Millis>& requests() const { return requests_; }  // instants of each line feed sent
    const std::string& bytesSent() const { return sent_; }
    bool isOpen() const { return open_; }
    std::int16_t portNumber() const;  // of the port object on the line
    std::string settings() const;
    int opens() const { return opens_; }

private:
    class Port;
    friend class Port;

    bool portExists(std::int16_t number) const;
    void receive(const std::string& bytes);
    void answerRequest();

    VirtualClock& clock_;
    std::int16_t terminalPort_ = 1;
    std::string frame_;
    std::deque<std::string> queued_;
    Millis replyDelay_ = kDefaultReplyDelay;
    std::size_t replyHead_ = 0;
    std::set<std::int16_t> missingPorts_;
    std::vector<SerialSettings> refusedSettings_;
    std::optional<FailureNumber> openFailure_;
    bool unplugged_ = false;

    Port* port_ = nullptr;  // the port object on the line, while there is one
    bool open_ = false;
    std::string buffer_;
    std::string sent_;
    std::vector<Millis> requests_;
    std::map<VirtualClock::Handle, VirtualClock::Handle> pendingReplies_;  // reply -> its scheduled arrival
    VirtualClock::Handle nextReply_ = 1;
    int opens_ = 0;
};

}  // namespace orva::virtual_time
