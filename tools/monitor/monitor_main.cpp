// orva-monitor: one weighing terminal control on the command line. On a
// terminal it redraws the panel in place; otherwise it logs one line per
// event and decode; with --json it prints JSON lines; with --once it prints
// one weight and exits.

#include <unistd.h>

#include <QCoreApplication>
#include <QTimer>
#include <cerrno>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/qt/console_notice.h"
#include "platform/qt/signal_quit.h"
#include "hosts/log_text.h"
#include "hosts/qt/control_session.h"
#include "hosts/qt/json_lines.h"
#include "hosts/qt/port_listing.h"
#include "hosts/qt/weighing_log.h"
#include "tools/monitor/terminal_panel.h"

namespace {

using namespace orva;

constexpr const char* kProgram = "orva-monitor";

// How the run ends: the first failure decides the status, and its message
// is printed once.
struct Outcome {
    int status = 0;
    void fail(const std::string& message) {
        if (status == 0) std::fprintf(stderr, "%s: %s\n", kProgram, host::escapeForLog(message).c_str());
        status = 1;
        // Queued, so that a failure before the event loop runs ends it too.
        QTimer::singleShot(0, QCoreApplication::instance(), &QCoreApplication::quit);
    }
};

std::string weightText(double w) { return host::jsonNumber(w); }

// Events, notifications and the control's messages as text: into the panel's
// log on a terminal, one line each otherwise.
class TextOutput final : public ControlEvents, public PropertyChangeSink, public UserNotice {
public:
    TextOutput(bool terminal, std::function<long long()> clock, Outcome& outcome)
        : terminal_(terminal), clock_(std::move(clock)), outcome_(outcome),
          panel_(terminal ? std::make_unique<monitor::TerminalPanel>(stdout) : nullptr) {}

    void StabVes(double w) override { line("StabVes " + weightText(w)); }
    void ChangeVes(double w) override { line("ChangeVes " + weightText(w)); }
    void VesStatus(std::int16_t nul, std::int16_t& ok, std::int16_t& tara, std::int16_t& max) override {
        line("VesStatus nul=" + std::to_string(nul) + " ok=" + std::to_string(ok) + " tara=" + std::to_string(tara) +
             " max=" + std::to_string(max));
    }
    void propertyChanged(std::string_view name) override { line("PropertyChanged " + std::string(name)); }
    // A message on the command line counts as read at once. On a terminal
    // it joins the log under the panel, glossed; otherwise it goes to
    // standard error as the control wrote it.
    void messageBox(std::string_view text) override {
        line("Message: " + (terminal_ ? monitor::withGloss(std::string(text)) : std::string(text)));
        if (!terminal_) console_.messageBox(text);
    }
    void beep() override {
        line("Beep");
        console_.beep();
    }
    void tickFailed(const Failure& failure) override {
        line("Error " + std::to_string(failure.number()) + ": " + failure.description());
        if (!terminal_) console_.tickFailed(failure);
    }
    void port(const host::PortState& state) { line("Port " + host::describe(state)); }

    void decoded(const ActivexORVA& control, const std::string& portText) {
        if (panel_) {
            if (!panel_->draw(control, portText)) outputFailed();
            return;
        }
        const PanelModel& p = control.panel();
        std::printf("%6lld ms Decode %s %s %s status %s\n", clock_(), p.Frame1().text.c_str(), p.Label2().text.c_str(),
                    p.Label3().text.c_str(), control.StatusTerminal().c_str());
        flush();
    }

private:
    void outputFailed() { outcome_.fail(std::string("cannot write to standard output: ") + std::strerror(errno)); }
    void flush() {
        errno = 0;
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) outputFailed();
    }
    void line(const std::string& text) {
        char stamp[32];
        std::snprintf(stamp, sizeof stamp, "%6lld ms ", clock_());
        const std::string stamped = stamp + text;
        if (panel_) {
            panel_->log(stamped);
            return;
        }
        std::printf("%s\n", stamped.c_str());
        flush();
    }

    bool terminal_;
    qt::ConsoleNotice console_;
    std::function<long long()> clock_;
    Outcome& outcome_;
    std::unique_ptr<monitor::TerminalPanel> panel_;
};

// --once: the control's events are not shown; its messages go to standard
// error as on any command line.
class QuietEvents final : public ControlEvents, public PropertyChangeSink {
public:
    void StabVes(double) override {}
    void ChangeVes(double) override {}
    void VesStatus(std::int16_t, std::int16_t&, std::int16_t&, std::int16_t&) override {}
    void propertyChanged(std::string_view) override {}
};

}  // namespace

int main(int argc, char** argv) {
    host::HostOptions options;
    try {
        options = host::parseHostOptions(std::vector<std::string>(argv + 1, argv + argc), host::Program::Monitor);
    } catch (const host::OptionError& error) {
        std::fprintf(stderr, "%s: %s\n%s: see --help\n", kProgram, host::escapeForLog(error.what()).c_str(), kProgram);
        return 2;
    }
    // A reader that goes away (orva-monitor --json | head) ends the monitor
    // through its normal exit, which saves the properties file; SIGPIPE
    // would end it on the spot.
    std::signal(SIGPIPE, SIG_IGN);
    if (options.help || options.version) {
        const std::string text = options.help ? host::usageText(kProgram, host::Program::Monitor) : host::versionText(kProgram);
        if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
            std::fprintf(stderr, "%s: cannot write to standard output: %s\n", kProgram, std::strerror(errno));
            return 1;
        }
        return 0;
    }
    QCoreApplication app(argc, argv);
    if (options.listPorts) {
        if (host::listSerialPorts(stdout, options.json)) return 0;
        std::fprintf(stderr, "%s: cannot write to standard output: %s\n", kProgram, std::strerror(errno));
        return 1;
    }

    Outcome outcome;
    host::ControlSession* session = nullptr;
    auto clock = [&session] { return session != nullptr ? session->elapsedMs() : 0LL; };
    const bool terminal = !options.json && !options.once && ::isatty(STDOUT_FILENO) == 1;
    std::unique_ptr<host::JsonEventWriter> json;
    std::unique_ptr<TextOutput> text;
    QuietEvents quiet;
    qt::ConsoleNotice console;
    ControlEvents* events = &quiet;
    PropertyChangeSink* changes = &quiet;
    UserNotice* notice = &console;
    if (options.once) {
        // Only the weight goes to standard output.
    } else if (options.json) {
        json = std::make_unique<host::JsonEventWriter>(stdout, clock);
        json->setOnOutputFailed([&](const std::string& why) { outcome.fail("cannot write to standard output: " + why); });
        events = json.get();
        changes = json.get();
        notice = json.get();
    } else {
        text = std::make_unique<TextOutput>(terminal, clock, outcome);
        events = text.get();
        changes = text.get();
        notice = text.get();
    }

    std::unique_ptr<host::WeighingLog> log;
    if (!options.logPath.empty()) {
        try {
            log = std::make_unique<host::WeighingLog>(options.logPath);
        } catch (const host::WeighingLogError& error) {
            std::fprintf(stderr, "%s: %s\n", kProgram, host::escapeForLog(error.what()).c_str());
            return 1;
        }
    }

    host::ControlSession owned(options, *notice);
    session = &owned;
    auto reportError = [&](std::int32_t number, const std::string& description) {
        if (json) json->error(number, description);
        std::fprintf(stderr, "%s: %s\n", kProgram, host::escapeForLog(description).c_str());
    };
    auto portText = [&] { return owned.portStateText(); };

    // SIGHUP reopens the log when there is one (a log rotator's signal),
    // and otherwise ends the monitor like SIGINT and SIGTERM.
    orva::qt::SignalQuit onSignals([&](int number) {
        if (number == SIGHUP && log) {
            try {
                log->reopen();
            } catch (const host::WeighingLogError& error) {
                outcome.fail(error.what());
            }
            return;
        }
        QCoreApplication::quit();
    });

    owned.setOnPortChange([&](const host::PortState& state) {
        if (json) json->port(state.open, state.reason);
        else if (text) text->port(state);
    });

    bool gotWeight = false;
    try {
        owned.start(events, changes, [&] {
            const host::DecodeResult& decode = owned.lastDecode();
            const ActivexORVA& control = owned.control();
            if (json) json->decoded(control);
            else if (text) text->decoded(control, portText());
            if (log && (decode.settled || (options.logAll && decode.recognised))) {
                try {
                    log->write(owned.portNumber(), decode.weight, control.UnitWeight(), control.StatusTerminal());
                } catch (const host::WeighingLogError& error) {
                    outcome.fail(error.what());
                }
            }
            if (options.once && !gotWeight && (options.now ? decode.recognised : decode.settled)) {
                gotWeight = true;
                std::string line;
                if (options.json)
                    // An event of its own: the JSON lines' StabVes has another shape.
                    line = host::JsonLine(owned.elapsedMs(), "Weight")
                               .integer("port", owned.portNumber())
                               .number("weight", decode.weight)
                               .text("unit", control.UnitWeight())
                               .text("status", control.StatusTerminal())
                               .raw("settled", decode.settled ? "true" : "false")
                               .str() + "\n";
                else
                    line = host::jsonNumber(decode.weight) + "\n";
                errno = 0;
                if (std::fputs(line.c_str(), stdout) < 0 || std::fflush(stdout) != 0)
                    outcome.fail(std::string("cannot write to standard output: ") + std::strerror(errno));
                QCoreApplication::quit();
            }
            if (options.cycles > 0 && owned.decodes() >= options.cycles) QCoreApplication::quit();
        });
    } catch (const host::SessionError& error) {
        reportError(error.number(), error.what());
        return 1;
    }
    for (const auto& warning : owned.warnings()) {
        if (json) json->warning(warning);
        std::fprintf(stderr, "%s: warning: %s\n", kProgram, host::escapeForLog(warning).c_str());
    }
    if (!options.json && !options.once)
        std::fprintf(stderr, "%s: polling %s; Ctrl+C ends%s\n", kProgram, host::escapeForLog(owned.portDescription()).c_str(),
                     options.propertiesPath.empty() ? "" : (" and saves " + options.propertiesPath).c_str());

    QTimer timeout;
    bool timedOut = false;
    if (options.once) {
        timeout.setSingleShot(true);
        QObject::connect(&timeout, &QTimer::timeout, [&] {
            timedOut = true;
            QCoreApplication::quit();
        });
        timeout.start(static_cast<int>(std::ceil(options.timeoutSeconds * 1000)));
    }

    app.exec();
    if (options.once && !gotWeight && outcome.status == 0) {
        if (timedOut) {
            char seconds[32];
            std::snprintf(seconds, sizeof seconds, "%g", options.timeoutSeconds);
            const std::string why = std::string("no ") + (options.now ? "reading" : "settled weight") + " within " +
                                    seconds + " s; " + portText();
            // A script reading JSON gets its answer on standard output too.
            if (options.json) {
                const std::string line = host::JsonLine(owned.elapsedMs(), "NoWeight").text("reason", why).str() + "\n";
                std::fputs(line.c_str(), stdout);  // status 1 follows anyway
                std::fflush(stdout);
            }
            outcome.fail(why);
        } else {
            outcome.fail(std::string("ended before a ") + (options.now ? "reading" : "settled weight") + " came; " +
                         portText());
        }
    }
    try {
        owned.save();
    } catch (const host::SessionError& error) {
        reportError(error.number(), error.what());
        return 1;
    }
    return outcome.status;
}
