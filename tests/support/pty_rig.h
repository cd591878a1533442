#pragma once
// A control on real Qt timers polling the simulated terminal on a real
// pseudo-terminal, with a record of every poll, every decode, every event,
// every byte the terminal put on the line and every unplug and replug. Each
// record carries the milliseconds since the rig was made and one sequence
// number that orders them all: everything runs on this thread's event loop,
// so the order is exact. The integration tests read what a host would see;
// the fault tests compare it with what the terminal really sent.

#include <QElapsedTimer>
#include <algorithm>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "control/activex_orva.h"
#include "platform/qt/port_map.h"
#include "platform/qt/qt_serial_port.h"
#include "platform/qt/qt_timers.h"
#include "platform/virtual/virtual_services.h"
#include "tests/support/event_loop.h"
#include "tests/support/terminal_on_pty.h"

namespace orva::testing {

// The read a poll (Timer1) left for the next decode.
struct Poll {
    std::uint64_t seq;
    long long tMs;
    std::string received;
    bool openAfter;
};

// What the panel and the control showed after a decode (Timer3).
struct Decode {
    static constexpr std::size_t kBeforeFirstPoll = static_cast<std::size_t>(-1);

    std::uint64_t seq;
    long long tMs;
    std::size_t poll;  // index of the poll whose read this decode took, or kBeforeFirstPoll
    std::string frame, label2, label3, vesTerminal, statusTerminal;
    std::size_t receivedBytes;
};

struct Event {
    std::uint64_t seq;
    long long tMs;
    std::size_t decode;  // index of the decode that raised it
    std::string name;    // "ChangeVes", "StabVes", "VesStatus"
    std::string what;    // with its arguments where the weight does not say all: "VesStatus 0 1 0 0"
    double weight = 0;
};

struct LineChange {
    std::uint64_t seq;
    long long tMs;
    bool plugged;
};

class PtyRig : public TerminalOnPty, public ControlEvents, private CycleObserver {
public:
    // The simulator runs `script`; the control is made at once unless
    // `startNow` is false; then start() makes it, for tests that prepare the
    // device first.
    explicit PtyRig(const std::string& script, sim::SimulatorOptions options = {}, bool linked = true,
                    bool startNow = true)
        : TerminalOnPty(options, linked) {
        clock.start();
        simulator->setOnWrite([this](std::string_view bytes) {
            ++seq_;
            wire_.append(bytes);
        });
        simulator->setOnLog([this](const std::string& line) {
            if (line.rfind("plugged in", 0) == 0) {
                // No read can span two lines: a byte that never occurs in a
                // frame keeps reads from matching across the boundary.
                wire_ += '\xff';
                changes.push_back({++seq_, now(), true});
            } else if (line.rfind("unplugged", 0) == 0) {
                changes.push_back({++seq_, now(), false});
            } else {
                log.push_back(line);
            }
        });
        startTerminal(script);

        if (startNow) start();
    }
    // The simulator logs its last unplug into the records, so it goes before them.
    ~PtyRig() override {
        control.reset();
        simulator.reset();
    }
    PtyRig(const PtyRig&) = delete;
    PtyRig& operator=(const PtyRig&) = delete;

    void start() {
        auto port = std::make_unique<qt::QtSerialPort>(map);
        serial = port.get();
        control = std::make_unique<ActivexORVA>(ControlPlatform{std::move(port), timers, notice, locale, &trace});
        control->setEventSink(this);
        control->setCycleObserver(this);
    }

    void StabVes(double w) override { record("StabVes", "StabVes", w); }
    void ChangeVes(double w) override { record("ChangeVes", "ChangeVes", w); }
    void VesStatus(std::int16_t nul, std::int16_t& ok, std::int16_t& tara, std::int16_t& max) override {
        record("VesStatus", "VesStatus " + std::to_string(nul) + " " + std::to_string(ok) + " " + std::to_string(tara) +
                                " " + std::to_string(max),
               0);
    }

    bool runUntil(const std::function<bool()>& pred, int timeoutMs) { return testing::runUntil(pred, timeoutMs); }
    bool runDecodes(std::size_t n, int timeoutMs) {
        return runUntil([&] { return decodes.size() >= n; }, timeoutMs);
    }
    long long now() const { return clock.elapsed(); }
    const std::string& wire() const { return wire_; }
    std::uint64_t seq() const { return seq_; }
    int count(const std::string& name) const {
        return static_cast<int>(std::count_if(events.begin(), events.end(), [&](const Event& e) { return e.name == name; }));
    }

    // The control's wire trace, its last lines with the time they came.
    struct RecentTrace : Trace {
        static constexpr std::size_t kKept = 2000;
        explicit RecentTrace(const QElapsedTimer& clock) : clock_(clock) {}
        void line(std::string_view text) override {
            if (lines.size() == kKept) lines.erase(lines.begin(), lines.begin() + kKept / 2);
            lines.emplace_back(clock_.elapsed(), std::string(text));
        }
        std::string since(long long tMs) const {
            std::string out;
            for (const auto& [at, text] : lines)
                if (at >= tMs) out += "  " + std::to_string(at) + " ms " + text + "\n";
            return out;
        }
        std::vector<std::pair<long long, std::string>> lines;

    private:
        const QElapsedTimer& clock_;
    };

    qt::QtTimerFactory timers;
    virtual_time::RecordingNotice notice;
    virtual_time::FixedLocale locale{"."};
    QElapsedTimer clock;
    RecentTrace trace{clock};
    qt::QtSerialPort* serial = nullptr;  // owned by the control
    std::unique_ptr<ActivexORVA> control;

    std::vector<Poll> polls;
    std::vector<Decode> decodes;
    std::vector<Event> events;
    std::vector<LineChange> changes;
    std::vector<std::string> log;  // the simulator's lines other than unplug and replug
    int reconfigurations = 0;      // ticks of Timer2, which reapplies changed port settings

private:
    void record(const char* name, std::string what, double weight) {
        events.push_back({++seq_, now(), decodes.size(), name, std::move(what), weight});
    }

    void stepEnded(CycleStep step) override {
        if (!control) return;
        if (step == CycleStep::Poll) {
            polls.push_back({++seq_, now(), control->reading().ReceivedText, control->MSComm1().PortOpen()});
        } else if (step == CycleStep::Decode) {
            const auto& panel = control->panel();
            decodes.push_back({++seq_, now(), polls.empty() ? Decode::kBeforeFirstPoll : polls.size() - 1,
                               panel.Frame1().text, panel.Label2().text, panel.Label3().text, control->VesTerminal(),
                               control->StatusTerminal(), control->reading().ReceivedText.size()});
        } else {
            ++reconfigurations;
        }
    }

    std::string wire_;
    std::uint64_t seq_ = 0;
};

}  // namespace orva::testing
