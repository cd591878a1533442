#pragma once
// Where ORVA-2 frames begin on the line. An ORVA-2 frame carries no marker,
// so only the reads can tell: six raw digits are a weight only when the read
// begins where a frame begins, and a read may begin inside a frame when the
// one before it ended inside one (a frame still arriving at the poll), when
// a stray byte came, or when the port opened while a frame was on the line.
//
// The grid: a terminal writes every frame with the same number of bytes
// (six digits and its own trailer, or two frames at once), and the line
// loses no byte while the port is open, so once the frame length is known
// and one frame start has been seen, counting the bytes of each read tells
// where the next one begins. A frame start is seen
//  - after a poll cycle with nothing received: a terminal sends a frame in
//    one go, so a whole quiet cycle ends between frames;
//  - after two reads in a row that each begin with six raw digits and hold
//    whole frames of one length (of six bytes or more): the same reply
//    twice from a frame start, or two reads of different lengths that are
//    each one frame over and over, neither the read right after the open
//    (it covers less than a poll cycle: two reads cut at one place of the
//    frames, each covering one cycle, hold as many frames as each other);
//  - from one read of frames over and over whose frame has a byte above 9
//    after its digits, so that it can be read from one place only.
// Before the frame length is confirmed, a read from a frame start is read
// when exactly six raw digits lead it, alone or followed by a byte above 9.
// Counting is dropped (the line is out of step until a frame start is seen
// again) when the port opens, a read fails, the marker of an ORVA-1 frame
// comes, a place the grid gives to a frame's digits holds a byte above 9, a
// read that began and ended inside frames is not one frame over and over,
// or the bytes above 9 after the digits stand one place off from the last
// frame read in step. A trailer that holds CR LF, or that three weights
// had, is compared too, until a read of whole frames right after a quiet
// cycle shows it changes with the weight. A read that begins between
// frames but does not end there (a frame broken off by the poll, or a
// stray byte) is no weight either: from its bytes the two cannot be told
// apart.
//
// A line of raw digits alone (no byte above 9 in its frames) that never
// goes quiet shows no frame start from its bytes when the poll keeps in
// step with it: such a line is read only once two reads of whole frames
// differ in length. docs/design.md lists what that costs.

#include <cstddef>
#include <string>
#include <string_view>

namespace orva {

// What the grid says of one read, for the decoder and the wire trace.
enum class StepClause {
    InStep,        // a whole number of frames, beginning where a frame begins
    Quiet,         // nothing received
    Orva1,         // the marker WW: ORVA-1 frames are found by it, not by the grid
    AtOpen,        // the read begins where the port opened, perhaps inside a frame
    Unknown,       // no frame start seen since the line went out of step
    Unconfirmed,   // a frame start seen, but the frame length not yet confirmed by two reads
    InsideFrame,   // the last read ended inside a frame
    EndsOffGrid,   // begins with a frame but ends inside one, or holds a stray byte
    DigitsMissing, // a byte above 9 where the grid puts a frame's digits
    TrailerMoved   // the trailer's bytes above 9 stand one place off: a stray byte before the frame
};

std::string_view stepClauseText(StepClause clause);

class FrameGrid {
public:
    static constexpr std::size_t kLongestFrame = 64;  // digits, trailer and padding, or two frames

    struct Verdict {
        StepClause clause = StepClause::Unknown;
        bool startsInStep = false;  // six raw digits at its start are a weight
        bool holdRequest = false;   // send no request at this poll (see below)
    };

    // The port opened: the next read begins wherever the line was, and the
    // terminal on it may be another one.
    void portOpened() {
        beginsAtOpen_ = true;
        length_ = 0;
        lastLed_ = 0;
        forgetTrailer();
    }
    // A read failed: what came is lost.
    void readFailed();
    // One read of the poll. `openedThisPoll`: the port opened just before
    // this read, which then covers no poll cycle. `sentLastPoll`: the last
    // poll sent its request.
    //
    // The request is held back for this one poll when the line is out of
    // step after the read, the last poll did send, and neither this read
    // nor the last one that held anything was ORVA-1: a terminal that
    // answers when asked then stays quiet for one cycle, which is a frame
    // start. A terminal that sends unasked does not notice.
    Verdict take(std::string_view read, bool openedThisPoll, bool sentLastPoll);

    bool inStep() const { return phase_ == 0; }
    std::size_t frameLength() const { return length_; }

private:
    void learnTrailer(std::string_view frame);
    void forgetTrailer();  // and the last frame read in step
    bool trailerMoved(std::string_view read) const;
    bool trailerSure() const { return !trailerVaries_ && weightsWithTrailer_ >= kTrailerSure; }
    std::string_view trailer() const { return trailerSure() ? std::string_view(seenTrailer_) : std::string_view(); }
    // The terminal's own trailer holds a byte above 9 (CR, LF): it shows
    // every frame end, so a count shifted by a stray byte is soon refused.
    bool trailerMarksFrames() const;
    static constexpr int kTrailerSure = 3;  // weights with one trailer before it is taken as the terminal's own

    std::size_t length_ = 0;  // bytes from one frame start to the next; 0 until confirmed
    long phase_ = -1;         // bytes of the present frame already read; 0 between frames; -1 unknown
    bool beginsAtOpen_ = true;
    bool quietBefore_ = false;  // the last poll cycle received nothing
    std::size_t lastLed_ = 0;         // length of the last read that held anything, if six raw digits led it
    std::string lastRead_;            // its first bytes
    std::size_t lastPeriod_ = 0;      // and the period of its bytes, when they repeat
    bool lastLedBeganInStep_ = false;  // and it began between frames
    bool lastLedAtOpen_ = false;       // or where the port opened, covering less than a poll cycle
    std::size_t lastVote_ = 0;        // a frame length the last pair found that the grid did not take
    bool lastWasOrva1_ = false;       // the last read that held anything had the marker
    std::string seenTrailer_;         // the bytes after the digits of the frames read in step
    std::string seenDigits_;          // of the last frame read in step of a new weight
    std::string stepFrame_;           // the last frame read in step, while the frame length holds
    int weightsWithTrailer_ = 0;      // how many weights in a row had the trailer
    bool trailerVaries_ = false;      // a block check: not compared
};

}  // namespace orva
