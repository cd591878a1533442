#pragma once
// A terminal's stream of well-formed frames, cut into reads at arbitrary
// points, read by a whole control in virtual time. The invariant: every
// weight the control reports (ChangeVes, StabVes, or simply recognised) is
// the weight of a frame that lies whole inside that read, frames are read in
// the order they were sent, and one loading (a run of frames of one weight)
// raises at most one StabVes. One exception is counted, not broken: frames
// of raw digits alone, cut at the same place time after time, are whole
// frames shifted as far as any reading of the bytes can tell, and so is a
// read that is copies of one block of six raw digits and what follows them,
// or that begins with stray bytes before a frame and six raw digits;
// a terminal in time (fuzz/terminal_line.h) meets that only on a line that
// streams.
//
// Shared by the property test (choices from a seeded generator) and the fuzz
// target (choices from the fuzzer's bytes).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "acquisition/frame_decoding.h"
#include "control/activex_orva.h"
#include "fuzz/weight_events.h"
#include "platform/virtual/simulated_line.h"
#include "platform/virtual/virtual_clock.h"
#include "platform/virtual/virtual_services.h"

namespace orva::split_frames {

// Where to take each choice from: pick(n) is a number in 0..n-1.
using Pick = std::function<unsigned(unsigned n)>;

struct SentFrame {
    std::size_t noise = 0;     // first of the noise bytes before the frame, else begin
    std::size_t begin = 0;     // first byte of the weight: the marker, or the first digit
    std::size_t coreEnd = 0;   // one past the bytes that carry the weight
    std::size_t end = 0;       // one past the trailer
    double weight = 0;
    std::size_t run = 0;       // frames of one loading share it
};

struct Read {
    std::size_t begin = 0;
    std::size_t end = 0;  // equal to begin: a poll cycle with nothing received
};

struct Scenario {
    bool orva2 = false;
    bool rawDigitsOnly = false;  // ORVA-2 frames with nothing after the digits
    std::int16_t decPoint = 1;
    std::int16_t minFixVes = 0;
    std::string stream;
    std::vector<SentFrame> frames;
    std::vector<Read> reads;
};

namespace detail {

inline std::string orva1Number(long value, unsigned decimals) {
    std::string digits = std::to_string(value < 0 ? -value : value);
    if (decimals > 0) {
        if (digits.size() <= decimals) digits.insert(0, decimals + 1 - digits.size(), '0');
        digits.insert(digits.size() - decimals, ".");
    }
    return (value < 0 ? "-" : "") + digits;
}

// Bytes that a line may carry before a frame: raw digits (a stray 0x00, a
// break) and other bytes that no frame holds. Never a 'W', a line feed or a
// text digit, which would make another frame or continue a number.
inline char noiseByte(const Pick& pick) {
    static constexpr unsigned char kOthers[] = {0x11, 0x13, 0x80, 0xFF, '?', ' ', '\r', 0x1B};
    const unsigned c = pick(10 + sizeof kOthers);
    return static_cast<char>(c < 10 ? c : kOthers[c - 10]);
}

}  // namespace detail

inline Scenario makeScenario(const Pick& pick) {
    Scenario s;
    s.orva2 = pick(2) == 1;
    s.decPoint = static_cast<std::int16_t>(static_cast<int>(pick(9)) - 4);
    s.minFixVes = static_cast<std::int16_t>(pick(3) == 0 ? 0 : pick(20000));

    // The terminal's own way of writing a frame, fixed for the whole stream.
    static const char* const kOrva2Trailers[] = {"", "", "\r\n", "\r"};  // bytes above 9: ETX would be a digit
    static const char* const kWideTrailers[] = {"", "\r\n", "\x03", "kg\r\n"};
    static const char* const kShortTrailers[] = {"\r\n", "\x03", "kg", "kg\r\n"};
    const std::string orva2Trailer = kOrva2Trailers[pick(4)];
    s.rawDigitsOnly = s.orva2 && orva2Trailer.empty();
    const bool wide = pick(2) == 1;
    const bool zeroPadded = pick(2) == 1;
    const std::string orva1Trailer = wide ? kWideTrailers[pick(4)] : kShortTrailers[pick(4)];
    const std::string prefix = pick(2) == 1 ? "\x02" : "";
    const unsigned decimals = pick(4);
    const unsigned noiseOdds = 2 + pick(12);  // one frame in this many has noise before it

    // A few weights, so that loadings repeat and settle.
    long palette[3];
    for (long& raw : palette) raw = s.orva2 ? static_cast<long>(pick(1000)) * (1 + pick(1000)) % 1000000
                                            : static_cast<long>(pick(100000)) - 9999;
    const unsigned runs = 1 + pick(10);
    std::size_t run = 0;
    for (unsigned r = 0; r < runs; ++r, ++run) {
        const long raw = palette[pick(3)];
        const unsigned length = 1 + pick(6);
        for (unsigned k = 0; k < length; ++k) {
            SentFrame f;
            f.noise = s.stream.size();
            if (pick(noiseOdds) == 0)
                for (unsigned n = 1 + pick(3); n > 0; --n) s.stream.push_back(detail::noiseByte(pick));
            f.begin = s.stream.size();
            f.run = run;
            if (s.orva2) {
                long rest = raw;
                for (int i = 0; i < 6; ++i, rest /= 10) s.stream.push_back(static_cast<char>(rest % 10));
                f.coreEnd = s.stream.size();
                f.weight = decodeReply(s.stream.substr(f.begin, 6), s.decPoint).weight;
                s.stream += orva2Trailer;
            } else {
                std::string field = detail::orva1Number(raw, decimals);
                if (field.size() > 7) field = detail::orva1Number(raw / 1000, 0);
                f.weight = std::strtod(field.c_str(), nullptr);
                if (wide && field.size() < 7) {  // right-aligned: zeros for a weight of 0 or more, else blanks
                    const bool zeros = zeroPadded && raw >= 0;
                    field.insert(0, 7 - field.size(), zeros ? '0' : ' ');
                }
                s.stream += prefix;
                f.begin = s.stream.size();
                s.stream += "WW" + field;
                f.coreEnd = s.stream.size();
                s.stream += orva1Trailer;
            }
            f.end = s.stream.size();
            s.frames.push_back(f);
        }
    }

    // Reads: one byte each, whole frames, a cut that repeats at the same
    // place of every frame, or anywhere; a quiet cycle only between frames.
    const unsigned mode = pick(4);
    const std::size_t frameLength = s.frames.front().end - s.frames.front().begin;
    const std::size_t phase = 1 + pick(static_cast<unsigned>(frameLength));
    std::size_t at = 0;
    std::size_t nextFrame = 0;
    while (at < s.stream.size()) {
        while (nextFrame < s.frames.size() && s.frames[nextFrame].end <= at) ++nextFrame;
        const bool betweenFrames =
            at == 0 || (nextFrame > 0 && s.frames[nextFrame - 1].end == at);
        if (betweenFrames && pick(6) == 0) s.reads.push_back({at, at});
        std::size_t length = 1;
        switch (mode) {
            case 0: length = 1; break;
            case 1:  // whole frames, now and then two at once or one cut anywhere
                if (nextFrame < s.frames.size()) {
                    const std::size_t upTo = s.frames[std::min(nextFrame + (pick(5) == 0), s.frames.size() - 1)].end;
                    length = pick(8) == 0 ? 1 + pick(static_cast<unsigned>(frameLength)) : upTo - at;
                } else {
                    length = s.stream.size() - at;
                }
                break;
            case 2: length = at == 0 ? phase : frameLength; break;
            default: length = 1 + pick(static_cast<unsigned>(3 * frameLength)); break;
        }
        // Raw-digit noise and the first digits of the frame after it, six in
        // all, cannot be told from a frame by any read: a read that begins
        // inside the noise goes on at least to the end of that frame. (The
        // poll reads before it asks, so a terminal that answers when asked is
        // never cut inside its answer.)
        if (nextFrame < s.frames.size() && s.frames[nextFrame].noise <= at && s.frames[nextFrame].begin > at)
            length = std::max(length, s.frames[nextFrame].coreEnd - at);
        length = std::max<std::size_t>(1, std::min(length, s.stream.size() - at));
        s.reads.push_back({at, at + length});
        at += length;
    }
    return s;
}

// Runs a scenario through a control in virtual time. Each broken rule is
// handed to `broken` with a description; the run goes on.
class ScenarioRun {
public:
    using Broken = std::function<void(const std::string&)>;

    ScenarioRun(const Scenario& s, Broken broken) : s_(s), broken_(std::move(broken)) {
        control_.setEventSink(&events_);
        control_.setDecPoint(s.decPoint);
        control_.setMinFixVes(s.minFixVes);
        runUntilDecode();  // the start-up decode of nothing
    }

    void run() {
        stabVesOfRun_.assign(s_.frames.size() + 1, 0);
        for (std::size_t i = 0; i < s_.reads.size(); ++i) readAndCheck(i);
    }

    std::size_t weightsRead() const { return weightsRead_; }
    std::size_t stableWeights() const { return stableWeights_; }
    std::size_t shiftedWeights() const { return shiftedWeights_; }

private:
    using Events = orva::fuzz::WeightEvents;

    void runUntilDecode() {
        for (int step = 0; step < 8; ++step) {
            const bool decodeDue = control_.Timer3().Enabled();
            if (!clock_.runNext()) break;
            if (decodeDue && !control_.Timer3().Enabled()) return;
        }
        broken_("no decode within two poll cycles");
    }

    void readAndCheck(std::size_t index) {
        const Read& r = s_.reads[index];
        const std::string bytes = s_.stream.substr(r.begin, r.end - r.begin);
        events_.changes.clear();
        events_.stable.clear();
        if (!bytes.empty()) line_.inject(bytes);
        runUntilDecode();
        const auto where = [&] {
            std::string hex;
            for (unsigned char c : bytes) {
                static constexpr char kHex[] = "0123456789ABCDEF";
                hex += {kHex[c >> 4], kHex[c & 15], ' '};
            }
            std::string previous;
            if (index > 0) previous = " after " + std::to_string(s_.reads[index - 1].end - s_.reads[index - 1].begin) + " bytes";
            return " at read " + std::to_string(index) + " (bytes " + std::to_string(r.begin) + ".." +
                   std::to_string(r.end) + ": " + hex + ")" + previous;
        };
        if (control_.reading().ReceivedText != bytes) broken_("the poll did not read what arrived" + where());
        if (control_.TipTerminal() == "unknown") {
            if (!events_.changes.empty() || !events_.stable.empty()) broken_("an unrecognised read raised an event" + where());
            return;
        }
        const double weight = control_.reading().VesCurrent;
        // The frame this weight came from: the first one of that weight that
        // lies whole inside the read, and not before the last one read.
        const SentFrame* from = nullptr;
        for (const SentFrame& f : s_.frames) {
            if (f.begin >= r.begin && f.coreEnd <= r.end && f.weight == weight && (lastFrame_ == nullptr || f.begin >= lastFrame_->begin)) {
                from = &f;
                break;
            }
        }
        if (from == nullptr) {
            // Frames of raw digits only, with the reads cut at the same place
            // of the frames time after time: the bytes are whole frames
            // shifted, which the reads alone cannot tell (docs/design.md).
            const bool atFrameStart = std::any_of(s_.frames.begin(), s_.frames.end(),
                                                  [&](const SentFrame& f) { return f.begin == r.begin; });
            // Likewise a read that begins with the stray bytes before a frame
            // and then six raw digits: a frame that began a byte earlier.
            const bool inNoiseBeforeAFrame = std::any_of(s_.frames.begin(), s_.frames.end(), [&](const SentFrame& f) {
                return f.noise <= r.begin && r.begin < f.begin;
            });
            if ((s_.rawDigitsOnly && !atFrameStart) || repeatsOneRawDigitBlock(bytes) ||
                (inNoiseBeforeAFrame && startsWithSixRawDigits(bytes))) {
                ++shiftedWeights_;
                return;
            }
            broken_("weight " + std::to_string(weight) + " is no frame sent whole in the read" + where());
            return;
        }
        lastFrame_ = from;
        ++weightsRead_;
        for (double w : events_.changes)
            if (w != weight) broken_("ChangeVes carries another weight than the one read" + where());
        for (double w : events_.stable) {
            ++stableWeights_;
            if (w != weight) broken_("StabVes carries another weight than the one read" + where());
            if (++stabVesOfRun_[from->run] > 1) broken_("a second StabVes for one loading" + where());
        }
    }

    // The read is two or more copies of one block that begins with six raw
    // digits (stray bytes before each frame, say): a terminal whose frame is
    // that block puts the very same bytes on the line.
    static bool startsWithSixRawDigits(const std::string& bytes) {
        if (bytes.size() < 6) return false;
        for (std::size_t i = 0; i < 6; ++i)
            if (static_cast<unsigned char>(bytes[i]) >= 10) return false;
        return true;
    }

    static bool repeatsOneRawDigitBlock(const std::string& bytes) {
        if (bytes.size() < 12 || !startsWithSixRawDigits(bytes)) return false;
        for (std::size_t period = 6; period * 2 <= bytes.size(); ++period) {
            if (bytes.size() % period != 0) continue;
            if (bytes.compare(period, std::string::npos, bytes, 0, bytes.size() - period) == 0) return true;
        }
        return false;
    }

    const Scenario& s_;
    Broken broken_;
    virtual_time::VirtualClock clock_;
    virtual_time::VirtualTimerFactory timers_{clock_};
    virtual_time::RecordingNotice notice_;
    virtual_time::FixedLocale locale_{"."};
    virtual_time::SimulatedLine line_{clock_};  // a silent terminal: the reads are injected
    ActivexORVA control_{ControlPlatform{line_.makePort(), timers_, notice_, locale_}};
    Events events_;
    const SentFrame* lastFrame_ = nullptr;
    std::vector<int> stabVesOfRun_;
    std::size_t weightsRead_ = 0;
    std::size_t stableWeights_ = 0;
    std::size_t shiftedWeights_ = 0;
};

// A scenario told in a line, for a failure report.
inline std::string describe(const Scenario& s) {
    std::string text = std::string(s.orva2 ? "ORVA-2" : "ORVA-1") + " DecPoint " + std::to_string(s.decPoint) +
                       " MinFixVes " + std::to_string(s.minFixVes) + ", " + std::to_string(s.frames.size()) +
                       " frames in " + std::to_string(s.stream.size()) + " bytes, " + std::to_string(s.reads.size()) +
                       " reads";
    return text;
}

}  // namespace orva::split_frames
