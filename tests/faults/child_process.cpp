#include "child_process.h"

#include <unistd.h>

#include <QCoreApplication>
#include <cstdio>
#include <cstdlib>
#include <optional>

#include "control/activex_orva.h"
#include "fault_lane.h"
#include "platform/failure.h"
#include "platform/qt/port_map.h"
#include "platform/qt/qt_serial_port.h"
#include "platform/qt/qt_timers.h"
#include "platform/virtual/virtual_services.h"
#include "tests/support/unprivileged.h"

namespace orva::faults {
namespace {

void say(const std::string& line) {
    std::fputs((line + "\n").c_str(), stdout);
    std::fflush(stdout);
}

int holdPort(const std::string& path) {
    auto map = std::make_shared<qt::PortMap>();
    map->map(1, path);
    qt::QtSerialPort port(map);
    try {
        port.setPortOpen(true);
    } catch (const Failure& failure) {
        say("refused " + std::to_string(failure.number()));
        return 1;
    }
    say("held");
    char buffer[64];
    while (::read(STDIN_FILENO, buffer, sizeof buffer) > 0) {
    }
    return 0;
}

class Notices final : public UserNotice {
public:
    void messageBox(std::string_view) override { say("message"); }
    void beep() override { say("beep"); }
    void tickFailed(const Failure& failure) override { say("failed " + std::to_string(failure.number())); }
};

int runControl(const std::string& path, int decodes) {
    auto map = std::make_shared<qt::PortMap>();
    map->map(1, path);
    say("open " + std::to_string(openFailure(map)));

    qt::QtTimerFactory timers;
    Notices notices;
    virtual_time::FixedLocale locale{"."};
    std::unique_ptr<ActivexORVA> control;
    struct Observer final : CycleObserver {
        std::unique_ptr<ActivexORVA>& control;
        int decodes;
        int seen = 0;
        Observer(std::unique_ptr<ActivexORVA>& c, int d) : control(c), decodes(d) {}
        void stepEnded(CycleStep step) override {
            if (step == CycleStep::Poll) say(std::string("poll ") + (control->MSComm1().PortOpen() ? "1" : "0"));
            if (step == CycleStep::Decode) {
                say("decode " + control->panel().Label2().text);
                if (++seen >= decodes) QCoreApplication::quit();
            }
        }
    } observer(control, decodes);
    control = std::make_unique<ActivexORVA>(
        ControlPlatform{std::make_unique<qt::QtSerialPort>(map), timers, notices, locale});
    control->setCycleObserver(&observer);
    QCoreApplication::exec();
    control.reset();
    return 0;
}

}  // namespace

int openFailure(const std::shared_ptr<qt::PortMap>& map) {
    qt::QtSerialPort port(map);
    try {
        port.setPortOpen(true);
    } catch (const Failure& failure) {
        return failure.number();
    }
    return 0;
}

int runChild(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const std::string mode = argv[1];
    if (mode == "--child-hold" && argc == 3) return holdPort(argv[2]);
    if (mode == "--child-control" && argc == 4) return runControl(argv[2], std::atoi(argv[3]));
    std::fprintf(stderr, "unknown child mode\n");
    return 2;
}

ChildProcess::ChildProcess(QStringList arguments, bool unprivileged) : process_(std::make_unique<QProcess>()) {
    QObject::connect(process_.get(), &QProcess::readyReadStandardOutput, process_.get(), [this] { readLines(); });
    QObject::connect(process_.get(), &QProcess::readyReadStandardError, process_.get(),
                     [this] { errors_ += process_->readAllStandardError().toStdString(); });
    if (unprivileged && ::geteuid() == 0) orva::testing::runAsNobody(*process_, kCannotDropPrivileges);
    // Through /proc/self/exe the program is found whatever the modes of the
    // directories of the build tree.
    process_->start(QStringLiteral("/proc/self/exe"), arguments);
}

ChildProcess::~ChildProcess() {
    if (running()) {
        process_->kill();
        process_->waitForFinished(5000);
    }
}

void ChildProcess::readLines() {
    partial_ += process_->readAllStandardOutput().toStdString();
    for (std::size_t end; (end = partial_.find('\n')) != std::string::npos;) {
        lines_.push_back(partial_.substr(0, end));
        partial_.erase(0, end + 1);
    }
}

std::optional<std::size_t> ChildProcess::waitForLine(const std::string& prefix, int timeoutMs, std::size_t from) {
    std::optional<std::size_t> found;
    runUntil(
        [&] {
            for (std::size_t i = from; i < lines_.size(); ++i) {
                if (lines_[i].rfind(prefix, 0) == 0) {
                    found = i;
                    return true;
                }
            }
            return !running() && process_->bytesAvailable() == 0;
        },
        timeoutMs);
    readLines();
    for (std::size_t i = from; !found && i < lines_.size(); ++i)
        if (lines_[i].rfind(prefix, 0) == 0) found = i;
    return found;
}

bool ChildProcess::waitForExit(int timeoutMs) {
    runUntil([&] { return !running(); }, timeoutMs);
    readLines();
    return !running();
}

}  // namespace orva::faults
