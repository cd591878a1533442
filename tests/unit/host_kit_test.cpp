// What every host relies on: a control placed on its configured port with
// its restored settings, and the cycle observer's account of each decode.

#include <gtest/gtest.h>

#include "control_bench.h"
#include "control/property_table.h"
#include "hosts/keyed_text.h"
#include "hosts/place_control.h"

namespace orva::testing {
namespace {

// Placing a control as the hosts do, on the simulated line.
class PlaceControl : public ::testing::Test, protected virtual_time::VirtualPlatform {
protected:
    std::unique_ptr<ActivexORVA> place(const std::string& comNumber, const std::string& comSetting) {
        return host::placeControl(
            comNumber, [&](std::int16_t) { return line.makePort(); }, {timers, notice, locale},
            [&](ActivexORVA& control) {
                control.setComNumber(comNumber);
                control.setComSetting(comSetting);
            });
    }
};

TEST_F(PlaceControl, OpensTheConfiguredPortFirstWithTheRestoredSettings) {
    struct Case {
        const char* comNumber;
        std::int16_t opened;  // the one port the control's creation opens
        bool quiet;           // the first polls find nothing to reconfigure
    };
    // A number that names no port stays on port 1 until the first poll's
    // check, which then tells the user (the control's own behaviour); a text
    // that is no number counts as holding.
    const Case cases[] = {{"3", 3, true},      {" 2 ", 2, true},    {"2.5", 2, true}, {"1", 1, true},
                          {"abc", 1, true},    {"", 1, true},       {"0", 1, false},  {"-4", 1, false},
                          {"70000", 1, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.comNumber);
        line.setTerminalPort(c.opened);
        line.setFrame("WW 12.5\r\n");
        const int opensBefore = line.opens();
        const std::size_t sentBefore = line.bytesSent().size();
        notice.beeps = 0;
        notice.messages.clear();
        auto control = place(c.comNumber, "19200,e,7,2");
        EXPECT_EQ(line.portNumber(), c.opened);
        EXPECT_EQ(line.opens(), opensBefore + 1);
        EXPECT_EQ(line.settings(), "19200,e,7,2");  // before any byte goes out
        EXPECT_EQ(line.bytesSent().size(), sentBefore);
        clock.advanceBy(1000);
        // Restored settings reached the port before the first poll: no beep,
        // no message, unless the number is one the port refuses.
        EXPECT_EQ(notice.beeps == 0, c.quiet);
        EXPECT_EQ(notice.messages.empty(), c.quiet);
        EXPECT_GT(line.bytesSent().size(), sentBefore);
        control.reset();
    }
}

TEST_F(PlaceControl, SettingsThePortRefusesAreLeftToTheFirstPoll) {
    line.refuseSettings("19200,e,7,2");
    auto control = place("1", "19200,e,7,2");
    EXPECT_EQ(line.settings(), "9600,n,8,1");  // the creation's, unchanged
    clock.advanceBy(1000);
    // The control's own reconfiguration tells the user why.
    EXPECT_GE(notice.beeps, 1);
    EXPECT_FALSE(notice.messages.empty());
}

// Records what the observer is told, in order.
class RecordingObserver final : public CycleObserver {
public:
    void stepStarting(CycleStep step) override { steps.push_back("start " + name(step)); }
    void stepEnded(CycleStep step) override { steps.push_back("end " + name(step)); }
    void decodeEnded(const DecodeEnd& end) override { ends.push_back(end); }

    static std::string name(CycleStep step) {
        return step == CycleStep::Poll ? "poll" : step == CycleStep::Reconfigure ? "reconfigure" : "decode";
    }
    std::vector<std::string> steps;
    std::vector<DecodeEnd> ends;
};

class CycleObserverTest : public ControlBench {
protected:
    RecordingObserver observer;
    ActivexORVA& createObserved() {
        ActivexORVA& control = create();
        control.setCycleObserver(&observer);
        return control;
    }
};

TEST_F(CycleObserverTest, EachDecodeEndsWithWhatItFound) {
    struct Case {
        const char* name;
        std::string frame;
        std::int16_t decPoint;
        TerminalKind kind;
        NoWeight why;  // when unrecognised
        double weight;
    };
    const Case cases[] = {
        {"ORVA-1", "WW 12.5\r\n", 1, TerminalKind::Orva1, NoWeight::Empty, 12.5},
        {"ORVA-2", std::string("\x05\x02\x01\x00\x00\x00", 6), 1, TerminalKind::Orva2, NoWeight::Empty, 12.5},
        {"cut off", "WW 12", 1, TerminalKind::Unknown, NoWeight::CutOff, 0},
        {"no number", "WW  -----\r\n", 1, TerminalKind::Unknown, NoWeight::NoNumber, 0},
        {"not a frame", "hello\r\n", 1, TerminalKind::Unknown, NoWeight::NotAFrame, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        observer = RecordingObserver{};
        line.setFrame(c.frame);
        createObserved().setDecPoint(c.decPoint);
        clock.advanceTo(clock.now() + 100);  // first decode: nothing received yet
        ASSERT_EQ(observer.ends.size(), 1u);
        EXPECT_FALSE(observer.ends[0].recognised());
        EXPECT_EQ(observer.ends[0].why, NoWeight::Empty);
        clock.advanceTo(clock.now() + 700);  // the third decode reads the first reply
        ASSERT_EQ(observer.ends.size(), 3u);
        const DecodeEnd& end = observer.ends.back();
        EXPECT_EQ(end.kind, c.kind);
        EXPECT_EQ(end.recognised(), panel().Label2().text != "xxxx");
        if (!end.recognised()) {
            EXPECT_EQ(end.why, c.why);
        }
        EXPECT_DOUBLE_EQ(end.weight, c.weight);
        EXPECT_DOUBLE_EQ(end.weight, reading().VesCurrent);
        EXPECT_FALSE(end.failed);
        control.reset();
    }
}

TEST_F(CycleObserverTest, StepsAreToldInTheCycleOrder) {
    line.setFrame("WW 12.5\r\n");
    createObserved();
    clock.advanceTo(400);
    EXPECT_EQ(observer.steps, (std::vector<std::string>{"start decode", "end decode", "start poll", "end poll",
                                                        "start decode", "end decode"}));
    // A new ComSetting is applied by the reconfiguration step.
    control->setComSetting("19200,n,8,1");
    clock.advanceTo(1200);
    EXPECT_NE(std::find(observer.steps.begin(), observer.steps.end(), "end reconfigure"), observer.steps.end());
}

TEST_F(CycleObserverTest, AFailedDecodeIsToldAsFailedAndTheCycleGoesOn) {
    line.setFrame("WW 12.5\r\n");
    createObserved();
    events.onVesStatus = [](std::int16_t, std::int16_t&, std::int16_t&, std::int16_t&) {
        throw Failure(FailureNumber::InternalFailure, "host sink failed");
    };
    clock.advanceTo(800);  // the decode of the first reply raises VesStatus, which fails
    ASSERT_FALSE(observer.ends.empty());
    EXPECT_TRUE(observer.ends.back().failed);
    EXPECT_TRUE(observer.ends.back().recognised());
    EXPECT_EQ(notice.failures.size(), 1u);
    events.onVesStatus = nullptr;
    clock.advanceTo(1200);
    EXPECT_FALSE(observer.ends.back().failed);
}

TEST_F(CycleObserverTest, AnObserverTakenOffInsideAnEventHearsNoMore) {
    line.setFrame("WW 12.5\r\n");
    createObserved();
    events.onVesStatus = [&](std::int16_t, std::int16_t&, std::int16_t&, std::int16_t&) {
        control->setCycleObserver(nullptr);
    };
    clock.advanceTo(800);  // VesStatus inside the third decode takes it off
    EXPECT_EQ(observer.ends.size(), 2u);
    clock.advanceTo(2000);
    EXPECT_EQ(observer.ends.size(), 2u);
}

// Each entry of the property table reaches its own property, and no other:
// read through the control's getters, written through its notified writes.
class PropertyTable : public ControlBench {};

TEST_F(PropertyTable, ReachesEachPropertyByItsName) {
    struct Case {
        const char* name;
        PropertyValue written;
        std::function<PropertyValue(const ActivexORVA&)> getter;
        bool remotelyWritable;
    };
    auto text = [](const std::string& (ActivexORVA::*get)() const) {
        return [get](const ActivexORVA& c) { return PropertyValue((c.*get)()); };
    };
    auto integer = [](std::int16_t (ActivexORVA::*get)() const) {
        return [get](const ActivexORVA& c) { return PropertyValue(std::int32_t((c.*get)())); };
    };
    const Case cases[] = {
        {"MinFixVes", std::int32_t(-300), integer(&ActivexORVA::MinFixVes), true},
        {"DecPoint", std::int32_t(3), integer(&ActivexORVA::DecPoint), true},
        {"ComSetting", std::string("19200,e,7,2"), text(&ActivexORVA::ComSetting), true},
        {"ComNumber", std::string(" 4"), text(&ActivexORVA::ComNumber), true},
        {"VesTerminal", std::string(" 12.5"), text(&ActivexORVA::VesTerminal), false},
        {"TipTerminal", std::string("ORVA-2"), text(&ActivexORVA::TipTerminal), false},
        {"StatusTerminal", std::string("C"), text(&ActivexORVA::StatusTerminal), false},
        {"UnitWeight", std::string("lb"), text(&ActivexORVA::UnitWeight), false},
    };
    ASSERT_EQ(propertyTable().size(), std::size(cases));
    for (std::size_t i = 0; i < std::size(cases); ++i) {
        const Case& c = cases[i];
        SCOPED_TRACE(c.name);
        create();
        const PropertyInfo* property = findProperty(c.name);
        ASSERT_NE(property, nullptr);
        EXPECT_EQ(property, &propertyTable()[i]);  // the persisted order
        EXPECT_EQ(property->defaultValue(), c.getter(*control));  // a new control holds the default
        EXPECT_EQ(property->remotelyWritable, c.remotelyWritable);
        changes.names.clear();
        property->write(*control, c.written);
        EXPECT_EQ(c.getter(*control), c.written);
        EXPECT_EQ(property->read(*control), c.written);
        EXPECT_EQ(changes.names, std::vector<std::string>{c.name});
        // The other properties kept their defaults.
        for (const PropertyInfo& other : propertyTable()) {
            if (&other != property) {
                EXPECT_EQ(other.read(*control), other.defaultValue()) << other.name;
            }
        }
    }
    EXPECT_EQ(findProperty("minfixves"), nullptr);  // names are exact
    EXPECT_EQ(remotelyWritableNames(), "MinFixVes, DecPoint, ComSetting, ComNumber");
}

// The one dialect of the keyed files: what either file ever wrote reads back
// as it was, and every text survives a write and a read.
TEST(KeyedText, QuotedValuesReadAsWritten) {
    struct Case {
        std::string written;  // as in the file, from its opening quote
        std::string value;
    };
    const Case cases[] = {
        {R"("9600,n,8,1")", "9600,n,8,1"},
        {R"("a \"b\" c\\d")", "a \"b\" c\\d"},  // the only escapes the configuration wrote
        {R"("line\none\r\ttab")", "line\none\r\ttab"},
        {R"("\x00\x7F\xff")", std::string("\x00\x7f\xff", 3)},
        {"\"  kg  \"  \t", "  kg  "},  // blanks inside kept, after the quote allowed
        {R"("")", ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.written);
        EXPECT_EQ(host::unquoteText(c.written), c.value);
        EXPECT_EQ(host::unquoteText(host::quoteText(c.value)), c.value);
    }
}

TEST(KeyedText, ValuesThatDoNotReadAreRefused) {
    for (const char* bad : {R"("\q")", R"("\x4")", R"("\xZZ")", R"("open)", R"("a" b)", R"("\)"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(host::unquoteText(bad), std::invalid_argument);
    }
}

TEST(KeyedText, OnlyTextsThatReadBackBareAreWrittenBare) {
    struct Case {
        std::string value;
        bool bare;
    };
    const Case cases[] = {
        {"9600,n,8,1", true}, {"/dev/ttyUSB0", true}, {"", false},       {" 4", false},        {"kg ", false},
        {"a#b", false},       {"a;b", false},         {"a\"b", false},   {"a\\b", false},     {"a\nb", false},
        {"a\tb", false},      {std::string("a\0b", 3), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.value);
        const std::string written = host::quoteWhenNeeded(c.value);
        EXPECT_EQ(written == c.value, c.bare);
        // Whatever is written stays on its one line and reads back.
        EXPECT_EQ(written.find_first_of("\n\r"), std::string::npos);
        if (!c.bare) {
            EXPECT_EQ(host::unquoteText(written), c.value);
        }
    }
}

}  // namespace
}  // namespace orva::testing
