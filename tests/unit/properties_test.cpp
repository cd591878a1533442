#include <gtest/gtest.h>

#include <cmath>

#include "control/value_conversion.h"
#include "control_bench.h"

namespace orva::testing {
namespace {

using Properties = ControlBench;
using virtual_time::MemoryPropertyBag;

TEST_F(Properties, ANewInstanceHoldsTheDefaults) {
    create();
    EXPECT_EQ(control->MinFixVes(), 50);
    EXPECT_EQ(control->DecPoint(), 1);
    EXPECT_EQ(control->ComSetting(), "9600,n,8,1");
    EXPECT_EQ(control->ComNumber(), "1");
    EXPECT_EQ(control->VesTerminal(), "XXXX");
    EXPECT_EQ(control->TipTerminal(), "No Connect");
    EXPECT_EQ(control->StatusTerminal(), "X");
    EXPECT_EQ(control->UnitWeight(), "kg");
}

TEST_F(Properties, WritesStoreUnchangedThenNotifyByName) {
    create();
    std::string seenInNotification;
    struct Sink : PropertyChangeSink {
        ActivexORVA* control = nullptr;
        std::string* seen = nullptr;
        void propertyChanged(std::string_view) override { *seen = control->ComSetting(); }
    } sink;
    sink.control = control.get();
    sink.seen = &seenInNotification;
    control->setPropertyChangeSink(&sink);
    control->setComSetting("");
    EXPECT_EQ(seenInNotification, "");  // stored before the notification
    control->setComSetting(" 4800,E,7,2 ");
    EXPECT_EQ(seenInNotification, " 4800,E,7,2 ");

    control->setPropertyChangeSink(&changes);
    control->setMinFixVes(-5);
    control->setDecPoint(-3);
    control->setComNumber("COM2");
    control->setVesTerminal("v");
    control->setTipTerminal("t");
    control->setStatusTerminal("s");
    control->setUnitWeight("u");
    EXPECT_EQ(changes.names, (std::vector<std::string>{"MinFixVes", "DecPoint", "ComNumber", "VesTerminal",
                                                       "TipTerminal", "StatusTerminal", "UnitWeight"}));
    EXPECT_EQ(control->MinFixVes(), -5);
    EXPECT_EQ(control->DecPoint(), -3);
    EXPECT_EQ(control->ComNumber(), "COM2");
    EXPECT_EQ(line.portNumber(), 1);  // a write never touches the port
    EXPECT_TRUE(line.isOpen());
}

TEST_F(Properties, AFailedNotificationFailsTheWriteButKeepsTheValue) {
    create();
    changes.failWith = Failure(FailureNumber::InternalFailure, "host refused");
    EXPECT_THROW(control->setDecPoint(3), Failure);
    EXPECT_EQ(control->DecPoint(), 3);
}

TEST_F(Properties, HostValuesInOutputPropertiesLastUntilTheNextDecode) {
    create();
    control->setStatusTerminal("Z");
    control->setTipTerminal("mine");
    EXPECT_EQ(control->TipTerminal(), "mine");
    clock.advanceTo(100);
    EXPECT_EQ(control->StatusTerminal(), "X");
    EXPECT_EQ(control->TipTerminal(), "unknown");
}

TEST_F(Properties, SaveOfDefaultsLeavesTheBagEmptyAndLoadGivesThemBack) {
    create();
    MemoryPropertyBag bag;
    control->WriteProperties(bag);
    EXPECT_TRUE(bag.values.empty());
    control->setMinFixVes(7);
    control->ReadProperties(bag);
    EXPECT_EQ(control->properties(), PropertyRecord{});
}

TEST_F(Properties, ASaveAfterADecodeCarriesTheReadingIntoTheNextInstance) {
    line.setFrame("WW 12.5\r\n");
    create();
    control->setMinFixVes(200);
    clock.advanceTo(800);
    MemoryPropertyBag bag;
    control->WriteProperties(bag);
    EXPECT_EQ(std::get<std::int32_t>(bag.values.at("MinFixVes")), 200);
    EXPECT_EQ(std::get<std::string>(bag.values.at("VesTerminal")), " 12.5");

    const PropertyRecord saved = control->properties();
    control.reset();
    changes.names.clear();
    create();
    control->ReadProperties(bag);
    EXPECT_EQ(control->properties(), saved);
    EXPECT_EQ(control->TipTerminal(), "ORVA-1");
    EXPECT_TRUE(changes.names.empty());  // a load notifies nobody
}

TEST_F(Properties, LoadConvertsWhatTheBagHolds) {
    create();
    MemoryPropertyBag bag;
    bag.values["MinFixVes"] = std::string(" 120 ");
    bag.values["DecPoint"] = 2.5;  // half to even
    bag.values["ComSetting"] = std::int32_t{42};
    bag.values["ComNumber"] = true;
    bag.values["VesTerminal"] = 1.5;
    control->ReadProperties(bag);
    EXPECT_EQ(control->MinFixVes(), 120);
    EXPECT_EQ(control->DecPoint(), 2);
    EXPECT_EQ(control->ComSetting(), "42");
    EXPECT_EQ(control->ComNumber(), "True");
    EXPECT_EQ(control->VesTerminal(), "1.5");
}

TEST_F(Properties, AValueThatCannotBeConvertedEndsTheLoadAtItsKey) {
    create();
    MemoryPropertyBag bag;
    bag.values["MinFixVes"] = std::int32_t{300};
    bag.values["DecPoint"] = std::string("two");
    bag.values["ComNumber"] = std::string("5");
    try {
        control->ReadProperties(bag);
        FAIL() << "the load succeeded";
    } catch (const Failure& failure) {
        EXPECT_EQ(failure.number(), 13);
    }
    EXPECT_EQ(control->MinFixVes(), 300);  // loaded before the bad key
    EXPECT_EQ(control->DecPoint(), 1);
    EXPECT_EQ(control->ComNumber(), "1");  // never reached

    bag.values["DecPoint"] = std::int32_t{40000};
    EXPECT_THROW(
        try { control->ReadProperties(bag); } catch (const Failure& f) {
            EXPECT_EQ(f.number(), 6);
            throw;
        },
        Failure);
}

TEST(ValueConversion, SixteenBitIntegersRoundHalfToEvenWithinRange) {
    EXPECT_EQ(toInt16(PropertyValue{0.5}), 0);
    EXPECT_EQ(toInt16(PropertyValue{1.5}), 2);
    EXPECT_EQ(toInt16(PropertyValue{-2.5}), -2);
    EXPECT_EQ(toInt16(PropertyValue{32767.4}), 32767);
    EXPECT_EQ(toInt16(PropertyValue{std::string("-32768")}), -32768);
    EXPECT_EQ(toInt16(PropertyValue{}), 0);
    EXPECT_THROW(toInt16(PropertyValue{32767.5}), Failure);
    EXPECT_THROW(toInt16(PropertyValue{std::int32_t{-32769}}), Failure);
    EXPECT_THROW(toInt16(PropertyValue{std::nan("")}), Failure);
    EXPECT_THROW(toInt16(PropertyValue{std::string("")}), Failure);
}

}  // namespace
}  // namespace orva::testing
