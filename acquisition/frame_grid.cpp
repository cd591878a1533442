#include "acquisition/frame_grid.h"

#include <algorithm>
#include <numeric>

namespace orva {
namespace {

constexpr std::size_t kDigits = 6;
constexpr std::string_view kMarker = "WW";
constexpr std::size_t kKeptRead = 4 * FrameGrid::kLongestFrame;

bool isRawDigit(char c) { return static_cast<unsigned char>(c) < 10; }

std::size_t leadingRawDigits(std::string_view read) {
    std::size_t n = 0;
    while (n < read.size() && isRawDigit(read[n])) ++n;
    return n;
}

bool ledBySixRawDigits(std::string_view read) {
    if (read.size() < kDigits) return false;
    for (std::size_t i = 0; i < kDigits; ++i)
        if (!isRawDigit(read[i])) return false;
    return true;
}

// Whether every place that the grid gives to a frame's digits holds a raw
// digit, for a read that begins `phase` bytes into a frame, and every place
// it gives to the trailer holds the trailer, when the terminal's is known.
bool fitsTheGrid(std::string_view read, std::size_t length, std::size_t phase, std::string_view trailer) {
    for (std::size_t i = 0; i < read.size(); ++i) {
        const std::size_t at = (phase + i) % length;
        if (at < kDigits ? !isRawDigit(read[i]) : (!trailer.empty() && read[i] != trailer[at - kDigits])) return false;
    }
    return true;
}

// Whether a frame's bytes, read around from any place but their first,
// never give six raw digits.
bool onlyOneFrameStart(std::string_view frame) {
    for (std::size_t r = 1; r < frame.size(); ++r) {
        bool digits = true;
        for (std::size_t i = 0; i < kDigits && digits; ++i) digits = isRawDigit(frame[(r + i) % frame.size()]);
        if (digits) return false;
    }
    return true;
}

// The smallest period of the read's bytes, when it holds two periods or
// more: the frame length of a terminal that repeats one weight, whatever the
// read began with. 0 when the read shows none (one frame, or a new weight).
std::size_t periodOf(std::string_view read) {
    for (std::size_t p = 1; 2 * p <= read.size(); ++p)
        if (read.substr(p) == read.substr(0, read.size() - p)) return p;
    return 0;
}

}  // namespace

std::string_view stepClauseText(StepClause clause) {
    switch (clause) {
        case StepClause::InStep: return "in step: whole frames from a frame start";
        case StepClause::Quiet: return "a quiet poll cycle: the line is between frames";
        case StepClause::Orva1: return "the marker WW: an ORVA-1 frame, found by its marker";
        case StepClause::AtOpen: return "the read begins where the port opened, perhaps inside a frame";
        case StepClause::Unknown: return "no frame start seen since the line went out of step";
        case StepClause::Unconfirmed:
            return "a frame start seen, the frame length not yet confirmed by two reads";
        case StepClause::InsideFrame: return "the last read ended inside a frame, so this one begins inside it";
        case StepClause::EndsOffGrid:
            return "the read ends inside a frame or holds a stray byte (a whole number of frames expected)";
        case StepClause::DigitsMissing: return "a byte above 9 where the frame length puts a frame's digits";
        case StepClause::TrailerMoved:
            return "the bytes above 9 after the digits stand elsewhere than in the last frame read in step";
    }
    return "unknown";
}

// The bytes after the digits (ETX, CR LF, padding), once frames of three
// weights read in step had the same ones, or at once when they hold CR LF:
// from then on a frame whose trailer differs is out of step. A block check
// changes with the weight and is never compared.
void FrameGrid::learnTrailer(std::string_view frame) {
    const std::string_view digits = frame.substr(0, kDigits);
    const std::string_view trailer = frame.substr(kDigits);
    if (trailerVaries_ || trailer.empty() || trailerSure()) return;
    if (seenTrailer_.empty()) {
        seenTrailer_.assign(trailer);
        seenDigits_.assign(digits);
        // CR LF closes a text line: the terminal's own. One byte of CR or
        // LF alone may be a check byte that happened to take that value.
        weightsWithTrailer_ = trailer.find("\r\n") != std::string_view::npos ? kTrailerSure : 1;
    } else if (trailer != seenTrailer_) {
        trailerVaries_ = true;  // a check byte
    } else if (digits != seenDigits_) {
        seenDigits_.assign(digits);
        ++weightsWithTrailer_;
    }
}

bool FrameGrid::trailerMarksFrames() const {
    const std::string_view t = trailer();
    return std::any_of(t.begin(), t.end(), [](char c) { return !isRawDigit(c); });
}

// Whether a frame of the read has, after its digits, a byte above 9 where
// the last frame read in step had a raw digit and a raw digit where it had a
// byte above 9. A check byte that changes with the weight moves above 9 or
// below 10 everywhere at once; a frame read one place off, because a stray
// byte came before it, moves its bytes above 9 both ways. A frame length
// learned from replies that each held a stray byte after the frame counts
// that byte as the frame's own, and only this shows such a shift.
bool FrameGrid::trailerMoved(std::string_view read) const {
    if (stepFrame_.size() != length_) return false;
    bool cameAbove = false;
    bool wentBelow = false;
    for (std::size_t at = 0; at + length_ <= read.size(); at += length_) {
        for (std::size_t i = kDigits; i < length_; ++i) {
            const bool was = isRawDigit(stepFrame_[i]);
            const bool is = isRawDigit(read[at + i]);
            cameAbove = cameAbove || (was && !is);
            wentBelow = wentBelow || (!was && is);
        }
    }
    return cameAbove && wentBelow;
}

void FrameGrid::forgetTrailer() {
    stepFrame_.clear();
    seenTrailer_.clear();
    seenDigits_.clear();
    weightsWithTrailer_ = 0;
    trailerVaries_ = false;
}

void FrameGrid::readFailed() {
    phase_ = -1;
    lastLed_ = 0;
    beginsAtOpen_ = true;
}

FrameGrid::Verdict FrameGrid::take(std::string_view read, bool openedThisPoll, bool sentLastPoll) {
    const bool atOpen = beginsAtOpen_ || openedThisPoll;
    beginsAtOpen_ = false;
    Verdict v;
    if (read.empty()) {
        // A whole poll cycle with nothing received ends between frames; the
        // read right after an open covers no cycle.
        // Bytes of a frame that was on the line at the open come next.
        phase_ = openedThisPoll ? -1 : 0;
        quietBefore_ = !openedThisPoll;
        beginsAtOpen_ = openedThisPoll;
        v.clause = openedThisPoll ? StepClause::AtOpen : StepClause::Quiet;
        return v;
    }
    if (read.find(kMarker) != std::string_view::npos) {
        phase_ = -1;
        quietBefore_ = false;
        lastLed_ = 0;
        lastWasOrva1_ = true;
        v.clause = StepClause::Orva1;
        return v;
    }

    const long start = atOpen ? -1 : phase_;
    const bool quietBefore = quietBefore_;
    quietBefore_ = false;
    const bool led = ledBySixRawDigits(read);
    const std::size_t n = read.size();
    // Only a read led by six raw digits may show a frame length by its period.
    const std::size_t readPeriod = led ? periodOf(read) : 0;
    long after = -1;
    const bool beganBeforeTheLength = start == 0 && length_ == 0;
    if (start < 0) {
        v.clause = atOpen ? StepClause::AtOpen : StepClause::Unknown;
    } else if (beganBeforeTheLength) {
        // Before the frame length is confirmed, a read from a frame start is
        // a frame when exactly six raw digits lead it and nothing or a byte
        // above 9 follows them: a stray raw digit before them would make
        // seven. Its length is confirmed by the next.
        const std::size_t digits = leadingRawDigits(read);
        v.clause = digits == kDigits ? StepClause::InStep : StepClause::Unconfirmed;
    } else if (quietBefore && start == 0 && length_ != 0 && !trailer().empty() && n % length_ == 0 &&
               !fitsTheGrid(read, length_, 0, trailer()) && fitsTheGrid(read, length_, 0, "")) {
        // Whole frames right after a quiet cycle, but for the trailer: it
        // changes with the weight after all (a check byte that took one
        // value for three weights). Without the quiet cycle the same bytes
        // may be frames shifted, which the trailer is there to show.
        trailerVaries_ = true;
        v.clause = StepClause::InStep;
        after = 0;
    } else if (!fitsTheGrid(read, length_, static_cast<std::size_t>(start), trailer())) {
        v.clause = StepClause::DigitsMissing;
    } else if (start == 0 && trailerMoved(read)) {
        // Out of step, and the frame length is learned again: a terminal
        // whose check bytes do move so is read again after a quiet cycle.
        v.clause = StepClause::TrailerMoved;
        length_ = 0;
        forgetTrailer();
    } else {
        after = static_cast<long>((static_cast<std::size_t>(start) + n) % length_);
        if (start != 0) v.clause = StepClause::InsideFrame;
        else if (after != 0) v.clause = StepClause::EndsOffGrid;
        else v.clause = StepClause::InStep;
        // A read that ended inside a frame, or held a stray byte: the two
        // cannot be told apart, so the count goes on past it only until the
        // next read, which must end where the count says a frame ends. A
        // read that begins and ends inside frames keeps the count only when
        // it is one frame over and over, broken off at both ends (a terminal
        // whose period the poll keeps in step with): a stray byte breaks the
        // repeat and would shift the count for good, and a later read cut
        // at the place that makes up for it would then seem whole. A
        // trailer that marks every frame end finds such a shift by itself.
        const bool repeats = n >= 2 * length_ && read.substr(length_) == read.substr(0, n - length_);
        if (start != 0 && after != 0 && !repeats && !trailerMarksFrames()) after = -1;
    }

    // Two reads in a row, each led by six raw digits, that hold whole frames
    // of one length: counting starts again after them. Which pairs count:
    //  - anchored (the first began at a known frame start, or this one
    //    does): reads of equal length (one reply each), or lengths that are
    //    whole multiples of the period their bytes repeat with;
    //  - not anchored: only lengths that differ and are whole multiples of
    //    such a period, and not with the read right after the open. Reads
    //    cut at the same place of every frame (a terminal whose period the
    //    poll keeps in step with) each cover one poll cycle and hold as many
    //    frames, so they are as long as each other, and their bytes repeat
    //    too, shifted: no reading of the bytes tells them from whole frames
    //    when every byte is a raw digit. The read after the open covers less
    //    than a cycle, so it may be shorter and cut at the same place;
    //  - a known trailer with a byte above 9 (CR, LF) that both reads fit,
    //    digits and trailer, wherever counting had them: it marks every
    //    frame end by itself, and also puts counting right after a stray
    //    byte, which shifts it for good on a line that never goes quiet.
    const bool moved = v.clause == StepClause::TrailerMoved;  // no frame start to learn from
    if (led && lastLed_ > 0 && after != 0 && !moved) {
        const bool anchoredStart = start == 0 || (length_ == 0 && lastLedBeganInStep_);
        // The period of the frames both reads hold: each is one frame, or
        // that frame over and over. A stray byte breaks the repeat, so a
        // read that held one and ended inside a frame (the two cancel in
        // its length) is not taken for whole frames.
        std::size_t period = 0;
        for (const std::size_t p : {readPeriod, lastPeriod_})
            if (period == 0 && p >= kDigits && n % p == 0 && lastLed_ % p == 0 && (n == p || readPeriod == p) &&
                (lastLed_ == p || lastPeriod_ == p))
                period = p;
        // Two single replies of equal length must be the same reply: a stray
        // byte before one reply and after the other, or noise before each,
        // gives equal lengths too.
        const bool sameReply = read == std::string_view(lastRead_);
        std::size_t g = 0;
        if (anchoredStart) g = period != 0 ? period : (sameReply ? n : 0);
        else if (n != lastLed_ && !lastLedAtOpen_) g = period;
        const bool markedFrames =
            length_ != 0 && n % length_ == 0 && lastLed_ % length_ == 0 && trailerMarksFrames();
        if (markedFrames) g = length_;
        const bool anchored = anchoredStart || markedFrames;
        // A frame length already confirmed gives way only to one it divides
        // or that divides it (frames sent singly or in pairs), or to one that
        // two pairs in a row agree on: two reads that each held a stray byte
        // share a length too.
        const bool commensurate = length_ == 0 || g % length_ == 0 || length_ % g == 0;
        const bool secondVote = g > 0 && g == lastVote_;
        lastVote_ = commensurate ? 0 : g;
        const bool fits = g > 0 && (commensurate || secondVote) &&
                          fitsTheGrid(read, g, 0, g == length_ ? trailer() : "") &&
                          fitsTheGrid(lastRead_, g, 0, g == length_ ? trailer() : "");
        if (g >= kDigits && g <= kLongestFrame && fits) {
            if (g != length_) forgetTrailer();
            length_ = g;
            after = 0;
            if (anchored) v.clause = StepClause::InStep;
            if (n >= g) learnTrailer(read.substr(0, g));
        }
    }
    // A read that is one frame over and over (two frames or more, one
    // weight, no stray byte) shows the frame length by itself, and where its
    // frames begin when it is known to begin with one, or when its frame
    // can be read from one place only: every other place puts a byte above
    // 9 (CR, LF, a check byte) among the six digits.
    if (led && after != 0 && !moved) {
        const std::size_t p = readPeriod;
        if (p >= kDigits && p <= kLongestFrame && n % p == 0 && fitsTheGrid(read, p, 0, "") &&
            (start == 0 || onlyOneFrameStart(read.substr(0, p)))) {
            if (p != length_) forgetTrailer();
            length_ = p;
            after = 0;
            v.clause = StepClause::InStep;
        }
    }
    lastPeriod_ = readPeriod;
    if (led) lastRead_.assign(read.substr(0, std::min(read.size(), kKeptRead)));

    lastLed_ = led ? n : 0;
    lastLedBeganInStep_ = start == 0;
    lastLedAtOpen_ = atOpen;
    v.startsInStep = v.clause == StepClause::InStep;
    if (v.startsInStep && length_ >= kDigits && n >= length_) {
        learnTrailer(read.substr(0, length_));
        stepFrame_.assign(read.substr(0, length_));
    }
    // A read that began at a frame start before the frame length is known
    // may well have ended at one: holding the request back would cost a
    // terminal that answers when asked its first reading.
    v.holdRequest = after != 0 && !beganBeforeTheLength && sentLastPoll && !lastWasOrva1_;
    lastWasOrva1_ = false;
    phase_ = after;
    return v;
}

}  // namespace orva
