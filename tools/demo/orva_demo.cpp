// A control on a simulated line in virtual time: a load goes on the scale,
// settles, is taken off, and the next one comes. Prints every event and the
// panel after each decode. Runs in an instant and needs no serial device.

#include <cstdio>
#include <string>
#include <vector>

#include "control/activex_orva.h"
#include "orva/version.h"
#include "platform/virtual/simulated_line.h"
#include "platform/virtual/virtual_clock.h"
#include "platform/virtual/virtual_services.h"

namespace {

using namespace orva;
using namespace orva::virtual_time;

std::string orva1(const char* field) { return std::string("\x02WW") + field + "kg\r\n"; }

class PrintingEvents : public ControlEvents {
public:
    explicit PrintingEvents(const VirtualClock& clock) : clock_(clock) {}
    void StabVes(double w) override { std::printf("%6lld ms  StabVes(%g)\n", now(), w); }
    void ChangeVes(double w) override { std::printf("%6lld ms  ChangeVes(%g)\n", now(), w); }
    void VesStatus(std::int16_t nul, std::int16_t& ok, std::int16_t& tara, std::int16_t& max) override {
        std::printf("%6lld ms  VesStatus(%d, %d, %d, %d)\n", now(), nul, ok, tara, max);
    }

private:
    long long now() const { return static_cast<long long>(clock_.now()); }
    const VirtualClock& clock_;
};

const char* lampText(Colour c) { return c == kGreen ? "G" : c == kRed ? "R" : c == kWhite ? "w" : "."; }

void printPanel(const ActivexORVA& control, Millis now) {
    const PanelModel& p = control.panel();
    std::printf("%6lld ms  [%-7s] >0<%s Ok%s T%s Max%s | %s%s%s | %-8s %-3s | VesTerminal=\"%s\" StatusTerminal=%s\n",
                static_cast<long long>(now), p.Frame1().text.c_str(), lampText(p.Shape2(0).fill),
                lampText(p.Shape2(1).fill), lampText(p.Shape2(2).fill), lampText(p.Shape2(3).fill),
                lampText(p.Shape1(2).fill), lampText(p.Shape1(1).fill), lampText(p.Shape1(0).fill),
                p.Label2().text.c_str(), p.Label3().text.c_str(), control.VesTerminal().c_str(),
                control.StatusTerminal().c_str());
}

}  // namespace

constexpr const char* kUsage = R"(usage: orva-demo [--help | --version]

Runs one weighing terminal control in virtual time against a simulated
ORVA-1 terminal: a load goes on the scale, settles, is taken off, and the
next one comes. Prints every event the control raises (ChangeVes, StabVes,
VesStatus) and the panel after each decode that changed the weight, then
exits; it needs no serial device and takes no time.

The panel line: [frame caption] the status lamps >0< (weight exactly zero),
Ok (at least one stability lamp green), T (tare), Max (over the maximum),
each G green or . dark; the three stability lamps, top to bottom, G green
or R red (all three green: the weight settled); the weight and unit; the
VesTerminal and StatusTerminal properties.

options:
  --version   the version
  --help      this text
)";

int main(int argc, char** argv) {
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (arguments.size() == 1 && (arguments[0] == "--help" || arguments[0] == "-h")) {
        std::fputs(kUsage, stdout);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (arguments.size() == 1 && arguments[0] == "--version") {
        std::printf("orva-demo %s\n", ORVA_VERSION_STRING);
        return std::fflush(stdout) == 0 ? 0 : 1;
    }
    if (!arguments.empty()) {
        std::fprintf(stderr, "orva-demo: unknown argument \"%s\"\norva-demo: see --help\n", arguments[0].c_str());
        return 2;
    }
    VirtualClock clock;
    VirtualTimerFactory timers(clock);
    RecordingNotice notice;
    FixedLocale locale(".");
    SimulatedLine line(clock);
    line.setFrame(orva1("  0.000"));

    ActivexORVA control({line.makePort(), timers, notice, locale});
    PrintingEvents events(clock);
    control.setEventSink(&events);

    const std::vector<std::pair<Millis, std::string>> script = {
        {0, "  0.000"},     {2000, "  3.120"}, {2400, "  7.800"}, {2800, " 12.480"},
        {3200, " 12.500"},  {6000, "  0.000"}, {8000, " 25.000"}, {11000, "  0.000"},
    };
    std::size_t next = 0;
    std::string lastDecodedCaption;
    for (Millis t = 0; t <= 13000; t += 100) {
        while (next < script.size() && script[next].first <= t) line.setFrame(orva1(script[next++].second.c_str()));
        clock.advanceTo(t);
        if (control.Timer1().Enabled() && control.panel().Label2().text != lastDecodedCaption) {
            lastDecodedCaption = control.panel().Label2().text;
            printPanel(control, clock.now());
        }
    }
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "orva-demo: cannot write to standard output\n");
        return 1;
    }
    return 0;
}
