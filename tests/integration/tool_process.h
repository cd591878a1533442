#pragma once
// Running the tools as a user does: a program of build/tools with its
// arguments, its output, its exit; and a pseudo-terminal that stands in for
// a device nobody gave the program, to show whether it was touched.

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <string>
#include <vector>

#include "tests/support/unprivileged.h"
#include "simulator/pseudo_terminal.h"

namespace orva::testing {

// ORVA_TOOLS_DIR in the environment runs the tests against other builds of
// the programs (an older one, to see a test fail).
inline const QString kTools = qEnvironmentVariableIsSet("ORVA_TOOLS_DIR") ? qEnvironmentVariable("ORVA_TOOLS_DIR")
                                                                           : QStringLiteral(ORVA_TOOLS_DIR);

struct ToolRun {
    int exitCode = -1;
    bool finished = false;
    QByteArray out;
    QByteArray err;
};

struct ToolSetup {
    QString stdoutFile;              // standard output to this file (a device, a pty)
    QStringList environment;         // NAME=VALUE added; "-NAME" removes
    bool asNobody = false;           // run as user and group 65534
};

inline ToolRun runTool(const QString& program, const QStringList& arguments, int timeoutMs = 8000,
                       const ToolSetup& setup = {}) {
    QProcess process;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    for (const QString& entry : setup.environment) {
        if (entry.startsWith('-')) env.remove(entry.mid(1));
        else env.insert(entry.section('=', 0, 0), entry.section('=', 1));
    }
    process.setProcessEnvironment(env);
    if (!setup.stdoutFile.isEmpty()) process.setStandardOutputFile(setup.stdoutFile);
    if (setup.asNobody) runAsNobody(process, 126);
    process.start(kTools + "/" + program, arguments);
    ToolRun run;
    if (!process.waitForStarted(3000)) return run;
    process.closeWriteChannel();
    run.finished = process.waitForFinished(timeoutMs);
    if (!run.finished) {
        process.kill();
        process.waitForFinished(3000);
    }
    run.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
    run.out = process.readAllStandardOutput();
    run.err = process.readAllStandardError();
    return run;
}

inline std::vector<QJsonObject> jsonObjects(const QByteArray& output) {
    std::vector<QJsonObject> lines;
    for (const QByteArray& line : output.split('\n'))
        if (!line.isEmpty()) lines.push_back(QJsonDocument::fromJson(line).object());
    return lines;
}

inline int countEvents(const std::vector<QJsonObject>& lines, const QString& event) {
    int n = 0;
    for (const auto& line : lines) n += line["event"].toString() == event;
    return n;
}

// A device on a port the program was not given: it records whether anything
// was written to it and whether its line settings were changed.
class UntouchedDevice {
public:
    UntouchedDevice() {
        termios line{};
        ::tcgetattr(pty_.master(), &line);
        cfsetispeed(&line, B1200);
        cfsetospeed(&line, B1200);
        ::tcsetattr(pty_.master(), TCSANOW, &line);
    }
    QString path() const { return QString::fromStdString(pty_.slavePath()); }
    bool written() const {
        const int flags = ::fcntl(pty_.master(), F_GETFL);
        ::fcntl(pty_.master(), F_SETFL, flags | O_NONBLOCK);
        char byte = 0;
        return ::read(pty_.master(), &byte, 1) == 1;
    }
    bool reconfigured() const {
        termios line{};
        ::tcgetattr(pty_.master(), &line);
        return cfgetospeed(&line) != B1200;
    }

private:
    sim::PseudoTerminal pty_;
};

}  // namespace orva::testing
