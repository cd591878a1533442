#pragma once
// Everything one control needs, in virtual time: the clock and its timers,
// a recording notice, a fixed locale and a simulated line with its terminal.

#include "control/activex_orva.h"
#include "platform/virtual/simulated_line.h"
#include "platform/virtual/virtual_clock.h"
#include "platform/virtual/virtual_services.h"

namespace orva::virtual_time {

struct VirtualPlatform {
    VirtualClock clock;
    VirtualTimerFactory timers{clock};
    RecordingNotice notice;
    FixedLocale locale{"."};
    SimulatedLine line{clock};
    Trace* trace = nullptr;  // a wire trace for the controls created from now on

    // What a control created now gets: a new port object on the line.
    ControlPlatform controlPlatform() { return {line.makePort(), timers, notice, locale, trace}; }
};

}  // namespace orva::virtual_time
