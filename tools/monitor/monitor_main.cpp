// orva-monitor: one weighing terminal control on the command line. On a
// terminal it redraws the panel in place; otherwise it logs one line per
// event and decode; with --json it prints JSON lines.

#include <unistd.h>

#include <QCoreApplication>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/qt/console_notice.h"
#include "platform/qt/signal_quit.h"
#include "tools/hosts/control_session.h"
#include "tools/hosts/json_lines.h"
#include "tools/hosts/port_listing.h"
#include "tools/monitor/terminal_panel.h"

namespace {

using namespace orva;

std::string weightText(double w) { return host::jsonNumber(w); }

// Events, notifications and the control's messages as text: into the panel's
// log on a terminal, one line each otherwise.
class TextOutput final : public ControlEvents, public PropertyChangeSink, public UserNotice {
public:
    TextOutput(bool terminal, std::function<long long()> clock)
        : terminal_(terminal), clock_(std::move(clock)), panel_(terminal ? std::make_unique<monitor::TerminalPanel>(stdout) : nullptr) {}

    void StabVes(double w) override { line("StabVes " + weightText(w)); }
    void ChangeVes(double w) override { line("ChangeVes " + weightText(w)); }
    void VesStatus(std::int16_t nul, std::int16_t& ok, std::int16_t& tara, std::int16_t& max) override {
        line("VesStatus nul=" + std::to_string(nul) + " ok=" + std::to_string(ok) + " tara=" + std::to_string(tara) +
             " max=" + std::to_string(max));
    }
    void propertyChanged(std::string_view name) override { line("PropertyChanged " + std::string(name)); }
    // A message on the command line counts as read at once. On a terminal
    // it joins the log under the panel; otherwise it goes to standard error.
    void messageBox(std::string_view text) override {
        line("Message: " + std::string(text));
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

    void decoded(const ActivexORVA& control, const std::string& portText) {
        if (panel_) {
            panel_->draw(control, portText);
            return;
        }
        const PanelModel& p = control.panel();
        std::printf("%6lld ms Decode %s %s %s status %s\n", clock_(), p.Frame1().text.c_str(), p.Label2().text.c_str(),
                    p.Label3().text.c_str(), control.StatusTerminal().c_str());
        flush();
    }

private:
    void flush() {
        if (std::fflush(stdout) != 0 || std::ferror(stdout)) QCoreApplication::quit();
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
    std::unique_ptr<monitor::TerminalPanel> panel_;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    host::HostOptions options;
    try {
        options = host::parseHostOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const host::OptionError& error) {
        std::fprintf(stderr, "orva-monitor: %s\n", error.what());
        return 2;
    }
    if (options.help) {
        std::fputs(host::usageText("orva-monitor", false).c_str(), stdout);
        return 0;
    }
    if (options.listPorts) {
        host::listSerialPorts(stdout);
        return 0;
    }

    host::ControlSession* session = nullptr;
    auto clock = [&session] { return session != nullptr ? session->elapsedMs() : 0LL; };
    const bool terminal = !options.json && ::isatty(STDOUT_FILENO) == 1;
    std::unique_ptr<host::JsonEventWriter> json;
    std::unique_ptr<TextOutput> text;
    ControlEvents* events = nullptr;
    PropertyChangeSink* changes = nullptr;
    UserNotice* notice = nullptr;
    // A reader that goes away (orva-monitor --json | head) ends the monitor
    // through its normal exit, which saves the properties file; SIGPIPE
    // would end it on the spot.
    std::signal(SIGPIPE, SIG_IGN);
    if (options.json) {
        json = std::make_unique<host::JsonEventWriter>(stdout, clock);
        json->setOnOutputFailed([] { QCoreApplication::quit(); });
        events = json.get();
        changes = json.get();
        notice = json.get();
    } else {
        text = std::make_unique<TextOutput>(terminal, clock);
        events = text.get();
        changes = text.get();
        notice = text.get();
    }

    host::ControlSession owned(options, *notice);
    session = &owned;
    auto reportError = [&](std::int32_t number, const std::string& description) {
        if (json) json->error(number, description);
        std::fprintf(stderr, "orva-monitor: %s\n", description.c_str());
    };

    orva::qt::SignalQuit quit([](int) { QCoreApplication::quit(); });
    try {
        owned.start(events, changes, [&] {
            if (json) json->decoded(owned.control());
            else text->decoded(owned.control(), owned.portDescription());
            if (options.cycles > 0 && owned.decodes() >= options.cycles) QCoreApplication::quit();
        });
    } catch (const host::SessionError& error) {
        reportError(error.number(), error.what());
        return 1;
    }
    if (!options.json)
        std::fprintf(stderr, "orva-monitor: polling %s; Ctrl+C ends%s\n", owned.portDescription().c_str(),
                     options.propertiesPath.empty() ? "" : (" and saves " + options.propertiesPath).c_str());

    app.exec();
    try {
        owned.save();
    } catch (const host::SessionError& error) {
        reportError(error.number(), error.what());
        return 1;
    }
    return 0;
}
