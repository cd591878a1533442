// orva-panel: one weighing terminal control in a window, with the same
// command line as orva-monitor. The control's messages are modal message
// boxes; --json also prints its events as JSON lines.

#include <QApplication>
#include <QFileInfo>
#include <QImageWriter>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "panel/qt/panel_widget.h"
#include "platform/qt/gui_notice.h"
#include "platform/qt/signal_quit.h"
#include "hosts/log_text.h"
#include "hosts/qt/control_session.h"
#include "hosts/qt/json_lines.h"
#include "hosts/qt/port_listing.h"
#include "hosts/qt/weighing_log.h"

namespace {

using namespace orva;

// The window's status line shows the port and the latest event.
class StatusEvents final : public ControlEvents {
public:
    explicit StatusEvents(QLabel& status, ControlEvents* also) : status_(status), also_(also) {}
    void StabVes(double w) override {
        show("StabVes " + host::jsonNumber(w));
        if (also_) also_->StabVes(w);
    }
    void ChangeVes(double w) override {
        show("ChangeVes " + host::jsonNumber(w));
        if (also_) also_->ChangeVes(w);
    }
    void VesStatus(std::int16_t nul, std::int16_t& ok, std::int16_t& tara, std::int16_t& max) override {
        show("VesStatus " + std::to_string(nul) + " " + std::to_string(ok) + " " + std::to_string(tara) + " " +
             std::to_string(max));
        if (also_) also_->VesStatus(nul, ok, tara, max);
    }
    // The port and its state, shown before the latest event.
    void setPrefix(std::string prefix) {
        prefix_ = std::move(prefix);
        refresh();
    }

private:
    void show(const std::string& text) {
        last_ = text;
        refresh();
    }
    void refresh() {
        status_.setText(QString::fromStdString(last_.empty() ? prefix_ : prefix_ + "   last event: " + last_));
    }
    QLabel& status_;
    ControlEvents* also_;
    std::string prefix_;
    std::string last_;
};

// Without a display the toolkit would abort with a message about platform
// plugins; say what is missing and how to draw without one.
bool displayAvailable() {
    if (qEnvironmentVariableIsSet("QT_QPA_PLATFORM")) return true;  // the user chose a platform
    return !qEnvironmentVariableIsEmpty("DISPLAY") || !qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY");
}

// Notes of a display platform about what it lacks (a virtual or offscreen
// display cannot pass size hints to a window manager; a session without a
// runtime folder) change nothing for this window, yet read like faults: they
// are dropped. Every other message of the toolkit reaches standard error.
QtMessageHandler toolkitMessages = nullptr;

bool harmlessPlatformNote(const QString& text) {
    return text.startsWith("This plugin does not support") || text.startsWith("QStandardPaths: XDG_RUNTIME_DIR not set") ||
           text.startsWith("QStandardPaths: runtime directory");
}

void filteredMessage(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if ((type == QtWarningMsg || type == QtInfoMsg || type == QtDebugMsg) && harmlessPlatformNote(text)) return;
    toolkitMessages(type, context, text);
}

}  // namespace

int main(int argc, char** argv) {
    toolkitMessages = qInstallMessageHandler(filteredMessage);
    constexpr const char* kProgram = "orva-panel";
    host::HostOptions options;
    try {
        options = host::parseHostOptions(std::vector<std::string>(argv + 1, argv + argc), host::Program::Panel);
    } catch (const host::OptionError& error) {
        std::fprintf(stderr, "%s: %s\n%s: see --help\n", kProgram, host::escapeForLog(error.what()).c_str(), kProgram);
        return 2;
    }
    std::signal(SIGPIPE, SIG_IGN);
    if (options.help || options.version) {
        const std::string text = options.help ? host::usageText(kProgram, host::Program::Panel) : host::versionText(kProgram);
        if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
            std::fprintf(stderr, "%s: cannot write to standard output: %s\n", kProgram, std::strerror(errno));
            return 1;
        }
        return 0;
    }
    if (options.listPorts) {
        QCoreApplication app(argc, argv);
        if (host::listSerialPorts(stdout, options.json)) return 0;
        std::fprintf(stderr, "%s: cannot write to standard output: %s\n", kProgram, std::strerror(errno));
        return 1;
    }
    if (!displayAvailable()) {
        std::fprintf(stderr,
                     "%s: no display (neither DISPLAY nor WAYLAND_DISPLAY is set); to draw without one, for "
                     "--snapshot, run it with QT_QPA_PLATFORM=offscreen\n",
                     kProgram);
        return 1;
    }

    QApplication app(argc, argv);
    QByteArray snapshotFormat;
    if (!options.snapshotPath.empty()) {
        snapshotFormat = QFileInfo(QString::fromStdString(options.snapshotPath)).suffix().toLower().toLatin1();
        if (snapshotFormat == "jpeg") snapshotFormat = "jpg";
        if (snapshotFormat.isEmpty() || !QImageWriter::supportedImageFormats().contains(snapshotFormat)) {
            QStringList known;
            for (const QByteArray& f : QImageWriter::supportedImageFormats()) known << QString::fromLatin1(f);
            std::fprintf(stderr, "%s: --snapshot %s: the file name's extension names no picture format this program "
                         "writes (%s)\n%s: see --help\n",
                         kProgram, host::escapeForLog(options.snapshotPath).c_str(), known.join(", ").toStdString().c_str(), kProgram);
            return 2;
        }
    }

    int status = 0;
    auto fail = [&](const std::string& message) {
        if (status == 0) std::fprintf(stderr, "%s: %s\n", kProgram, host::escapeForLog(message).c_str());
        status = 1;
        // Queued, so that a failure before the event loop runs ends it too.
        QTimer::singleShot(0, &app, &QApplication::quit);
    };

    QWidget window;
    window.setWindowTitle("ORVA panel");
    qt::GuiNotice gui(&window);
    host::ControlSession* session = nullptr;
    auto clock = [&session] { return session != nullptr ? session->elapsedMs() : 0LL; };
    std::unique_ptr<host::JsonEventWriter> json;
    if (options.json) {
        json = std::make_unique<host::JsonEventWriter>(stdout, clock, &gui);
        json->setOnOutputFailed([&](const std::string& why) { fail("cannot write to standard output: " + why); });
    }
    UserNotice& notice = json ? static_cast<UserNotice&>(*json) : gui;

    std::unique_ptr<host::WeighingLog> log;
    if (!options.logPath.empty()) {
        try {
            log = std::make_unique<host::WeighingLog>(options.logPath);
        } catch (const host::WeighingLogError& error) {
            std::fprintf(stderr, "%s: %s\n", kProgram, host::escapeForLog(error.what()).c_str());
            return 1;
        }
    }

    host::ControlSession owned(options, notice);
    session = &owned;
    QLabel status_(&window);
    StatusEvents events(status_, json.get());
    qt::SignalQuit onSignals([&](int number) {
        if (number == SIGHUP && log) {
            try {
                log->reopen();
            } catch (const host::WeighingLogError& error) {
                fail(error.what());
            }
            return;
        }
        QApplication::quit();
    });
    auto portText = [&] { return owned.portStateText(); };
    owned.setOnPortChange([&](const host::PortState& state) {
        if (json) json->port(state.open, state.reason);
        events.setPrefix(portText());
    });
    try {
        owned.start(&events, json.get(), [&] {
            const host::DecodeResult& decode = owned.lastDecode();
            if (json) json->decoded(owned.control());
            if (log && (decode.settled || (options.logAll && decode.recognised))) {
                try {
                    log->write(owned.portNumber(), decode.weight, owned.control().UnitWeight(),
                               owned.control().StatusTerminal());
                } catch (const host::WeighingLogError& error) {
                    fail(error.what());
                }
            }
            if (options.cycles > 0 && owned.decodes() >= options.cycles) QApplication::quit();
        });
    } catch (const host::SessionError& error) {
        if (json) json->error(error.number(), error.what());
        std::fprintf(stderr, "%s: %s\n", kProgram, host::escapeForLog(error.what()).c_str());
        QMessageBox::critical(nullptr, kProgram, QString::fromStdString(error.what()));
        return 1;
    }
    for (const auto& warning : owned.warnings()) {
        if (json) json->warning(warning);
        std::fprintf(stderr, "%s: warning: %s\n", kProgram, host::escapeForLog(warning).c_str());
    }

    // Declared after the session: the widget, which observes the control's
    // panel, goes first.
    auto panel = std::make_unique<qt::PanelWidget>(owned.control().panel(), &window);
    QVBoxLayout column(&window);
    column.setContentsMargins(0, 0, 0, 4);
    column.addWidget(panel.get());
    column.addWidget(&status_);
    column.setSizeConstraint(QLayout::SetFixedSize);
    events.setPrefix(portText());
    window.show();

    app.exec();
    if (!options.snapshotPath.empty()) {
        QImageWriter writer(QString::fromStdString(options.snapshotPath), snapshotFormat);
        if (!writer.write(window.grab().toImage()))
            fail("cannot save " + options.snapshotPath + ": " + writer.errorString().toStdString());
    }
    panel.reset();
    try {
        owned.save();
    } catch (const host::SessionError& error) {
        if (json) json->error(error.number(), error.what());
        std::fprintf(stderr, "%s: %s\n", kProgram, host::escapeForLog(error.what()).c_str());
        return 1;
    }
    return status;
}
