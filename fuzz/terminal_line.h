#pragma once
// A weighing terminal on a line in virtual time, read by a whole control:
// the invariant both ways.
//  - No phantom: every weight the control shows or reports (a recognised
//    decode, ChangeVes, StabVes) is the weight of a frame that lies whole in
//    that read; one StabVes at most per loading.
//  - No lost weight: every read that holds a whole frame where the decoder
//    looks for one (ORVA-1 anywhere, ORVA-2 at the start) shows its weight,
//    except in the first cycles after the control starts and in the cycle
//    of, and the one after, a disturbed read (a frame cut by the read, a
//    stray byte, the first read after the port opened). One ChangeVes per
//    change of weight, and one StabVes for every loading that lasted long
//    enough on an undisturbed line.
//
// The terminal writes its frames at its baud rate, a byte at a time: either
// when asked (a line feed from the control; an asked-only terminal answers
// nothing when no request went out) after a delay, or unasked with a period
// of its own. Frames may be followed by any trailer (nothing, ETX, a block
// check byte 0..255, CR LF, CR LF ETX, NUL padding), sent in pairs, and a
// stray byte may come right before or after them (one in `strayOdds`
// answers at most). The control starts at any byte.
//
// Shared by the property test (choices from a seeded generator) and the fuzz
// target (choices from the fuzzer's bytes).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "acquisition/cycle_observer.h"
#include "control/activex_orva.h"
#include "fuzz/weight_events.h"
#include "platform/virtual/simulated_line.h"
#include "platform/virtual/virtual_clock.h"
#include "platform/virtual/virtual_services.h"

namespace orva::terminal_line {

using virtual_time::Millis;

// Where to take each choice from: pick(n) is a number in 0..n-1.
using Pick = std::function<unsigned(unsigned n)>;

enum class Trailer { None, Etx, Bcc, CrLf, CrLfEtx, NulPadding, EtxBcc };
constexpr unsigned kTrailers = 7;

struct Terminal {
    bool orva2 = true;
    Trailer trailer = Trailer::None;
    unsigned padding = 1;      // NUL bytes, for NulPadding
    unsigned bccKey = 0;       // the block check is the XOR of the frame's bytes and this key
    bool pairs = false;        // two frames at once
    bool asked = true;         // answers a line feed; else sends every `period`
    Millis delay = 3;          // asked: from the request to the first byte
    Millis period = 300;       // unasked
    unsigned baud = 9600;
    unsigned strayOdds = 0;    // one frame in this many is followed by a stray byte; 0 none
    std::int16_t decPoint = 2;
    Millis start = 0;          // when the control is created, the line already running
    std::vector<long> loadings;  // raw weight of each loading, each followed by an empty scale
    Millis loadingTime = 6000;
};

inline const char* trailerName(Trailer t) {
    static const char* const kNames[] = {"none", "ETX", "BCC", "CR LF", "CR LF ETX", "NUL padding", "ETX BCC"};
    return kNames[static_cast<unsigned>(t)];
}

inline std::string describe(const Terminal& t) {
    std::string text = std::string(t.orva2 ? "ORVA-2" : "ORVA-1") + ", trailer " + trailerName(t.trailer) +
                       (t.pairs ? ", two frames at once" : "") +
                       (t.asked ? ", answers when asked after " + std::to_string(t.delay) + " ms"
                                : ", sends unasked every " + std::to_string(t.period) + " ms") +
                       ", " + std::to_string(t.baud) + " baud";
    if (t.strayOdds > 0) text += ", a stray byte after one frame in " + std::to_string(t.strayOdds);
    text += ", control starts at " + std::to_string(t.start) + " ms";
    return text;
}

inline Terminal makeTerminal(const Pick& pick) {
    Terminal t;
    t.orva2 = pick(3) != 0;
    t.trailer = static_cast<Trailer>(pick(kTrailers));
    t.padding = 1 + pick(3);
    t.bccKey = pick(256);
    t.pairs = pick(5) == 0;
    t.asked = pick(2) == 0;
    static constexpr Millis kDelays[] = {3, 40, 120, 250};
    t.delay = kDelays[pick(4)];
    static constexpr Millis kPeriods[] = {100, 300, 1000};
    // A terminal's clock is not the control's: a few milliseconds off.
    t.period = kPeriods[pick(3)] + static_cast<Millis>(pick(7)) - 3;
    static constexpr unsigned kBauds[] = {1200, 2400, 4800, 9600, 19200};
    t.baud = kBauds[pick(5)];
    t.strayOdds = pick(3) == 0 ? 8 + pick(20) : 0;
    t.decPoint = static_cast<std::int16_t>(pick(4));
    t.start = static_cast<Millis>(pick(2000));
    const unsigned loadings = 2 + pick(3);
    for (unsigned i = 0; i < loadings; ++i) t.loadings.push_back(1 + static_cast<long>(pick(999)) * (1 + pick(1000)));
    t.loadingTime = 5000 + static_cast<Millis>(pick(3000));
    return t;
}

// One byte on the line, and what it belongs to.
struct SentByte {
    long frame = -1;        // index of its frame; -1 for a stray byte
    unsigned offset = 0;    // within the frame
};

struct Frame {
    long raw = 0;
    double weight = 0;
    unsigned length = 0;
    unsigned coreBegin = 0;  // the bytes that carry the weight
    unsigned coreEnd = 0;
    std::size_t loading = 0;  // index into the run of loadings and empties
};

// The terminal, playing its bytes onto a simulated line.
class TerminalPlayer {
public:
    TerminalPlayer(const Terminal& t, virtual_time::VirtualClock& clock, virtual_time::SimulatedLine& line,
                   const Pick& pick)
        : t_(t), clock_(clock), line_(line), pick_(pick) {}

    // Loadings alternate with an empty scale: a loading's weight, then 0.
    std::size_t loadingAt(Millis at) const { return static_cast<std::size_t>(at / t_.loadingTime); }
    long rawAt(Millis at) const {
        const std::size_t i = loadingAt(at);
        return i % 2 == 1 ? 0 : t_.loadings[(i / 2) % t_.loadings.size()];
    }

    void begin() {
        if (!t_.asked) sendAt(static_cast<Millis>(pick_(static_cast<unsigned>(t_.period))));
    }

    // After every clock step: answer a request that went out.
    void poll() {
        while (requestsSeen_ < line_.requests().size()) {
            const Millis at = line_.requests()[requestsSeen_++];
            if (t_.asked && at >= busyUntil_) sendAt(at + t_.delay);
        }
    }

    const std::vector<Frame>& frames() const { return frames_; }
    // The bytes the control's port received, oldest first, not yet read.
    std::deque<SentByte>& received() { return received_; }
    Millis byteTime() const { return 10000 / static_cast<Millis>(t_.baud) + (10000 % t_.baud != 0); }

private:
    std::string frameBytes(long raw, Frame& f) const {
        std::string bytes;
        if (t_.orva2) {
            long rest = raw;
            for (int i = 0; i < 6; ++i, rest /= 10) bytes.push_back(static_cast<char>(rest % 10));
            f.coreBegin = 0;
            f.coreEnd = 6;
            f.weight = raw / std::pow(10.0, t_.decPoint);
        } else {
            // "\x02WW  10.00 kg\r\n": a right-aligned seven-character field.
            std::string digits = std::to_string(raw);
            if (digits.size() < 3) digits.insert(0, 3 - digits.size(), '0');
            std::string field = digits.substr(0, digits.size() - 2) + "." + digits.substr(digits.size() - 2);
            if (field.size() < 7) field.insert(0, 7 - field.size(), ' ');
            bytes = "\x02WW" + field + " kg\r\n";
            f.coreBegin = 1;
            f.coreEnd = 10;
            f.weight = raw / 100.0;
        }
        unsigned bcc = t_.bccKey;
        for (char c : bytes) bcc ^= static_cast<unsigned char>(c);
        switch (t_.trailer) {
            case Trailer::None: break;
            case Trailer::Etx: bytes += '\x03'; break;
            case Trailer::Bcc: bytes += static_cast<char>(bcc); break;
            case Trailer::CrLf: bytes += "\r\n"; break;
            case Trailer::CrLfEtx: bytes += "\r\n\x03"; break;
            case Trailer::NulPadding: bytes.append(t_.padding, '\0'); break;
            case Trailer::EtxBcc: bytes += '\x03'; bytes += static_cast<char>(bcc ^ 3); break;
        }
        return bytes;
    }

    // Writes one answer (one frame, or two) from `at` on, a byte at a time.
    void sendAt(Millis at) {
        const long raw = rawAt(at);
        std::string all;
        std::vector<SentByte> tags;
        for (int n = t_.pairs ? 2 : 1; n > 0; --n) {
            Frame f;
            f.raw = raw;
            f.loading = loadingAt(at);
            const std::string bytes = frameBytes(raw, f);
            f.length = static_cast<unsigned>(bytes.size());
            for (unsigned i = 0; i < bytes.size(); ++i) tags.push_back({static_cast<long>(frames_.size()), i});
            frames_.push_back(f);
            all += bytes;
        }
        // A stray byte is noise: at most one in `strayOdds` answers in a
        // row. Stray bytes that come with answer after answer are, to any
        // reading of the bytes, part of the terminal's frame (docs/design.md).
        const std::size_t answer = answers_++;
        const bool strayMayCome = !hadStray_ || answer >= lastStray_ + t_.strayOdds;
        if (t_.strayOdds > 0 && strayMayCome && pick_(t_.strayOdds) == 0) {
            hadStray_ = true;
            lastStray_ = answer;
            static constexpr unsigned char kStray[] = {0x00, 0x01, 0x05, 0x09, 0x11, 0xFF, ' ', 0x80};
            const char stray = static_cast<char>(kStray[pick_(sizeof kStray)]);
            if (pick_(2) == 0) {  // after the frames, or before them
                all.push_back(stray);
                tags.push_back({-1, 0});
            } else {
                all.insert(all.begin(), stray);
                tags.insert(tags.begin(), SentByte{-1, 0});
            }
        }
        for (std::size_t i = 0; i < all.size(); ++i) {
            const Millis when = at + static_cast<Millis>(i) * byteTime();
            clock_.schedule(when, [this, c = all[i], tag = tags[i]] {
                if (line_.isOpen()) received_.push_back(tag);
                line_.inject(std::string(1, c));
            });
        }
        busyUntil_ = at + static_cast<Millis>(all.size()) * byteTime();
        if (!t_.asked) {
            const Millis next = at + t_.period + static_cast<Millis>(pick_(3));
            clock_.schedule(std::max(next, busyUntil_), [this, next = std::max(next, busyUntil_)] { sendAt(next); });
        }
    }

    const Terminal& t_;
    virtual_time::VirtualClock& clock_;
    virtual_time::SimulatedLine& line_;
    const Pick& pick_;
    std::vector<Frame> frames_;
    std::deque<SentByte> received_;
    std::size_t requestsSeen_ = 0;
    Millis busyUntil_ = 0;
    std::size_t answers_ = 0;     // answers sent
    bool hadStray_ = false;
    std::size_t lastStray_ = 0;  // the answer that last had a stray byte
};

// What one run found.
struct Tally {
    std::size_t cycles = 0;       // decodes after start-up
    std::size_t owed = 0;         // of them, reads that held a whole frame where the decoder looks
    std::size_t weights = 0;      // reads that showed the weight of a frame
    std::size_t lost = 0;         // owed, undisturbed, and no weight
    std::size_t phantoms = 0;
    std::size_t strayCutShort = 0;  // weights no reading of the bytes can refuse (LineRun::strayCutShort)
    std::size_t lostUnasked = 0;  // owed and lost, for a terminal that sends unasked
    std::size_t changeVes = 0;
    std::size_t changes = 0;      // changes of the sent weight between reads that showed one
    std::size_t stabVes = 0;
    std::size_t loadingsOwed = 0;  // loadings that must have settled
    std::size_t requestsHeldBack = 0;
    std::size_t heldBackTwice = 0;  // two polls in a row without a request
};

// Runs a terminal for `cycles` poll cycles. Each broken rule is handed to
// `broken` with a description; the run goes on.
class LineRun : private CycleObserver {
public:
    using Broken = std::function<void(const std::string&)>;
    static constexpr std::size_t kStartUpCycles = 5;  // the first 2 s

    // `trace`, when given, receives the control's wire trace.
    LineRun(const Terminal& t, const Pick& pick, Broken broken, Trace* trace = nullptr)
        : t_(t), player_(t, clock_, line_, pick), broken_(std::move(broken)) {
        line_.setSilent();
        player_.begin();
        clock_.advanceTo(t.start);
        control_ = std::make_unique<ActivexORVA>(ControlPlatform{line_.makePort(), timers_, notice_, locale_, trace});
        control_->setEventSink(&events_);
        control_->setDecPoint(t.decPoint);
        control_->setMinFixVes(1);
        control_->setCycleObserver(this);
    }
    ~LineRun() {
        if (control_) control_->setCycleObserver(nullptr);
    }

    void runCycles(std::size_t cycles) {
        while (decodes_ < cycles && clock_.pending() > 0) {
            clock_.runNext();
            player_.poll();
        }
        finish();
    }

    const Tally& tally() const { return tally_; }

private:
    using Events = orva::fuzz::WeightEvents;

    void stepEnded(CycleStep step) override {
        if (step != CycleStep::Poll) return;
        const std::size_t sent = line_.requests().size();
        if (sent == requestsAtLastPoll_) {
            ++tally_.requestsHeldBack;
            if (heldBackLast_) ++tally_.heldBackTwice;
            heldBackLast_ = true;
        } else {
            heldBackLast_ = false;
        }
        requestsAtLastPoll_ = sent;
        // The poll's read: the oldest received bytes, as many as it took.
        const std::size_t n = control_->reading().ReceivedText.size();
        auto& received = player_.received();
        if (n > received.size()) {
            broken_("the poll read bytes the terminal never sent");
            read_.clear();
            received.clear();
            return;
        }
        read_.assign(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(n));
        readBytes_ = control_->reading().ReceivedText;
        received.erase(received.begin(), received.begin() + static_cast<std::ptrdiff_t>(n));
    }

    std::string where() const {
        std::string hex;
        for (unsigned char c : control_->reading().ReplyWork) {
            static constexpr char kHex[] = "0123456789ABCDEF";
            hex += {kHex[c >> 4], kHex[c & 15], ' '};
        }
        return " at cycle " + std::to_string(decodes_) + " (t " + std::to_string(clock_.now()) + " ms, read " + hex + ")";
    }

    // Whether the read holds all of frame f's weight bytes.
    bool wholeCore(long f) const {
        const Frame& frame = player_.frames()[static_cast<std::size_t>(f)];
        unsigned seen = 0;
        for (const SentByte& b : read_)
            if (b.frame == f && b.offset >= frame.coreBegin && b.offset < frame.coreEnd) ++seen;
        return seen == frame.coreEnd - frame.coreBegin;
    }

    // A stray raw digit right before a frame, and the poll cutting the
    // read's last frame off: when the two make up for each other the read
    // is as long as whole frames (or is six raw digits alone, before the
    // frame length is known), holds the same kinds of bytes in the same
    // places, and begins where they would. No reading of the bytes tells it
    // from whole frames (docs/design.md); counted, and bounded by the
    // property test.
    bool strayCutShort() const {
        if (read_.size() < 2 || readBytes_.size() != read_.size() || read_.front().frame >= 0) return false;
        if (static_cast<unsigned char>(readBytes_.front()) >= 10 || read_[1].frame < 0 || read_[1].offset != 0) return false;
        const SentByte& last = read_.back();
        return last.frame >= 0 && last.offset + 1 < player_.frames()[static_cast<std::size_t>(last.frame)].length;
    }

    bool disturbed() const {
        if (read_.empty()) return false;
        const auto& frames = player_.frames();
        for (const SentByte& b : read_)
            if (b.frame < 0) return true;
        if (read_.front().offset != 0) return true;
        const SentByte& last = read_.back();
        return last.offset + 1 != frames[static_cast<std::size_t>(last.frame)].length;
    }

    void decodeEnded(const DecodeEnd& end) override {
        ++decodes_;
        const bool disturbedNow = disturbed() || firstRead_;
        if (!read_.empty()) firstRead_ = false;
        // Quiet cycles in between do not count: the cycle after a disturbance
        // is the next one that received anything.
        const bool excused = disturbedNow || disturbedBefore_ || decodes_ <= kStartUpCycles;
        if (!read_.empty()) disturbedBefore_ = disturbedNow;
        if (disturbedNow) ++disturbanceCount_;
        bool stray = false;
        for (const SentByte& b : read_) stray = stray || b.frame < 0;
        if (stray) strayReads_ = 3;
        else if (!read_.empty() && strayReads_ > 0) --strayReads_;

        // Frames whose weight lies whole in the read, and the one the decoder
        // is owed: ORVA-1 anywhere, ORVA-2 only at the start.
        std::vector<long> whole;
        for (const SentByte& b : read_)
            if (b.frame >= 0 && (whole.empty() || whole.back() != b.frame) && wholeCore(b.frame)) whole.push_back(b.frame);
        long owedFrame = -1;
        if (!whole.empty()) {
            if (!t_.orva2) owedFrame = whole.front();
            else if (read_.front().frame == whole.front() && read_.front().offset == 0) owedFrame = whole.front();
        }

        const auto& frames = player_.frames();
        if (decodes_ > kStartUpCycles) {
            ++tally_.cycles;
            if (owedFrame >= 0) ++tally_.owed;
        }
        if (end.recognised()) {
            const double w = control_->reading().VesCurrent;
            const long* from = nullptr;
            for (const long& f : whole)
                if (frames[static_cast<std::size_t>(f)].weight == w) from = &f;
            if (from == nullptr && strayCutShort()) {
                ++tally_.strayCutShort;
            } else if (from == nullptr) {
                ++tally_.phantoms;
                broken_("phantom: weight " + std::to_string(w) + " is no frame sent whole in the read" + where());
            } else {
                if (decodes_ > kStartUpCycles) ++tally_.weights;
                const Frame& frame = frames[static_cast<std::size_t>(*from)];
                if (haveShown_ && frame.raw != lastShownRaw_) ++tally_.changes;
                if (!haveShown_ && frame.raw != 0) ++tally_.changes;
                haveShown_ = true;
                lastShownRaw_ = frame.raw;
                if (frame.raw == 0) emptiedBefore_[frame.loading + 1] = true;
                if (!events_.stable.empty()) {
                    if (frame.raw == 0) broken_("StabVes for an empty scale" + where());
                    if (++stabVesOfLoading_[frame.loading] > 1) broken_("a second StabVes for one loading" + where());
                }
            }
            for (double v : events_.changes)
                if (v != w) broken_("ChangeVes carries another weight than the one shown" + where());
            for (double v : events_.stable)
                if (v != w) broken_("StabVes carries another weight than the one shown" + where());
        } else {
            if (!events_.changes.empty() || !events_.stable.empty())
                broken_("an unrecognised read raised an event" + where());
            if (owedFrame >= 0 && !excused && decodes_ > kStartUpCycles) {
                // Counted; the callers bound it (the costs measured and listed
                // in docs/design.md), the fuzz target reports every one.
                ++(t_.asked ? tally_.lost : tally_.lostUnasked);
                if (reportLost_) broken_("lost weight: a whole frame at the read's start shows xxxx" + where());
            }
            if (owedFrame >= 0 && !excused) lostInLoading_[frames[static_cast<std::size_t>(owedFrame)].loading] = true;
        }
        if (owedFrame >= 0) {
            const Frame& frame = frames[static_cast<std::size_t>(owedFrame)];
            if (excused) lostInLoading_[frame.loading] = true;  // a disturbed loading need not settle
            else if (frame.raw != 0) ++cleanReadsOfLoading_[frame.loading];
        }
        if (end.recognised() && !shownLast_) ++afterNoWeight_;
        shownLast_ = end.recognised();
        tally_.changeVes += events_.changes.size();
        tally_.stabVes += events_.stable.size();
        events_.changes.clear();
        events_.stable.clear();
    }

    void finish() {
        // Every unrecognised read sets the weight to 0, so the next weight
        // raises ChangeVes again: a terminal that sends every second shows
        // xxxx in the quiet cycles between its frames.
        if (tally_.changeVes > tally_.changes + afterNoWeight_ + 2 * tally_.strayCutShort)
            broken_("ChangeVes " + std::to_string(tally_.changeVes) + " times for " + std::to_string(tally_.changes) +
                    " changes of weight");
        for (const auto& [loading, clean] : cleanReadsOfLoading_) {
            // StabVes comes once per loading: the scale must have been seen
            // empty before it (or the loading is the first).
            if (clean < 6 || lostInLoading_[loading] || (loading > 0 && !emptiedBefore_[loading])) continue;
            ++tally_.loadingsOwed;
            if (stabVesOfLoading_[loading] != 1)
                broken_("a loading read " + std::to_string(clean) + " times without a disturbance raised " +
                        std::to_string(stabVesOfLoading_[loading]) + " StabVes");
        }
        if (tally_.heldBackTwice > 0) broken_("a request held back two polls in a row");
    }

    std::size_t disturbances() const { return disturbanceCount_ + 1; }

public:
    void reportEveryLostWeight() { reportLost_ = true; }

private:
    bool reportLost_ = false;
    const Terminal& t_;
    virtual_time::VirtualClock clock_;
    virtual_time::VirtualTimerFactory timers_{clock_};
    virtual_time::RecordingNotice notice_;
    virtual_time::FixedLocale locale_{"."};
    virtual_time::SimulatedLine line_{clock_};
    TerminalPlayer player_;
    Broken broken_;
    std::unique_ptr<ActivexORVA> control_;
    Events events_;
    std::deque<SentByte> read_;
    std::string readBytes_;  // and its bytes
    std::size_t decodes_ = 0;
    bool firstRead_ = true;
    bool disturbedBefore_ = false;
    std::size_t disturbanceCount_ = 0;
    bool haveShown_ = false;
    long lastShownRaw_ = 0;
    std::map<std::size_t, int> stabVesOfLoading_;
    std::map<std::size_t, std::size_t> cleanReadsOfLoading_;
    std::map<std::size_t, bool> lostInLoading_;
    std::map<std::size_t, bool> emptiedBefore_;
    std::size_t afterNoWeight_ = 0;  // recognised decodes right after an unrecognised one
    bool shownLast_ = false;
    int strayReads_ = 0;  // reads to go before a stray byte no longer shifts counting
    std::size_t requestsAtLastPoll_ = 0;
    bool heldBackLast_ = false;
    Tally tally_;
};

}  // namespace orva::terminal_line
