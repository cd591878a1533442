#pragma once
// Everything of one control instance that the weight path reads and writes.
// The control object builds it once; the poll cycle, the decoder, the
// stability and status steps all work through it.

#include "acquisition/control_events.h"
#include "acquisition/cycle_observer.h"
#include "acquisition/reading_record.h"
#include "acquisition/property_record.h"
#include "panel/panel_model.h"
#include "platform/interval_timer.h"
#include "platform/locale.h"
#include "platform/serial_port.h"
#include "platform/trace.h"
#include "platform/user_notice.h"

namespace orva {

struct ControlParts {
    PropertyRecord& properties;
    ReadingRecord& reading;
    PanelModel& panel;
    SerialPort& MSComm1;
    IntervalTimer& Timer1;
    IntervalTimer& Timer2;
    IntervalTimer& Timer3;
    UserNotice& notice;
    const Locale& locale;
    ControlEvents* events = nullptr;  // the host's sink, when one is connected
    Trace* trace = nullptr;           // the wire trace, when field support asked for one
    DecodeEnd decodeEnd{};            // what the last decode found, for the host's observer
};

// A trace line, built only when the trace is on.
template <class Build>
void traceLine(const ControlParts& parts, Build&& build) {
    if (parts.trace != nullptr) parts.trace->line(build());
}

// Poll cycle and port supervision.
void Default_Flag(ReadingRecord& reading);
void Init_VC(ControlParts& parts);
void Timer1_Timer(ControlParts& parts);  // poll
void Timer2_Timer(ControlParts& parts);  // reconfigure the port
void Timer3_Timer(ControlParts& parts);  // decode

// The weight path proper.
void Com_ORVA_Signal(ControlParts& parts);
void Stability(ControlParts& parts);
void Status_Terminale(ControlParts& parts);

}  // namespace orva
