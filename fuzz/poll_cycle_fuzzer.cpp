// The poll cycle of a control in virtual time under an arbitrary interleaving
// of what the line, the terminal and the host may do between two ticks:
// replies and floods, a pulled cable, missing ports, ports that cannot be
// opened, settings the device refuses, and host writes of ComNumber and
// ComSetting with any text. Between ticks exactly one timer is enabled and
// something is always scheduled; every reconfiguration beeps, shows one or
// two messages and leaves ComNumber and ComSetting naming what the port has.
//
// Input: a sequence of operations, each an opcode byte, a byte whose low two
// bits say how many clock actions follow it, and for some a payload (a
// length byte and bytes, or one byte).

#include <cmath>
#include <cstdint>
#include <string>

#include "control/activex_orva.h"
#include "control/value_conversion.h"
#include "fuzz/fuzz_support.h"
#include "platform/failure.h"
#include "platform/serial_settings.h"
#include "platform/virtual/simulated_line.h"
#include "platform/virtual/virtual_clock.h"
#include "platform/virtual/virtual_services.h"

namespace {

using namespace orva;
using namespace orva::fuzz;
using namespace orva::virtual_time;

constexpr std::string_view kRefusalPrefix = "Данные СОМ порта заданы некорректно: ";

class PollCycleRun {
public:
    PollCycleRun() {
        line_.setFrame("\x02WW  1.500kg\r\n");
        control_ = std::make_unique<ActivexORVA>(ControlPlatform{line_.makePort(), timers_, notice_, locale_});
    }

    void apply(FuzzInput& in) {
        const std::uint8_t op = in.byte();
        const int actions = in.byte() & 3;
        switch (op % 12) {
            case 0: line_.inject(in.chunk()); break;
            case 1: line_.setFrame(in.chunk()); break;
            case 2: line_.setSilent(); break;
            case 3: line_.unplug(); break;
            case 4: line_.replug(); break;
            case 5: control_->setComNumber(in.chunk()); break;
            case 6: control_->setComSetting(in.chunk()); break;
            case 7: {
                // The device never refuses what it has now: a port cannot
                // be left with settings it would not take back.
                const std::string text = in.chunk();
                if (parseSerialSettings(text) != parseSerialSettings(line_.settings())) line_.refuseSettings(text);
                break;
            }
            case 8: {
                const std::uint8_t b = in.byte();
                line_.setPortExists(static_cast<std::int16_t>(b % 8), (b & 8) != 0);
                break;
            }
            case 9: {
                const std::uint8_t b = in.byte();
                line_.failOpen(b % 3 == 0 ? std::nullopt
                                          : std::optional<FailureNumber>(b % 3 == 1 ? FailureNumber::DeviceBusy
                                                                                    : FailureNumber::PermissionDenied));
                break;
            }
            case 10: line_.setTerminalPort(static_cast<std::int16_t>(in.byte() % 8)); break;
            default: control_->setComNumber(std::to_string(static_cast<int>(in.int16()))); break;
        }
        for (int i = 0; i < actions; ++i) step();
    }

    // A few whole cycles at the end, so every input reaches the ticks.
    void settle() {
        for (int i = 0; i < 12; ++i) step();
    }

private:
    int enabledTimers() const {
        return int(control_->Timer1().Enabled()) + int(control_->Timer2().Enabled()) +
               int(control_->Timer3().Enabled());
    }

    void step() {
        const bool reconfigurationDue = control_->Timer2().Enabled();
        const bool decodeDue = control_->Timer3().Enabled();
        const auto messagesBefore = notice_.messages.size();
        const int beepsBefore = notice_.beeps;
        require(clock_.runNext(), "something is always scheduled: the cycle never stops");
        if (clock_.now() >= ActivexORVA::kTimer3Interval)
            require(enabledTimers() == 1, "exactly one timer enabled between ticks", std::to_string(enabledTimers()));
        require(notice_.failures.empty(), "no tick fails",
                notice_.failures.empty() ? "" : notice_.failures.front().description());

        if (reconfigurationDue && !control_->Timer2().Enabled()) checkReconfiguration(messagesBefore, beepsBefore);
        else require(notice_.messages.size() == messagesBefore && notice_.beeps == beepsBefore,
                     "only a reconfiguration beeps or shows a message");
        if (decodeDue && !control_->Timer3().Enabled()) checkDecode();
    }

    void checkReconfiguration(std::size_t messagesBefore, int beepsBefore) {
        const std::size_t shown = notice_.messages.size() - messagesBefore;
        require(notice_.beeps == beepsBefore + 1, "a reconfiguration beeps once");
        require(shown == 1 || shown == 2, "a reconfiguration shows one or two messages");
        require(notice_.messages[messagesBefore].rfind("сом порт: ", 0) == 0,
                "the first message names the port settings", notice_.messages[messagesBefore]);
        if (shown == 2)
            require(notice_.messages.back().rfind(kRefusalPrefix, 0) == 0, "the second message reports the refusal",
                    notice_.messages.back());
        bool named = false;
        try {
            named = textToInt16(control_->ComNumber()) == line_.portNumber() &&
                    control_->ComSetting() == line_.settings();
        } catch (const Failure&) {
        }
        require(named, "a reconfiguration leaves ComNumber and ComSetting naming the port",
                fuzz::shown(control_->ComNumber()) + " " + fuzz::shown(control_->ComSetting()) + " vs " +
                    std::to_string(line_.portNumber()) + " " + fuzz::shown(line_.settings()));
        require(!line_.isOpen(), "the port stays closed after a reconfiguration");
        notice_.messages.clear();  // keep the record short over long inputs
    }

    void checkDecode() {
        const ReadingRecord& r = control_->reading();
        require(std::isfinite(r.VesCurrent), "the weight is finite");
        require(r.StabStep >= -1 && r.StabStep <= 2, "StabStep stays in -1..2");
        const std::string& status = control_->StatusTerminal();
        require(status.size() == 1 && ((status[0] >= '@' && status[0] <= 'O') || status[0] == 'X'),
                "StatusTerminal is a status letter or X", fuzz::shown(status));
        require(control_->Timer1().Enabled(), "the decode enables Timer1");
    }

    VirtualClock clock_;
    VirtualTimerFactory timers_{clock_};
    RecordingNotice notice_;
    FixedLocale locale_{"."};
    SimulatedLine line_{clock_};
    std::unique_ptr<ActivexORVA> control_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    PollCycleRun run;
    for (int ops = 0; !in.done() && ops < 64; ++ops) run.apply(in);
    run.settle();
    return 0;
}
