#pragma once
// One control as a host runs it on Linux: the Qt platform services, the
// optional simulated terminal, the properties file, and the start-up order
// of a host that restores a saved control: read the document, create the
// control on the port it is configured for (defaults, Init_VC, timers
// running), load the saved properties, then the host's own property writes.

#include <QElapsedTimer>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "control/activex_orva.h"
#include "platform/failure.h"
#include "platform/qt/file_trace.h"
#include "platform/qt/port_map.h"
#include "hosts/property_file.h"
#include "platform/qt/qt_locale.h"
#include "platform/qt/qt_serial_port.h"
#include "platform/qt/qt_timers.h"
#include "hosts/qt/host_options.h"
#include "hosts/qt/port_state.h"
#include "simulator/terminal_simulator.h"

namespace orva::host {

// Why a session could not start or save; the number follows the control's failures.
class SessionError : public Failure {
public:
    using Failure::Failure;
};

// What the latest decode brought, for logs and one-shot reads.
struct DecodeResult {
    bool recognised = false;  // a frame of a known terminal gave the weight
    bool settled = false;     // the control raised StabVes in this decode
    double weight = 0;
};

class ControlSession final : private CycleObserver {
public:
    ControlSession(HostOptions options, UserNotice& notice);
    ~ControlSession();
    ControlSession(const ControlSession&) = delete;
    ControlSession& operator=(const ControlSession&) = delete;

    // Told of the port's state once the control is created, then at each
    // change (opened, closed, a different reason). Set before start().
    void setOnPortChange(std::function<void(const PortState&)> onChange) { onPortChange_ = std::move(onChange); }

    // Throws SessionError. onDecode runs after every decode tick, with
    // lastDecode() describing it.
    void start(ControlEvents* events, PropertyChangeSink* changes, std::function<void()> onDecode);
    // Writes the properties file, when one was given. Throws SessionError.
    void save();

    ActivexORVA& control() { return *control_; }
    const ActivexORVA& control() const { return *control_; }
    long long elapsedMs() const { return sinceCreation_.isValid() ? sinceCreation_.elapsed() : 0; }
    long decodes() const { return decodes_; }
    const DecodeResult& lastDecode() const { return lastDecode_; }
    // As of the latest tick.
    PortState portState() const { return portState_.value_or(PortState{}); }
    std::int16_t portNumber() const { return port_ != nullptr ? port_->CommPort() : 1; }
    // What the properties file holds that loads but is likely a mistake,
    // "file:line: ..." each; known once start() has read the file.
    const std::vector<std::string>& warnings() const { return warnings_; }
    // "port 1 = /dev/pts/4 (simulated ORVA-1 terminal)", for captions and logs.
    std::string portDescription() const;
    // "port 1 open | /dev/pts/4 (simulated ORVA-1 terminal)" or "port 1
    // closed: no such device | /dev/ttyUSB0": the state first, so that it
    // stays in sight when a narrow view cuts the line.
    std::string portStateText() const;

private:
    // Passes the control's events on, noting a settled weight.
    class EventTap final : public ControlEvents {
    public:
        ControlEvents* forward = nullptr;
        bool settled = false;
        double settledWeight = 0;
        void StabVes(double w) override {
            settled = true;
            settledWeight = w;
            if (forward) forward->StabVes(w);
        }
        void ChangeVes(double w) override {
            if (forward) forward->ChangeVes(w);
        }
        void VesStatus(std::int16_t nul, std::int16_t& ok, std::int16_t& tara, std::int16_t& max) override {
            if (forward) forward->VesStatus(nul, ok, tara, max);
        }
    };

    void stepEnded(CycleStep step) override;
    void decodeEnded(const DecodeEnd& end) override;
    void checkPort();
    void startSimulator(std::int16_t portNumber);
    void documentWarnings(std::int16_t portNumber);
    std::string deviceText(std::int16_t number) const;

    HostOptions options_;
    UserNotice& notice_;
    std::shared_ptr<qt::PortMap> portMap_ = std::make_shared<qt::PortMap>();
    qt::QtTimerFactory timers_;
    qt::QtLocale locale_;
    std::unique_ptr<sim::TerminalSimulator> simulator_;
    std::unique_ptr<host::PropertyFile> propertyFile_;
    std::unique_ptr<qt::FileTrace> trace_;
    QElapsedTimer sinceCreation_;
    long decodes_ = 0;
    std::vector<std::string> warnings_;
    std::function<void()> onDecode_;
    std::function<void(const PortState&)> onPortChange_;
    std::optional<PortState> portState_;
    std::optional<Failure> reasonFor_;  // the failure portState_'s reason was worked out for
    EventTap tap_;
    DecodeResult lastDecode_;
    std::unique_ptr<ActivexORVA> control_;  // last: it goes first
    qt::QtSerialPort* port_ = nullptr;      // the control's, owned by it
};

}  // namespace orva::host
