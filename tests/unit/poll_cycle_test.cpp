#include <gtest/gtest.h>

#include <algorithm>

#include "control_bench.h"

namespace orva::testing {
namespace {

// The two reconfiguration messages, spelled out byte for byte: every letter
// is Cyrillic, "сом" and "СОМ" included.
const std::string kPortMessage = "\xD1\x81\xD0\xBE\xD0\xBC \xD0\xBF\xD0\xBE\xD1\x80\xD1\x82: ";
const std::string kPortErrorMessage =
    "\xD0\x94\xD0\xB0\xD0\xBD\xD0\xBD\xD1\x8B\xD0\xB5 \xD0\xA1\xD0\x9E\xD0\x9C \xD0\xBF\xD0\xBE\xD1\x80\xD1\x82\xD0\xB0 "
    "\xD0\xB7\xD0\xB0\xD0\xB4\xD0\xB0\xD0\xBD\xD1\x8B \xD0\xBD\xD0\xB5\xD0\xBA\xD0\xBE\xD1\x80\xD1\x80\xD0\xB5\xD0\xBA"
    "\xD1\x82\xD0\xBD\xD0\xBE: ";

class PollCycle : public ControlBench {
protected:
    void loadProperty(const std::string& key, PropertyValue value) {
        virtual_time::MemoryPropertyBag bag;
        bag.values[key] = std::move(value);
        control->ReadProperties(bag);
    }
    std::vector<std::string> changeWeights() const {
        std::vector<std::string> out;
        for (const auto& e : events.events)
            if (e.name != "VesStatus") out.push_back(e.name + " " + std::to_string(e.weight));
        return out;
    }
};

TEST_F(PollCycle, FirstReplyIsReadBySecondPollAndDecodedByThirdDecode) {
    line.setFrame("WW 12.5\r\n");
    create();
    EXPECT_EQ(line.opens(), 1);
    EXPECT_EQ(line.settings(), "9600,n,8,1");

    clock.advanceTo(100);  // first decode: nothing received yet
    EXPECT_EQ(panel().Label2().text, "xxxx");
    EXPECT_EQ(panel().Frame1().text, "unknown");
    EXPECT_TRUE(control->Timer1().Enabled());
    EXPECT_TRUE(line.requests().empty());

    clock.advanceTo(299);  // Timer1 was already enabled: not restarted by the decode
    EXPECT_TRUE(line.requests().empty());
    clock.advanceTo(300);
    EXPECT_EQ(line.requests(), (std::vector<Millis>{300}));

    clock.advanceTo(799);
    EXPECT_EQ(panel().Label2().text, "xxxx");  // second decode (400) saw the empty first read
    EXPECT_EQ(line.requests(), (std::vector<Millis>{300, 700}));
    clock.advanceTo(800);
    EXPECT_EQ(panel().Label2().text, "12.5");
    EXPECT_EQ(events.events.front().name, "ChangeVes");
    EXPECT_EQ(events.events.front().at, 800);

    clock.advanceTo(2000);
    EXPECT_EQ(line.requests(), (std::vector<Millis>{300, 700, 1100, 1500, 1900}));
    EXPECT_EQ(line.bytesSent(), std::string(5, '\n'));
    EXPECT_EQ(notice.beeps, 0);
    EXPECT_TRUE(notice.messages.empty());
}

TEST_F(PollCycle, ExactlyOneTimerIsEnabledBetweenTicks) {
    line.setFrame("WW1\r\n");
    create();
    clock.advanceTo(100);
    control->setComSetting("4800,e,7,1");  // one reconfiguration on the way
    for (int i = 0; i < 200 && clock.runNext(); ++i) EXPECT_EQ(enabledTimers(), 1) << "at " << clock.now();
    EXPECT_EQ(notice.beeps, 1);
}

TEST_F(PollCycle, EventsSeeTheNewWeightButThePreviousPropertyText) {
    line.setFrame("WW 7.25\r\n");
    create();
    clock.advanceTo(800);
    ASSERT_EQ(events.names(), (std::vector<std::string>{"ChangeVes", "VesStatus"}));
    for (const auto& e : events.events) EXPECT_EQ(e.vesTerminalSeen, " 0");  // from the decode at 400
    EXPECT_EQ(events.events[0].statusTerminalSeen, "X");
    EXPECT_EQ(events.events[1].statusTerminalSeen, "B");
    EXPECT_EQ(control->VesTerminal(), " 7.25");
}

TEST_F(PollCycle, StoredPortNumberIsAppliedByTheFirstPollWithABeepAndAMessage) {
    line.setTerminalPort(3);
    line.setFrame("WW2\r\n");
    create();
    loadProperty("ComNumber", std::string("3"));
    clock.advanceTo(300);  // the first poll closes port 1
    EXPECT_FALSE(line.isOpen());
    EXPECT_TRUE(control->Timer2().Enabled());
    clock.advanceTo(400);
    EXPECT_EQ(line.portNumber(), 3);
    EXPECT_EQ(notice.beeps, 1);
    EXPECT_EQ(notice.messages, (std::vector<std::string>{kPortMessage + "9600,n,8,1"}));
    EXPECT_TRUE(changes.names.empty());

    // The poll at 700 finds the port closed and sends nothing; the read at
    // 1100 comes before the answer; the poll at 1500 reads it.
    clock.advanceTo(1200);
    EXPECT_EQ(panel().Label2().text, "xxxx");
    EXPECT_EQ(line.requests(), (std::vector<Millis>{300, 1100}));
    clock.advanceTo(1600);
    EXPECT_EQ(panel().Label2().text, "2");
}

TEST_F(PollCycle, BlanksAroundThePortNumberStillMatch) {
    line.setTerminalPort(3);
    line.setFrame("WW2\r\n");
    create();
    loadProperty("ComNumber", std::string("3"));
    clock.advanceTo(1000);
    control->setComNumber(" 3");
    clock.advanceTo(5000);
    EXPECT_EQ(notice.beeps, 1);  // only the first change of port
    EXPECT_EQ(panel().Label2().text, "2");
}

TEST_F(PollCycle, SettingsTextDiffersByCaseOnlyStillReconfigures) {
    create();
    control->setComSetting("9600,N,8,1");
    clock.advanceTo(400);
    EXPECT_EQ(line.settings(), "9600,N,8,1");
    EXPECT_EQ(notice.messages, (std::vector<std::string>{kPortMessage + "9600,N,8,1"}));
    clock.advanceTo(4000);
    EXPECT_EQ(notice.beeps, 1);
}

TEST_F(PollCycle, RefusedSettingsAreReportedAndTheOldValuesRestoredWithoutNotification) {
    line.refuseSettings("115200,n,8,1");
    line.setFrame("WW4\r\n");
    create();
    control->setComSetting("115200,n,8,1");
    changes.names.clear();
    clock.advanceTo(400);
    ASSERT_EQ(notice.messages.size(), 2u);
    EXPECT_EQ(notice.messages[0], kPortMessage + "9600,n,8,1");
    EXPECT_EQ(notice.messages[1], kPortErrorMessage + "7009  The device cannot take the settings 115200,n,8,1: COM1: refused by the device");
    EXPECT_EQ(control->ComSetting(), "9600,n,8,1");
    EXPECT_EQ(control->ComNumber(), "1");
    EXPECT_TRUE(changes.names.empty());
    clock.advanceTo(1600);  // the next poll reopens the port with the old values
    EXPECT_TRUE(line.isOpen());
    EXPECT_EQ(panel().Label2().text, "4");
    EXPECT_EQ(notice.beeps, 1);
}

TEST_F(PollCycle, PortNumberOutsideTheIntegerRangeIsRefusedAndRestored) {
    create();
    control->setComNumber("70000");
    clock.advanceTo(400);
    ASSERT_EQ(notice.messages.size(), 2u);
    EXPECT_EQ(notice.messages[1], kPortErrorMessage + "6  Overflow");
    EXPECT_EQ(control->ComNumber(), "1");
    clock.advanceTo(4000);
    EXPECT_EQ(notice.beeps, 1);
}

TEST_F(PollCycle, PortNumberThatIsNotANumberChangesNothing) {
    line.setFrame("WW1\r\n");
    create();
    control->setComNumber("COM2");
    clock.advanceTo(4000);
    EXPECT_EQ(notice.beeps, 0);
    EXPECT_EQ(line.portNumber(), 1);
    EXPECT_EQ(panel().Label2().text, "1");
}

TEST_F(PollCycle, PortNumberWithAFractionIsAppliedOnceRoundedHalfToEven) {
    line.setTerminalPort(2);
    line.setFrame("WW1\r\n");
    create();
    control->setComNumber("2.5");
    clock.advanceTo(10000);
    EXPECT_EQ(line.portNumber(), 2);
    EXPECT_EQ(notice.beeps, 1);
    EXPECT_EQ(notice.messages.size(), 1u);
    EXPECT_EQ(panel().Label2().text, "1");
}

TEST_F(PollCycle, PortThatCannotOpenAtCreationKeepsPollingUntilItCan) {
    line.failOpen(FailureNumber::DeviceBusy);
    line.setFrame("WW9\r\n");
    create();
    EXPECT_FALSE(line.isOpen());
    EXPECT_EQ(line.settings(), "9600,n,8,1");  // the settings were not given
    clock.advanceTo(2000);
    EXPECT_EQ(panel().Label2().text, "xxxx");
    EXPECT_TRUE(line.requests().empty());
    EXPECT_TRUE(notice.messages.empty());
    line.failOpen(std::nullopt);
    clock.advanceTo(3200);
    EXPECT_EQ(panel().Label2().text, "9");
}

TEST_F(PollCycle, ASilentOrUnpluggedTerminalShowsNoWeightAndNeverAFalseStableOne) {
    line.setFrame("WW3\r\n");
    create();
    clock.advanceTo(1200);  // decodes at 800 and 1200 read 3: one more would make it stable
    EXPECT_EQ(panel().Label2().text, "3");
    EXPECT_EQ(panel().Shape1(1).fill, kGreen);
    line.unplug();
    clock.advanceTo(4000);
    EXPECT_EQ(panel().Label2().text, "xxxx");
    EXPECT_EQ(control->TipTerminal(), "unknown");
    const auto stable = std::count_if(events.events.begin(), events.events.end(),
                                      [](const auto& e) { return e.name == "StabVes"; });
    EXPECT_EQ(stable, 0);  // the reply before the unplug is not decoded again
    line.replug();
    clock.advanceTo(6000);
    EXPECT_EQ(panel().Label2().text, "3");
    EXPECT_TRUE(line.isOpen());
}

TEST_F(PollCycle, AFailureInsideTheDecodeTickIsReportedAndPollingGoesOn) {
    line.setFrame("WW5\r\n");
    create();
    events.onVesStatus = [](auto, auto&, auto&, auto&) { throw Failure(FailureNumber::InternalFailure, "sink"); };
    clock.advanceTo(800);
    ASSERT_EQ(notice.failures.size(), 1u);
    EXPECT_EQ(notice.failures[0].description(), "sink");
    EXPECT_TRUE(control->Timer1().Enabled());
    events.onVesStatus = nullptr;
    clock.advanceTo(1200);
    EXPECT_EQ(line.requests().size(), 3u);
    EXPECT_EQ(notice.failures.size(), 1u);
}

TEST_F(PollCycle, HostCallsHaveTheEffectsTheCycleHas) {
    line.setFrame("WW6\r\n");
    create();
    clock.advanceTo(800);
    events.events.clear();
    control->Default_Flag();
    control->Status_Terminale();  // the reset letter "X" makes the next status step report
    EXPECT_EQ(events.names(), (std::vector<std::string>{"VesStatus"}));
    EXPECT_EQ(control->reading().StabFlag, 0);

    control->Init_VC();  // the port is open already: nothing else happens
    EXPECT_TRUE(line.isOpen());
    EXPECT_EQ(line.opens(), 1);

    clock.advanceTo(1100);       // a poll: its decode is pending
    control->Com_ORVA_Signal();  // decodes what the poll read, and enables Timer1 whatever the state
    EXPECT_TRUE(control->Timer1().Enabled());
    EXPECT_TRUE(control->Timer3().Enabled());
}

TEST_F(PollCycle, TwoControlsKeepTheirReadingsApart) {
    virtual_time::SimulatedLine otherLine(clock);
    line.setFrame("WW1\r\n");
    otherLine.setFrame("WW2\r\n");
    create();
    const ActivexORVA* none = nullptr;
    RecordingEvents otherEvents(clock, none);
    ActivexORVA other({otherLine.makePort(), timers, notice, locale});
    other.setEventSink(&otherEvents);
    clock.advanceTo(3000);
    EXPECT_EQ(panel().Label2().text, "1");
    EXPECT_EQ(other.panel().Label2().text, "2");
    EXPECT_EQ(changeWeights(), (std::vector<std::string>{"ChangeVes 1.000000", "StabVes 1.000000"}));
    EXPECT_EQ(otherEvents.names(), (std::vector<std::string>{"ChangeVes", "VesStatus", "StabVes"}));
}

TEST_F(PollCycle, DestroyingTheControlClosesItsPort) {
    create();
    EXPECT_TRUE(line.isOpen());
    control.reset();
    EXPECT_FALSE(line.isOpen());
    clock.advanceTo(2000);  // no timer of the gone control ticks
    EXPECT_TRUE(line.requests().empty());
}

}  // namespace
}  // namespace orva::testing
