// orva-panel: one weighing terminal control in a window, with the same
// command line as orva-monitor. The control's messages are modal message
// boxes; --json also prints its events as JSON lines.

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QVBoxLayout>
#include <QWidget>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "panel/qt/panel_widget.h"
#include "platform/qt/gui_notice.h"
#include "platform/qt/signal_quit.h"
#include "tools/hosts/control_session.h"
#include "tools/hosts/json_lines.h"
#include "tools/hosts/port_listing.h"

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
    void setPrefix(std::string prefix) { prefix_ = std::move(prefix); }

private:
    void show(const std::string& text) { status_.setText(QString::fromStdString(prefix_ + "   last event: " + text)); }
    QLabel& status_;
    ControlEvents* also_;
    std::string prefix_;
};

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    host::HostOptions options;
    try {
        options = host::parseHostOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const host::OptionError& error) {
        std::fprintf(stderr, "orva-panel: %s\n", error.what());
        return 2;
    }
    if (options.help) {
        std::fputs(host::usageText("orva-panel", true).c_str(), stdout);
        return 0;
    }
    if (options.listPorts) {
        host::listSerialPorts(stdout);
        return 0;
    }

    QWidget window;
    window.setWindowTitle("ORVA panel");
    qt::GuiNotice gui(&window);
    host::ControlSession* session = nullptr;
    auto clock = [&session] { return session != nullptr ? session->elapsedMs() : 0LL; };
    std::unique_ptr<host::JsonEventWriter> json;
    if (options.json) json = std::make_unique<host::JsonEventWriter>(stdout, clock, &gui);
    UserNotice& notice = json ? static_cast<UserNotice&>(*json) : gui;

    host::ControlSession owned(options, notice);
    session = &owned;
    QLabel status(&window);
    StatusEvents events(status, json.get());
    qt::SignalQuit quit([](int) { QApplication::quit(); });
    try {
        owned.start(&events, json.get(), [&] {
            if (json) json->decoded(owned.control());
            if (options.cycles > 0 && owned.decodes() >= options.cycles) QApplication::quit();
        });
    } catch (const host::SessionError& error) {
        if (json) json->error(error.number(), error.what());
        std::fprintf(stderr, "orva-panel: %s\n", error.what());
        QMessageBox::critical(nullptr, "orva-panel", QString::fromStdString(error.what()));
        return 1;
    }

    // Declared after the session: the widget, which observes the control's
    // panel, goes first.
    auto panel = std::make_unique<qt::PanelWidget>(owned.control().panel(), &window);
    QVBoxLayout column(&window);
    column.setContentsMargins(0, 0, 0, 4);
    column.addWidget(panel.get());
    column.addWidget(&status);
    column.setSizeConstraint(QLayout::SetFixedSize);
    events.setPrefix(owned.portDescription());
    status.setText(QString::fromStdString(owned.portDescription()));
    window.show();

    app.exec();
    if (!options.snapshotPath.empty() && !window.grab().save(QString::fromStdString(options.snapshotPath)))
        std::fprintf(stderr, "orva-panel: cannot save %s\n", options.snapshotPath.c_str());
    panel.reset();
    try {
        owned.save();
    } catch (const host::SessionError& error) {
        if (json) json->error(error.number(), error.what());
        std::fprintf(stderr, "orva-panel: %s\n", error.what());
        return 1;
    }
    return 0;
}
