#pragma once
// One control as a host runs it on Linux: the Qt platform services, the
// optional simulated terminal, the properties file, and the start-up order
// of a host that restores a saved control: read the document, create the
// control on the port it is configured for (defaults, Init_VC, timers
// running), load the saved properties, then the host's own property writes.

#include <QElapsedTimer>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>

#include "control/activex_orva.h"
#include "platform/qt/file_trace.h"
#include "platform/qt/port_map.h"
#include "platform/qt/property_file.h"
#include "platform/qt/qt_locale.h"
#include "platform/qt/qt_serial_port.h"
#include "platform/qt/qt_timers.h"
#include "tools/hosts/host_options.h"
#include "tools/sim/terminal_simulator.h"

namespace orva::host {

// Why a session could not start; the number follows the control's failures.
class SessionError : public std::runtime_error {
public:
    SessionError(std::int32_t number, const std::string& message) : std::runtime_error(message), number_(number) {}
    std::int32_t number() const noexcept { return number_; }

private:
    std::int32_t number_;
};

class ControlSession {
public:
    ControlSession(HostOptions options, UserNotice& notice);
    ~ControlSession();
    ControlSession(const ControlSession&) = delete;
    ControlSession& operator=(const ControlSession&) = delete;

    // Throws SessionError. onDecode runs after every decode tick.
    void start(ControlEvents* events, PropertyChangeSink* changes, std::function<void()> onDecode);
    // Writes the properties file, when one was given. Throws SessionError.
    void save();

    ActivexORVA& control() { return *control_; }
    const ActivexORVA& control() const { return *control_; }
    long long elapsedMs() const { return sinceCreation_.isValid() ? sinceCreation_.elapsed() : 0; }
    long decodes() const { return decodes_; }
    // "port 1 = /dev/pts/4 (simulated ORVA-1 terminal)", for captions and logs.
    std::string portDescription() const;

private:
    void startSimulator(std::int16_t portNumber);

    HostOptions options_;
    UserNotice& notice_;
    std::shared_ptr<qt::PortMap> portMap_ = std::make_shared<qt::PortMap>();
    qt::QtTimerFactory timers_;
    qt::QtLocale locale_;
    std::unique_ptr<sim::TerminalSimulator> simulator_;
    std::unique_ptr<qt::PropertyFile> propertyFile_;
    std::unique_ptr<qt::FileTrace> trace_;
    QElapsedTimer sinceCreation_;
    long decodes_ = 0;
    std::function<void()> onDecode_;
    std::unique_ptr<ActivexORVA> control_;  // last: it goes first
    qt::QtSerialPort* port_ = nullptr;      // the control's, owned by it
};

}  // namespace orva::host
