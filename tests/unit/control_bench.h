#pragma once
// A control on a simulated line in virtual time, with everything it tells
// its host recorded: events (with the instant and what the control showed at
// that moment), property-change notifications, messages and beeps.

#include <gtest/gtest.h>

#include <charconv>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "acquisition/control_parts.h"
#include "control/activex_orva.h"
#include "tests/support/virtual_platform.h"

namespace orva::testing {

using virtual_time::Millis;

struct RecordedEvent {
    std::string name;  // "ChangeVes", "StabVes", "VesStatus"
    double weight = 0;
    std::int16_t flags[4] = {0, 0, 0, 0};
    Millis at = 0;
    std::string vesTerminalSeen;  // VesTerminal while the event was raised
    std::string statusTerminalSeen;
};

class RecordingEvents : public ControlEvents {
public:
    RecordingEvents(const virtual_time::VirtualClock& clock, const ActivexORVA*& control)
        : clock_(clock), control_(control) {}

    void StabVes(double w) override { record("StabVes", w); }
    void ChangeVes(double w) override { record("ChangeVes", w); }
    void VesStatus(std::int16_t nul, std::int16_t& ok, std::int16_t& tara, std::int16_t& max) override {
        RecordedEvent& e = record("VesStatus", 0);
        e.flags[0] = nul, e.flags[1] = ok, e.flags[2] = tara, e.flags[3] = max;
        if (onVesStatus) onVesStatus(nul, ok, tara, max);
    }

    std::vector<std::string> names() const {
        std::vector<std::string> out;
        for (const auto& e : events) out.push_back(e.name);
        return out;
    }

    std::vector<RecordedEvent> events;
    std::function<void(std::int16_t, std::int16_t&, std::int16_t&, std::int16_t&)> onVesStatus;

private:
    RecordedEvent& record(const char* name, double weight) {
        RecordedEvent e{name, weight, {0, 0, 0, 0}, clock_.now(), "", ""};
        if (control_ != nullptr) {
            e.vesTerminalSeen = control_->VesTerminal();
            e.statusTerminalSeen = control_->StatusTerminal();
        }
        events.push_back(std::move(e));
        return events.back();
    }
    const virtual_time::VirtualClock& clock_;
    const ActivexORVA*& control_;
};

class RecordingPropertyChanges : public PropertyChangeSink {
public:
    void propertyChanged(std::string_view name) override {
        names.emplace_back(name);
        if (failWith) throw *failWith;
    }
    std::vector<std::string> names;
    std::optional<Failure> failWith;
};

// The whole control, created as a host creates it, on a simulated line.
class ControlBench : public ::testing::Test, protected virtual_time::VirtualPlatform {
protected:
    const ActivexORVA* observed = nullptr;
    RecordingEvents events{clock, observed};
    RecordingPropertyChanges changes;
    std::unique_ptr<ActivexORVA> control;

    // Set up the line and terminal first: creation opens the port.
    ActivexORVA& create() {
        control = std::make_unique<ActivexORVA>(controlPlatform());
        control->setEventSink(&events);
        control->setPropertyChangeSink(&changes);
        observed = control.get();
        return *control;
    }

    const PanelModel& panel() const { return control->panel(); }
    const ReadingRecord& reading() const { return control->reading(); }

    int enabledTimers() const {
        return int(control->Timer1().Enabled()) + int(control->Timer2().Enabled()) + int(control->Timer3().Enabled());
    }
};

// The weight path on its own: the records, panel and timers of one control,
// with ReceivedText set directly, as the poll would leave it.
class WeightPathBench : public ::testing::Test, protected virtual_time::VirtualPlatform {
protected:
    std::unique_ptr<SerialPort> port = line.makePort();
    std::unique_ptr<IntervalTimer> timer1 = timers.makeTimer([] {});
    std::unique_ptr<IntervalTimer> timer2 = timers.makeTimer([] {});
    std::unique_ptr<IntervalTimer> timer3 = timers.makeTimer([] {});
    PropertyRecord properties;
    ReadingRecord reading;
    PanelModel panel;
    const ActivexORVA* noControl = nullptr;
    RecordingEvents events{clock, noControl};
    ControlParts parts{properties, reading, panel, *port, *timer1, *timer2, *timer3, notice, locale, &events};

    WeightPathBench() {
        Default_Flag(reading);
        timer1->setInterval(300);
    }

    // A reply the poll found beginning where a frame begins.
    void decode(std::string reply) {
        reading.ReceivedText = std::move(reply);
        reading.ReceivedInStep = true;
        Com_ORVA_Signal(parts);
    }
    // A recognised ORVA-1 reading of `weight` (at most 7 characters of text,
    // closed by the terminal's line end).
    void decodeWeight(double weight) {
        char text[32];
        const auto end = std::to_chars(text, text + sizeof text, weight).ptr;
        decode("WW" + std::string(text, end) + "\r\n");
    }

    std::vector<Colour> stabilityLamps() const {
        return {panel.Shape1(0).fill, panel.Shape1(1).fill, panel.Shape1(2).fill};
    }
    std::vector<Colour> statusLamps() const {
        return {panel.Shape2(0).fill, panel.Shape2(1).fill, panel.Shape2(2).fill, panel.Shape2(3).fill};
    }
};

inline std::string orva2(std::initializer_list<int> digits) {
    std::string s;
    for (int d : digits) s.push_back(static_cast<char>(d));
    return s;
}

}  // namespace orva::testing
