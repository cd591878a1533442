// The three-timer cycle: Timer1 polls, Timer3 decodes, Timer2 reconfigures
// the port. Each tick disables its own timer first and enables the next one
// last, so that between ticks exactly one timer is enabled.

#include <cmath>
#include <exception>
#include <optional>
#include <string>

#include "acquisition/control_parts.h"
#include "acquisition/frame_decoding.h"
#include "acquisition/int16_conversion.h"
#include "acquisition/number_text.h"
#include "platform/failure.h"

namespace orva {
namespace {

std::string failureText(const Failure& failure) {
    return std::to_string(failure.number()) + " " + failure.description();
}

constexpr std::string_view kPollRequest = "\n";
// Both texts are Cyrillic throughout, "сом" and "СОМ" included.
constexpr std::string_view kPortMessage = "сом порт: ";
constexpr std::string_view kPortErrorMessage = "Данные СОМ порта заданы некорректно: ";

// The port-handling steps run under a skip-on-failure rule: a failing step is
// abandoned, the handler goes on with the next one, and the last failure is
// remembered for the handlers that report it.
class Guard {
public:
    explicit Guard(const ControlParts& parts) : parts_(parts) {}

    template <class Step>
    bool run(Step&& step) {
        try {
            step();
            return true;
        } catch (const Failure& failure) {
            last_ = failure;
        } catch (const std::exception& error) {
            last_ = Failure(FailureNumber::InternalFailure, error.what());
        }
        return false;
    }
    // The same, with the step and its result in the wire trace.
    template <class Describe, class Step>
    bool traced(Describe&& describe, Step&& step) {
        const bool ok = run(std::forward<Step>(step));
        traceLine(parts_, [&] {
            return describe() + (ok ? std::string(": ok") : ": failed " + failureText(*last_));
        });
        return ok;
    }
    const std::optional<Failure>& lastFailure() const { return last_; }

private:
    const ControlParts& parts_;
    std::optional<Failure> last_;
};

// The port has the configured number and settings. The number is compared
// the way it is given to the port, rounded half to even, so a ComNumber with
// a fraction does not reconfigure at every poll. A ComNumber that is not a
// number throws: the caller counts that test as holding.
bool portMatchesConfiguration(const ControlParts& parts) {
    const auto number = parseWholeNumber(parts.properties.ComNumber);
    if (!number) throw Failure(FailureNumber::TypeMismatch, "Type mismatch");
    return std::nearbyint(*number) == parts.MSComm1.CommPort() &&
           parts.properties.ComSetting == parts.MSComm1.Settings();
}

std::string portText(const SerialPort& port) {
    return "port " + std::to_string(port.CommPort()) + " " + port.Settings();
}

}  // namespace

void Default_Flag(ReadingRecord& reading) {
    reading.StabFlag = 0;
    reading.StabFlagPrev = 0;
    reading.StatusChar = 'X';
}

void Init_VC(ControlParts& parts) {
    Default_Flag(parts.reading);
    Guard guard(parts);
    SerialPort& port = parts.MSComm1;
    parts.reading.Grid.portOpened();
    if (!guard.traced([&] { return "open " + portText(port); }, [&] { port.setPortOpen(true); })) return;
    guard.traced([&] { return "set settings " + parts.properties.ComSetting; },
                 [&] { port.setSettings(parts.properties.ComSetting); });
}

void Timer1_Timer(ControlParts& parts) {
    SerialPort& port = parts.MSComm1;
    ReadingRecord& reading = parts.reading;
    Guard guard(parts);
    // The request goes out only through a port that was open when the poll
    // began: a closed port sends nothing, so after an open the first request
    // goes out one poll later, as it always did.
    const bool wasOpen = port.PortOpen();
    if (!wasOpen) {
        reading.Grid.portOpened();
        guard.traced([&] { return "open " + portText(port); }, [&] { port.setPortOpen(true); });
    }
    // A failed read leaves nothing to decode: the previous reply decoded
    // again would show a silent scale's last weight as live.
    std::string& received = reading.ReceivedText;
    FrameGrid::Verdict step;
    if (!guard.run([&] { received = port.Input(); })) {
        received.clear();
        reading.Grid.readFailed();
        step.clause = StepClause::Unknown;
        traceLine(parts, [&] { return "recv failed " + failureText(*guard.lastFailure()); });
    } else {
        traceLine(parts, [&] { return "recv " + std::to_string(received.size()) + " bytes " + escapedBytes(received); });
        step = reading.Grid.take(received, !wasOpen, reading.SentLastPoll);
    }
    reading.ReceivedStep = step.clause;
    reading.ReceivedInStep = step.startsInStep;
    // The read comes before the request, so it holds what arrived since the
    // last poll and never the first bytes of the answer to its own request,
    // however late this tick runs. When the line is out of step after the
    // read the request is held back for one poll (never two in a row): a
    // terminal that answers when asked then stays quiet for a cycle, which
    // marks a frame start.
    reading.SentLastPoll = false;
    if (!wasOpen) {
        traceLine(parts, [] { return "send skipped: the port was closed when the poll began"; });
    } else if (step.holdRequest) {
        traceLine(parts, [&] {
            return "send held back one poll, a quiet cycle finds the next frame start: " +
                   std::string(stepClauseText(step.clause));
        });
    } else {
        reading.SentLastPoll =
            guard.traced([&] { return "send " + escapedBytes(kPollRequest); }, [&] { port.Output(kPollRequest); });
    }
    parts.Timer1.setEnabled(false);

    bool holds = true;  // a test that fails counts as holding
    guard.run([&] { holds = portMatchesConfiguration(parts); });
    if (holds) {
        parts.Timer3.setEnabled(true);
        return;
    }
    traceLine(parts, [&] {
        return portText(port) + " differs from ComNumber " + parts.properties.ComNumber + " ComSetting " +
               parts.properties.ComSetting + ": reconfigure";
    });
    if (port.PortOpen()) guard.traced([&] { return "close " + portText(port); }, [&] { port.setPortOpen(false); });
    parts.Timer2.setEnabled(true);
}

void Timer2_Timer(ControlParts& parts) {
    SerialPort& port = parts.MSComm1;
    PropertyRecord& props = parts.properties;
    parts.Timer2.setEnabled(false);

    Guard guard(parts);
    std::string previousNumber;
    std::string previousSettings;
    guard.run([&] { previousNumber = std::to_string(port.CommPort()); });
    guard.run([&] { previousSettings = port.Settings(); });
    guard.traced([&] { return "set port number " + props.ComNumber; },
                 [&] { port.setCommPort(textToInt16(props.ComNumber)); });
    guard.traced([&] { return "set settings " + props.ComSetting; }, [&] { port.setSettings(props.ComSetting); });
    guard.run([&] { parts.notice.beep(); });
    const auto showMessage = [&](const std::string& text) {
        traceLine(parts, [&] { return "message " + escapedBytes(text); });
        parts.notice.messageBox(text);
    };
    guard.run([&] { showMessage(std::string(kPortMessage) + port.Settings()); });

    if (const auto failure = guard.lastFailure()) {
        guard.run([&] {
            showMessage(std::string(kPortErrorMessage) + std::to_string(failure->number()) + "  " +
                        failure->description());
        });
        // Put back what the port had, without a change notification.
        props.ComNumber = previousNumber;
        props.ComSetting = previousSettings;
        guard.traced([&] { return "restore port number " + props.ComNumber; },
                     [&] { port.setCommPort(textToInt16(props.ComNumber)); });
        guard.traced([&] { return "restore settings " + props.ComSetting; },
                     [&] { port.setSettings(props.ComSetting); });
    }
    parts.Timer1.setEnabled(true);
}

void Timer3_Timer(ControlParts& parts) {
    parts.Timer3.setEnabled(false);
    // Until the decoder has read the reply, a failure leaves no weight.
    parts.decodeEnd = DecodeEnd{TerminalKind::Unknown, NoWeight::Empty, 0, false};
    // The decode traps nothing for a host that calls it; here, in the tick,
    // a failure is reported through the platform and the cycle goes on.
    auto resume = [&](const Failure& failure) {
        traceLine(parts, [&] { return "decode tick failed " + failureText(failure); });
        parts.decodeEnd.failed = true;
        parts.decodeEnd.weight = parts.reading.VesCurrent;
        parts.Timer1.setEnabled(true);
        parts.notice.tickFailed(failure);
    };
    try {
        Com_ORVA_Signal(parts);
    } catch (const Failure& failure) {
        resume(failure);
    } catch (const std::exception& error) {
        resume(Failure(FailureNumber::InternalFailure, error.what()));
    }
}

}  // namespace orva
