#pragma once
// The second process of a fault test: this same test program started with a
// --child-... argument, optionally as an unprivileged user (root opens any
// device whatever its mode and ignores exclusive use, so denial and busy are
// only seen by another user). Its standard output is read line by line on
// the event loop.
//
// Child modes:
//   --child-hold PATH            open PATH as the control's port, print
//                                "held" or "refused N", keep it open until
//                                standard input ends
//   --child-control PATH DECODES print "open N" for a first open of PATH (0
//                                when it opened), then run a control on it on
//                                real timers and print "poll OPEN" and
//                                "decode LABEL2" after each tick, "message"
//                                and "beep" when the user would see or hear
//                                one, until DECODES decodes

#include <QProcess>
#include <QStringList>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/qt/port_map.h"

namespace orva::faults {

int runChild(int argc, char** argv);

// Opens the control's port 1 once: 0 when it opened, else the failure number.
int openFailure(const std::shared_ptr<qt::PortMap>& map);

class ChildProcess {
public:
    // The exit status of a child that could not become the unprivileged user.
    static constexpr int kCannotDropPrivileges = 77;

    explicit ChildProcess(QStringList arguments, bool unprivileged = false);
    ~ChildProcess();
    ChildProcess(const ChildProcess&) = delete;
    ChildProcess& operator=(const ChildProcess&) = delete;

    // Runs the event loop until a line starting with `prefix` has come, the
    // child ended or timeoutMs passed; returns the index of that line.
    std::optional<std::size_t> waitForLine(const std::string& prefix, int timeoutMs, std::size_t from = 0);
    bool waitForExit(int timeoutMs);
    void closeInput() { process_->closeWriteChannel(); }
    void kill() { process_->kill(); }

    const std::vector<std::string>& lines() const { return lines_; }
    bool running() const { return process_->state() != QProcess::NotRunning; }
    qint64 pid() const { return process_->processId(); }
    int exitCode() const { return process_->exitCode(); }
    std::string errors() const { return errors_; }

private:
    void readLines();

    std::unique_ptr<QProcess> process_;
    std::vector<std::string> lines_;
    std::string partial_;
    std::string errors_;
};

}  // namespace orva::faults
