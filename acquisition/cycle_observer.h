#pragma once
// What a host is told of the control's cycle: each step's start and end,
// and at the end of every decode tick what that decode found. A C++ hook for
// the programs that host the control (counters, logs, JSON lines); the
// control's events, properties and panel are the same with or without it.

#include "acquisition/frame_decoding.h"

namespace orva {

enum class CycleStep { Poll, Reconfigure, Decode };  // the ticks of Timer1, Timer2, Timer3

// The end of one decode tick.
struct DecodeEnd {
    TerminalKind kind = TerminalKind::Unknown;  // Unknown: the panel shows "xxxx"
    NoWeight why = NoWeight::Empty;             // why there is no weight, when kind is Unknown
    double weight = 0;                          // the weight shown (VesCurrent), 0 when unrecognised
    bool failed = false;                        // a step of the decode failed; the cycle went on

    bool recognised() const { return kind != TerminalKind::Unknown; }
};

class CycleObserver {
public:
    virtual void stepStarting(CycleStep) {}
    // After every tick, once the control has finished with it; a decode
    // tick is followed by decodeEnded.
    virtual void stepEnded(CycleStep) {}
    virtual void decodeEnded(const DecodeEnd&) {}

protected:
    ~CycleObserver() = default;
};

}  // namespace orva
