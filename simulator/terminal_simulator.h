#pragma once
// A weighing terminal on a pseudo-terminal: every line feed it receives is a
// request, answered after a short delay with one frame of the current weight.
// A script shapes the answers (see sim_script.h). It runs on the event loop
// of the thread that starts it, so a host can run it beside a control in one
// process; the standalone orva-sim runs it alone.

#include <QObject>
#include <QSocketNotifier>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <string_view>
#include <vector>

#include "simulator/pseudo_terminal.h"
#include "simulator/sim_script.h"

namespace orva::sim {

struct SimulatorOptions {
    FrameFormat format = FrameFormat::Orva1;
    int decimals = 1;
    std::string prefix = "\x02";
    std::string suffix = "kg\r\n";
    int replyDelayMs = 40;
    std::string linkPath;  // empty: no link, the device path is the slave's
    std::uint32_t seed = 1;
};

class TerminalSimulator {
public:
    explicit TerminalSimulator(SimulatorOptions options);
    ~TerminalSimulator();
    TerminalSimulator(const TerminalSimulator&) = delete;
    TerminalSimulator& operator=(const TerminalSimulator&) = delete;

    // Opens the pseudo-terminal (and the link). Throws std::runtime_error.
    void start();
    // The path a port opens: the link when there is one, else the slave.
    std::string devicePath() const;
    bool plugged() const { return pty_ != nullptr; }

    // Commands run in order; more may be added at any time.
    void addScript(std::vector<ScriptCommand> commands);
    // Hosts that own the program's exit are told of "quit".
    void setOnQuit(std::function<void()> onQuit) { onQuit_ = std::move(onQuit); }
    // Told of every unplug and replug, with the device path.
    void setOnLog(std::function<void(const std::string&)> onLog) { onLog_ = std::move(onLog); }
    // Told of the bytes each write put on the line, as the line took them;
    // tests compare what a port read with what the terminal really sent.
    void setOnWrite(std::function<void(std::string_view)> onWrite) { onWrite_ = std::move(onWrite); }

    double weight() const { return weight_; }
    std::uint64_t requests() const { return requests_; }

private:
    struct Answer {
        enum class Kind { Frame, Silent, Garbage, Bytes, Flood } kind = Kind::Frame;
        std::optional<double> weight;  // Frame: this weight instead of the current one
        std::string bytes;             // Bytes: exactly these
        int delayMs = -1;              // -1: the usual reply delay
        int floodBytes = 0;
    };

    void plug();
    void unplug();
    void onReadable();
    void onWritable();
    void answerRequest();
    void send(std::string bytes, int delayMs);
    void writePending();
    std::string currentFrame(double weight) const;
    std::string garbage();
    void runScript();
    bool scriptWaits() const;

    // A terminal unplugged again and again (a script that loops) keeps the
    // numbers of its last lines, not all of them.
    static constexpr std::size_t kRetiredLinesKept = 32;

    SimulatorOptions options_;
    std::unique_ptr<PseudoTerminal> pty_;
    // The slave handles of the lines unplugged: each keeps its number from
    // going to another terminal while a program may still poll its name.
    std::deque<FileDescriptor> retired_;
    std::unique_ptr<DeviceLink> link_;
    std::unique_ptr<QSocketNotifier> readNotifier_;
    std::unique_ptr<QSocketNotifier> writeNotifier_;
    std::unique_ptr<QObject> context_;  // owns pending answers; gone with the pseudo-terminal

    std::string outgoing_;
    std::deque<Answer> answers_;
    std::vector<ScriptCommand> script_;
    std::size_t next_ = 0;
    bool sleeping_ = false;
    bool inScript_ = false;
    double weight_ = 0;
    std::uint64_t requests_ = 0;
    std::mt19937 random_;
    std::function<void()> onQuit_;
    std::function<void(const std::string&)> onLog_;
    std::function<void(std::string_view)> onWrite_;
    std::unique_ptr<QObject> scriptContext_;
};

}  // namespace orva::sim
