// One control on a serial device, printing every settled weight.
//   settled_weights DEVICE [SECONDS]
#include <QCoreApplication>
#include <QTimer>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <string>

#include <orva/control/activex_orva.h>
#include <orva/platform/qt/console_notice.h>
#include <orva/platform/qt/qt_locale.h>
#include <orva/platform/qt/qt_serial_port.h>
#include <orva/platform/qt/qt_timers.h>

struct PrintSettled final : orva::ControlEvents {
    void StabVes(double weight) override { std::printf("settled %g\n", weight), std::fflush(stdout); }
    void ChangeVes(double) override {}
    void VesStatus(std::int16_t, std::int16_t&, std::int16_t&, std::int16_t&) override {}
};

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc < 2) return std::fprintf(stderr, "usage: settled_weights DEVICE [SECONDS]\n"), 2;
    auto ports = std::make_shared<orva::qt::PortMap>();
    ports->map(1, argv[1]);  // the control polls port 1: this device
    orva::qt::QtTimerFactory timers;
    orva::qt::QtLocale locale;
    orva::qt::ConsoleNotice notice;
    auto port = std::make_unique<orva::qt::QtSerialPort>(ports);
    const orva::qt::QtSerialPort& line = *port;  // the control owns it; we only look
    orva::ActivexORVA control({std::move(port), timers, notice, locale});
    PrintSettled printer;
    control.setEventSink(&printer);
    // The control retries a port it cannot open at every poll, silently: say why, once per reason.
    std::string told;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const std::string why = line.lastOpenFailure() ? line.lastOpenFailure()->description() : "";
        if (why != told && !why.empty()) std::fprintf(stderr, "cannot open the port: %s\n", why.c_str());
        told = why;
    });
    watch.start(400);
    if (argc > 2) QTimer::singleShot(std::atoi(argv[2]) * 1000, &app, &QCoreApplication::quit);
    return app.exec();
}
