#pragma once
// The values through which one reading passes from the poll to the status
// step. Each control instance owns its own record, so two scales on one
// window never see each other's readings.

#include <array>
#include <cstdint>
#include <string>

#include "acquisition/frame_grid.h"

namespace orva {

struct StatusFlags {
    std::int16_t VesNul = 0;
    std::int16_t VesOk = 0;
    std::int16_t VesTara = 0;
    std::int16_t VesMax = 0;
};

struct ReadingRecord {
    // Poll cycle: everything read from the port at the last poll.
    std::string ReceivedText;
    // An ORVA-2 frame has no marker, so only the reads tell where one
    // begins. The poll keeps track (acquisition/frame_grid.h): what the grid
    // said of ReceivedText, and whether the last poll sent its request.
    FrameGrid Grid;
    StepClause ReceivedStep = StepClause::Unknown;
    bool ReceivedInStep = false;
    bool SentLastPoll = true;

    // Frame decoding.
    std::string ReplyWork;
    double VesCurrent = 0;
    double VesPrevious = 0;

    // Stability detection.
    std::int16_t StabFlag = 0;
    std::int16_t StabFlagPrev = 0;
    std::int16_t StabStep = 0;  // -1..2, the position in the settling window
    std::array<double, 2> StabSamples{};

    // Status evaluation.
    StatusFlags Flags;
    char StatusChar = '\0';      // '\0' stands for the empty text before the first reset
    char StatusCharPrev = '\0';
};

}  // namespace orva
