// Whatever a terminal sends goes through the whole weight path of a control
// in virtual time: the poll reads it from the line, the decode tick turns it
// into a weight, stability and status follow. Every decode is checked
// against what the host may rely on.
//
// Input: DecPoint (int16, little endian), MinFixVes (int16), an options
// byte (bit 0: comma locale; bit 1: the host also calls Com_ORVA_Signal after
// every cycle's decode), then replies, each a length byte and its bytes.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "acquisition/number_text.h"
#include "control/activex_orva.h"
#include "fuzz/fuzz_support.h"
#include "platform/virtual/simulated_line.h"
#include "platform/virtual/virtual_clock.h"
#include "platform/virtual/virtual_services.h"

namespace {

using namespace orva;
using namespace orva::fuzz;
using namespace orva::virtual_time;

enum EventKind { kChangeVes, kStabVes, kVesStatus };

struct Raised {
    EventKind kind;
    double weight;
};

class EventLog : public ControlEvents {
public:
    void ChangeVes(double w) override { raise(kChangeVes, w); }
    void StabVes(double w) override { raise(kStabVes, w); }
    void VesStatus(std::int16_t nul, std::int16_t& ok, std::int16_t& tara, std::int16_t& max) override {
        require(nul == 0 || nul == 1, "VesNul is a flag");
        require(ok == 0 || ok == 1, "VesOk is a flag");
        require(tara == 0 && max == 0, "VesTara and VesMax are never set");
        raise(kVesStatus, nul);
    }
    std::vector<Raised> raised;

private:
    void raise(EventKind kind, double w) {
        require(std::isfinite(w), "an event carries a finite weight", shown(w));
        raised.push_back({kind, w});
    }
};

bool holdsMarker(const std::string& reply) { return reply.find("WW") != std::string::npos; }

// The text ends inside the number after the first marker: fewer than seven
// characters follow it, none of them ends the line, and all of them, blanks
// aside, are a sign, digits and at most one point, in that order (which
// includes nothing at all).
bool cutOffInField(const std::string& reply) {
    const std::string field = reply.substr(reply.find("WW") + 2, 7);
    if (field.size() >= 7 || field.find_first_of("\r\n") != std::string::npos) return false;
    std::string number;
    for (char c : field)
        if (c != ' ' && c != '\t') number.push_back(c);
    std::size_t i = (!number.empty() && (number[0] == '+' || number[0] == '-')) ? 1 : 0;
    bool point = false;
    for (; i < number.size(); ++i) {
        if (number[i] == '.' && !point) point = true;
        else if (number[i] < '0' || number[i] > '9') return false;
    }
    return true;
}

// The weight field after the first marker holds no digit at all (nor a
// hexadecimal or octal number after "&").
bool noDigitInField(const std::string& reply) {
    const std::string field = reply.substr(reply.find("WW") + 2, 7);
    return field.find_first_of("0123456789&") == std::string::npos;
}

bool holdsRawDigits(const std::string& reply) {
    if (reply.size() < 6) return false;
    for (int i = 0; i < 6; ++i)
        if (static_cast<unsigned char>(reply[i]) >= 10) return false;
    return true;
}

std::string withPointSeparator(std::string text, char separator) {
    for (char& c : text)
        if (c == separator) c = '.';
    return text;
}

class WeightPathRun {
public:
    WeightPathRun(std::int16_t decPoint, std::int16_t minFixVes, bool commaLocale)
        : locale_(commaLocale ? "," : "."), separator_(commaLocale ? ',' : '.') {
        control_.setEventSink(&events_);
        control_.setDecPoint(decPoint);
        control_.setMinFixVes(minFixVes);
        // The start-up decode of the still empty received text.
        runUntilDecode();
        checkDecode("");
    }

    // The reply arrives on the line; the next poll reads it and the decode
    // tick after it decodes it.
    void receive(const std::string& reply) {
        line_.inject(reply);
        runUntilDecode();
        require(control_.reading().ReceivedText == reply, "the poll reads what arrived", shown(reply));
        checkDecode(reply);
    }

    // The host runs one more decode of the same received text.
    void hostDecodes(const std::string& reply) {
        startDecode();
        control_.Com_ORVA_Signal();
        require(enabledTimers() == 1, "a host decode leaves one timer enabled");
        checkDecode(reply);
    }

private:
    int enabledTimers() const {
        return int(control_.Timer1().Enabled()) + int(control_.Timer2().Enabled()) +
               int(control_.Timer3().Enabled());
    }

    void runUntilDecode() {
        startDecode();
        for (int step = 0; step < 8; ++step) {
            const bool decodeDue = control_.Timer3().Enabled();
            require(clock_.runNext(), "the cycle keeps a timer running");
            if (decodeDue && !control_.Timer3().Enabled()) {
                require(enabledTimers() == 1, "exactly one timer enabled after the decode tick");
                return;
            }
            require(enabledTimers() == 1, "exactly one timer enabled between ticks");
        }
        broken("no decode within two poll cycles");
    }

    void startDecode() {
        events_.raised.clear();
        letterBefore_ = control_.reading().StatusChar;
        weightBefore_ = control_.reading().VesCurrent;
    }

    void checkDecode(const std::string& reply) {
        const ReadingRecord& r = control_.reading();
        const PanelModel& panel = control_.panel();
        const double weight = r.VesCurrent;
        const std::string& tip = control_.TipTerminal();
        const std::string& status = control_.StatusTerminal();

        require(std::isfinite(weight), "the weight is finite", shown(weight));
        require(r.StabStep >= -1 && r.StabStep <= 2, "StabStep stays in -1..2", std::to_string(r.StabStep));
        require(r.StabFlag == 0 || r.StabFlag == 1, "StabFlag is a flag");
        require(status.size() == 1 && ((status[0] >= '@' && status[0] <= 'O') || status[0] == 'X'),
                "StatusTerminal is a status letter or X", shown(status));
        require(control_.Timer1().Enabled(), "the decode enables Timer1");
        require(notice_.failures.empty(), "the decode tick reports no failure",
                notice_.failures.empty() ? "" : notice_.failures.front().description());
        require(notice_.messages.empty() && notice_.beeps == 0, "no reconfiguration on a steady port");

        // Which frame the reply is: the marker wins, then six raw digits.
        const bool recognised = tip != "unknown";
        if (holdsMarker(reply)) {
            require(tip == "ORVA-1" || tip == "unknown", "a reply with the marker is ORVA-1", shown(reply));
            if (cutOffInField(reply)) require(!recognised, "a frame cut off inside its number is no weight", shown(reply));
            if (noDigitInField(reply)) require(!recognised, "a field without a digit is no weight", shown(reply));
        } else if (holdsRawDigits(reply)) {
            // Six raw digits lead; what follows them (NUL padding, a check
            // byte, a second frame) is a trailer when the reads hold whole frames.
            require(tip == "ORVA-2" || tip == "unknown", "six raw digits are ORVA-2", shown(reply));
            if (recognised) require(!std::signbit(weight), "an ORVA-2 weight is never negative", shown(weight));
        } else {
            require(!recognised, "anything else is unrecognised", shown(reply));
        }

        // Events: each at most once, in the order ChangeVes, StabVes, VesStatus.
        std::array<int, 3> count{};
        int lastKind = -1;
        for (const Raised& e : events_.raised) {
            require(++count[e.kind] == 1, "an event comes at most once per decode");
            require(e.kind > lastKind, "events come in the order ChangeVes, StabVes, VesStatus");
            lastKind = e.kind;
            if (e.kind != kVesStatus) require(e.weight == weight, "an event carries the new weight");
        }

        if (!recognised) {
            require(weight == 0, "an unrecognised reply sets the weight to 0");
            require(panel.Label2().text == "xxxx", "an unrecognised reply shows xxxx");
            require(status == "X", "an unrecognised reply leaves StatusTerminal at X");
            require(events_.raised.empty(), "an unrecognised reply raises nothing");
        } else {
            const std::string& label = panel.Label2().text;
            require(readsBackAs(parseWholeNumber(withPointSeparator(label, separator_)), weight),
                    "Label2 reads back to the weight", shown(label) + " vs " + shown(weight));
            require(status != "X", "a recognised frame gets a computed letter");
            require(status[0] == r.StatusChar, "StatusTerminal holds the letter");
            require(control_.UnitWeight() == "kg" && panel.Label3().text == "kg", "the unit is kg");
            require((count[kChangeVes] == 1) == (weight != weightBefore_),
                    "ChangeVes exactly when the weight changed");
            require((count[kVesStatus] == 1) == (r.StatusChar != letterBefore_),
                    "VesStatus exactly when the letter changed");
            checkStability(weight, count[kStabVes] == 1);
        }

        const std::string& property = control_.VesTerminal();
        require(readsBackAs(parseWholeNumber(property), weight), "VesTerminal reads back to the weight",
                shown(property) + " vs " + shown(weight));
        require((property.front() == ' ') == (!std::signbit(weight) || weight == 0),
                "VesTerminal has a blank before values of zero or more", shown(property));
    }

    // A recognised reading: StabVes only for a weight read three times in a
    // row at or above the minimum, and once per loading.
    void checkStability(double weight, bool stabVes) {
        const double minimum = control_.MinFixVes() / 1000.0;
        if (weight < minimum) {
            require(!stabVes, "no StabVes below the minimum");
            stabVesInLoading_ = 0;
            recent_.clear();
            return;
        }
        recent_.push_back(weight);
        if (recent_.size() > 3) recent_.erase(recent_.begin());
        if (!stabVes) return;
        require(++stabVesInLoading_ == 1, "StabVes at most once per loading");
        require(recent_.size() == 3 && recent_[0] == weight && recent_[1] == weight,
                "StabVes only for a weight read three times");
    }

    VirtualClock clock_;
    VirtualTimerFactory timers_{clock_};
    RecordingNotice notice_;
    FixedLocale locale_;
    char separator_;
    SimulatedLine line_{clock_};  // a silent terminal: the replies are injected
    ActivexORVA control_{ControlPlatform{line_.makePort(), timers_, notice_, locale_}};
    EventLog events_;

    char letterBefore_ = 0;
    double weightBefore_ = 0;
    int stabVesInLoading_ = 0;
    std::vector<double> recent_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzInput in(data, size);
    const std::int16_t decPoint = in.int16();
    const std::int16_t minFixVes = in.int16();
    const std::uint8_t options = in.byte();
    WeightPathRun run(decPoint, minFixVes, (options & 1) != 0);
    // Bound the work per input so that long inputs do not slow the search.
    for (int replies = 0; !in.done() && replies < 64; ++replies) {
        const std::string reply = in.chunk();
        run.receive(reply);
        if ((options & 2) != 0) run.hostDecodes(reply);
    }
    return 0;
}
