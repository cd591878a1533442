// A day of polling in virtual time. One control on a simulated line meets a
// reproducible random mix of what a weighing terminal and its host do over
// 24 hours: loadings that settle and come off, in both frame formats;
// silence; garbage and floods beyond the input buffer; the host changing the
// port number and settings to values the port takes and to values it
// refuses; the cable pulled and put back; documents saved and loaded.
//
// Between any two ticks exactly one timer is enabled; StabVes comes at most
// once per loading and only for a weight read three times in a row; no event
// carries a non-finite weight; the heap in use after a warm-up hour is the
// same at the end of the day.

#include <gtest/gtest.h>
#include <malloc.h>
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "control/activex_orva.h"
#include "control/value_conversion.h"
#include "platform/failure.h"
#include "platform/virtual/simulated_line.h"
#include "platform/virtual/virtual_clock.h"
#include "platform/virtual/virtual_services.h"

// Under AddressSanitizer the heap is the sanitizer's; it says how much is in use.
extern "C" std::size_t __sanitizer_get_current_allocated_bytes() __attribute__((weak));

namespace {

using namespace orva;
using namespace orva::virtual_time;

constexpr Millis kHour = 3'600'000;
constexpr std::int16_t kTerminalPort = 1;
constexpr std::int16_t kMissingPort = 3;
constexpr const char* kSettings = "9600,n,8,1";
constexpr const char* kRefusedSettings = "4800,e,7,2";
constexpr std::int16_t kDecPoint = 1;
constexpr std::int16_t kMinFixVes = 50;

Millis soakDuration() {
    // ORVA_SOAK_HOURS shortens the day, for slow builds such as the sanitizer one.
    const char* hours = std::getenv("ORVA_SOAK_HOURS");
    const double h = hours != nullptr ? std::atof(hours) : 24.0;
    return static_cast<Millis>((h > 0 ? h : 24.0) * kHour);
}

std::uint64_t soakSeed() {
    // ORVA_SOAK_SEED runs another day than the fixed one, to look further.
    const char* seed = std::getenv("ORVA_SOAK_SEED");
    return seed != nullptr ? std::strtoull(seed, nullptr, 10) : 20261207;
}

std::size_t heapInUse() {
    if (__sanitizer_get_current_allocated_bytes != nullptr) return __sanitizer_get_current_allocated_bytes();
    const struct mallinfo2 info = mallinfo2();
    return info.uordblks + info.hblkhd;  // large blocks are mapped apart from the arena
}

std::size_t residentKiB() {
    std::ifstream statm("/proc/self/statm");
    std::size_t size = 0, resident = 0;
    statm >> size >> resident;
    return resident * static_cast<std::size_t>(sysconf(_SC_PAGESIZE)) / 1024;
}

// The peak resident size so far (VmHWM), in KiB.
std::size_t peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::strtoull(line.c_str() + 6, nullptr, 10);
    return 0;
}

// The user's side, counted rather than kept: a day of reconfigurations
// would otherwise fill a list of message texts.
class CountingNotice : public UserNotice {
public:
    void messageBox(std::string_view text) override {
        ++messages;
        if (text.rfind("Данные", 0) == 0) ++refusals;
    }
    void beep() override { ++beeps; }
    void tickFailed(const Failure&) override { ++tickFailures; }
    long messages = 0, refusals = 0, beeps = 0, tickFailures = 0;
};

enum EventKind { kChangeVes, kStabVes, kVesStatus };

class CountingEvents : public ControlEvents {
public:
    void ChangeVes(double w) override { raise(kChangeVes, w); }
    void StabVes(double w) override {
        raise(kStabVes, w);
        lastStabVes = w;
    }
    void VesStatus(std::int16_t, std::int16_t&, std::int16_t&, std::int16_t&) override { raise(kVesStatus, 0); }

    void startDecode() { inDecode = 0; }
    bool orderBroken = false;
    long nonFinite = 0;
    long total[3] = {0, 0, 0};
    unsigned inDecode = 0;  // bit per kind raised in the current decode
    double lastStabVes = 0;

private:
    void raise(EventKind kind, double w) {
        if (!std::isfinite(w)) ++nonFinite;
        // At most once each, in the order ChangeVes, StabVes, VesStatus.
        if ((inDecode >> kind) != 0) orderBroken = true;
        inDecode |= 1u << kind;
        ++total[kind];
    }
};

// What the terminal answers and what the host does, drawn from a fixed seed.
class Scenario {
public:
    explicit Scenario(std::uint64_t seed) : rng_(seed) {}

    std::uint64_t below(std::uint64_t n) { return rng_() % n; }
    bool chance(int percent) { return below(100) < static_cast<std::uint64_t>(percent); }

    // The answer to the next request; empty for none.
    std::string nextReply() {
        if (replies_.empty()) planReplies();
        std::string reply = std::move(replies_.front());
        replies_.pop_front();
        return reply;
    }

private:
    std::string frame(double weight, bool orva2) {
        if (!orva2) {
            char field[16];
            std::snprintf(field, sizeof field, "%7.1f", weight);
            return std::string("\x02WW") + field + "kg\r\n";
        }
        auto raw = static_cast<std::uint32_t>(std::lround(weight * 10));
        std::string digits;
        for (int i = 0; i < 6; ++i, raw /= 10) digits.push_back(static_cast<char>(raw % 10));
        return digits;
    }

    std::string garbage() {
        std::string bytes;
        const auto kind = below(5);
        const std::size_t length = kind == 4 ? 1000 + below(1500) : below(300);  // 4: a flood
        for (std::size_t i = 0; i < length; ++i) bytes.push_back(static_cast<char>(below(256)));
        if (kind == 1) bytes.insert(below(bytes.size() + 1), "WW");  // a marker among noise
        if (kind == 2 && bytes.size() >= 6)
            for (int i = 0; i < 6; ++i) bytes[i] = static_cast<char>(below(10));  // raw digits, then noise
        return bytes;
    }

    void planReplies() {
        const auto kind = below(10);
        if (kind < 6) {  // a loading
            const bool orva2 = chance(40);
            for (auto n = 2 + below(8); n > 0; --n) replies_.push_back(frame(0, orva2));
            for (auto n = below(4); n > 0; --n) replies_.push_back(frame(below(999'999) / 10.0, orva2));
            const double load = (1 + below(999'990)) / 10.0;
            for (auto n = 3 + below(30); n > 0; --n) replies_.push_back(frame(load, orva2));
            if (chance(30)) {  // more goes on while the first load stays
                const double more = load + (1 + below(1000)) / 10.0;
                for (auto n = 3 + below(10); n > 0; --n) replies_.push_back(frame(more, orva2));
            }
            for (auto n = 1 + below(4); n > 0; --n) replies_.push_back(frame(0, orva2));
        } else if (kind < 8) {  // silence
            for (auto n = 1 + below(30); n > 0; --n) replies_.emplace_back();
        } else {  // garbage
            for (auto n = 1 + below(20); n > 0; --n) replies_.push_back(garbage());
        }
    }

    std::mt19937_64 rng_;
    std::deque<std::string> replies_;
};

struct SoakFigures {
    long decodes = 0, polls = 0, reconfigurations = 0, unplugs = 0, saves = 0;
    long recognised = 0, loadings = 0;
};

class DayOfPolling : public ::testing::Test {
protected:
    VirtualClock clock;
    VirtualTimerFactory timers{clock};
    CountingNotice notice;
    FixedLocale locale{"."};
    SimulatedLine line{clock};
    std::unique_ptr<ActivexORVA> control;
    CountingEvents events;
    Scenario scenario{soakSeed()};
    SoakFigures figures;

    int enabledTimers() const {
        return int(control->Timer1().Enabled()) + int(control->Timer2().Enabled()) + int(control->Timer3().Enabled());
    }

    // The terminal answers each line feed that reached it, a little later,
    // as the simulated terminal does. The answers are injected here so that
    // the line keeps no record of them.
    void answerNewRequests(std::size_t& answered) {
        for (; answered < line.requests().size(); ++answered) {
            std::string reply = scenario.nextReply();
            if (reply.empty() || line.portNumber() != kTerminalPort) continue;
            clock.schedule(clock.now() + SimulatedLine::kDefaultReplyDelay,
                           [this, reply = std::move(reply)] { line.inject(reply); });
        }
    }

    // Taken or refused, a reconfiguration leaves the two properties naming
    // what the port has, so no setting is lost and the next poll agrees.
    bool propertiesNameThePort() const {
        try {
            return textToInt16(control->ComNumber()) == line.portNumber() && control->ComSetting() == line.settings();
        } catch (const Failure&) {
            return false;
        }
    }

    // Now and then, between ticks, the host touches the port configuration,
    // pulls the cable or saves the document.
    int hostBusyFor = 0;  // decodes until the host puts things back
    void hostActs() {
        if (hostBusyFor > 0 && --hostBusyFor == 0) {
            line.replug();
            if (control->ComNumber() != "1") control->setComNumber("1");
            if (control->ComSetting() != kSettings) control->setComSetting(kSettings);
            return;
        }
        if (hostBusyFor > 0 || !scenario.chance(1)) return;
        hostBusyFor = 1 + static_cast<int>(scenario.below(20));
        switch (scenario.below(10)) {
            case 0: control->setComSetting("19200,n,8,1"); break;     // taken
            case 1: control->setComSetting(kRefusedSettings); break;  // refused by the device
            case 2: control->setComSetting("bogus"); break;           // not a settings text
            case 3: control->setComNumber("2"); break;                // a port without the terminal
            case 4: control->setComNumber(std::to_string(kMissingPort)); break;  // no such device
            case 5: control->setComNumber(scenario.chance(50) ? "COM2" : "0"); break;
            case 6: control->setComNumber(scenario.chance(50) ? "40000" : "1.5"); break;
            case 7:
            case 8:
                line.unplug();
                ++figures.unplugs;
                break;
            default: {
                MemoryPropertyBag bag;
                control->WriteProperties(bag);
                const PropertyRecord before = control->properties();
                control->ReadProperties(bag);
                EXPECT_EQ(control->properties(), before) << "a save then a load changes the record";
                ++figures.saves;
                hostBusyFor = 1;
            }
        }
    }
};

TEST_F(DayOfPolling, StaysWithinItsInvariantsAndItsMemory) {
    line.setTerminalPort(kTerminalPort);
    line.setSilent();  // the answers come from the scenario
    line.setPortExists(kMissingPort, false);
    line.refuseSettings(kRefusedSettings);
    control = std::make_unique<ActivexORVA>(ControlPlatform{line.makePort(), timers, notice, locale});
    control->setEventSink(&events);
    control->setDecPoint(kDecPoint);
    control->setMinFixVes(kMinFixVes);
    const double minimum = kMinFixVes / 1000.0;

    const Millis end = soakDuration();
    const Millis warmUp = std::min<Millis>(kHour, end / 4);
    std::size_t answered = 0;
    bool started = false;
    long stabVesInLoading = 0;
    std::vector<double> recent;  // the latest recognised readings at or above the minimum
    std::size_t heapStart = 0, residentStart = 0, peakStart = 0, lineRecordStart = 0;
    long failures = 0;
    const auto wallStart = std::chrono::steady_clock::now();

    auto lineRecord = [&] { return line.requests().capacity() * sizeof(Millis) + line.bytesSent().capacity(); };
    auto fail = [&](const std::string& what) {
        if (++failures <= 5) ADD_FAILURE() << "at " << clock.now() << " ms: " << what;
    };

    while (clock.now() < end && failures == 0) {
        if (heapStart == 0 && clock.now() >= warmUp) {
            heapStart = heapInUse();
            residentStart = residentKiB();
            peakStart = peakResidentKiB();
            lineRecordStart = lineRecord();
        }
        const bool pollDue = control->Timer1().Enabled();
        const bool decodeDue = control->Timer3().Enabled();
        const bool reconfigurationDue = control->Timer2().Enabled();
        if (decodeDue) events.startDecode();
        ASSERT_TRUE(clock.runNext()) << "nothing is scheduled: the cycle stopped";
        answerNewRequests(answered);

        const bool polled = pollDue && !control->Timer1().Enabled();
        const bool decoded = decodeDue && !control->Timer3().Enabled();
        const bool reconfigured = reconfigurationDue && !control->Timer2().Enabled();
        figures.polls += polled;
        figures.reconfigurations += reconfigured;
        // Timer1 and Timer3 both start enabled; from the start-up decode tick
        // on, exactly one timer runs.
        started = started || clock.now() >= ActivexORVA::kTimer3Interval;
        if (started && enabledTimers() != 1) fail("timers enabled between ticks: " + std::to_string(enabledTimers()));
        if (reconfigured && !propertiesNameThePort()) {
            fail("after a reconfiguration ComNumber \"" + control->ComNumber() + "\" and ComSetting \"" +
                 control->ComSetting() + "\" do not name the port's " + std::to_string(line.portNumber()) + " and \"" +
                 line.settings() + "\"");
        }
        if (!decoded) continue;
        ++figures.decodes;

        const ReadingRecord& r = control->reading();
        const double weight = r.VesCurrent;
        if (!std::isfinite(weight)) fail("a non-finite weight");
        if (r.StabStep < -1 || r.StabStep > 2) fail("StabStep " + std::to_string(r.StabStep));
        const std::string& status = control->StatusTerminal();
        if (status.size() != 1 || !((status[0] >= '@' && status[0] <= 'O') || status[0] == 'X'))
            fail("StatusTerminal \"" + status + "\"");
        if (events.orderBroken) fail("events out of order or repeated within one decode");

        if (control->TipTerminal() != "unknown") {
            ++figures.recognised;
            const bool stabVes = (events.inDecode >> kStabVes) & 1u;
            if (weight < minimum) {
                if (stabVes) fail("StabVes below the minimum");
                if (!recent.empty()) ++figures.loadings;
                stabVesInLoading = 0;
                recent.clear();
            } else {
                recent.push_back(weight);
                if (recent.size() > 3) recent.erase(recent.begin());
                if (stabVes) {
                    if (++stabVesInLoading > 1) fail("a second StabVes in one loading");
                    if (recent.size() != 3 || recent[0] != weight || recent[1] != weight)
                        fail("StabVes for a weight not read three times");
                    if (events.lastStabVes != weight) fail("StabVes carries another weight");
                }
            }
        }
        hostActs();
    }
    const std::size_t heapEnd = heapInUse();
    const std::size_t residentEnd = residentKiB();
    const std::size_t peakEnd = peakResidentKiB();
    const std::size_t lineRecordEnd = lineRecord();
    const double wallSeconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - wallStart).count();

    // The simulated line keeps a record of every line feed sent, which grows
    // by design; the control's own share is the rest.
    const long controlGrowth = static_cast<long>(heapEnd - lineRecordEnd) - static_cast<long>(heapStart - lineRecordStart);
    std::printf(
        "soak: %.2f virtual hours, %ld polls, %ld decodes (%ld recognised), %ld loadings, %ld StabVes, "
        "%ld ChangeVes, %ld VesStatus, %ld reconfigurations (%ld refused), %ld unplugs, %ld saves\n"
        "soak: heap in use after warm-up %zu B, at end %zu B; of it the line's record of requests %zu B -> %zu B; "
        "control's growth %ld B\n"
        "soak: resident %zu KiB after warm-up, %zu KiB at end; peak resident %zu KiB and %zu KiB; %.1f s wall time\n",
        static_cast<double>(clock.now()) / kHour, figures.polls, figures.decodes, figures.recognised, figures.loadings,
        events.total[kStabVes], events.total[kChangeVes], events.total[kVesStatus], figures.reconfigurations,
        notice.refusals, figures.unplugs, figures.saves, heapStart, heapEnd, lineRecordStart, lineRecordEnd,
        controlGrowth, residentStart, residentEnd, peakStart, peakEnd, wallSeconds);

    EXPECT_EQ(events.nonFinite, 0) << "events with a non-finite weight";
    EXPECT_EQ(notice.tickFailures, 0) << "decode ticks that failed";
    // About one decode per 400 ms, less the cycles spent reconfiguring.
    EXPECT_GT(figures.decodes, static_cast<long>(end / 400 * 9 / 10));
    // The day must have exercised what it claims to.
    EXPECT_GT(figures.recognised, figures.decodes / 2) << "the control does not get back to reading";
    EXPECT_GT(events.total[kStabVes], 100);
    EXPECT_GT(notice.refusals, 10);
    EXPECT_GT(figures.unplugs, 10);
    EXPECT_LT(std::labs(controlGrowth), 16 * 1024) << "the control's heap grows over the day";
}

}  // namespace
