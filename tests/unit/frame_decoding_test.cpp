#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

#include "acquisition/frame_decoding.h"
#include "control_bench.h"

namespace orva::testing {
namespace {

struct ReplyCase {
    std::string reply;
    std::int16_t decPoint;
    TerminalKind kind;
    double weight;
    NoWeight why = NoWeight::NotAFrame;  // checked when the reply is unrecognised
};

TEST(DecodeReply, RecognisesBothFramesAndNothingElse) {
    using enum TerminalKind;
    using enum NoWeight;
    const ReplyCase cases[] = {
        {"WW00012.5", 1, Orva1, 12.5},
        {"abcWW -1.75kg", 1, Orva1, -1.75},
        {"WW0012,50", 1, Orva1, 12},
        {"WW12.5\r\n", 1, Orva1, 12.5},                // a shorter field closed by CR LF
        {"WW12.5\n", 1, Orva1, 12.5},
        {"\x02WW   12.5kg\r\n", 1, Orva1, 12.5},
        {"WW   12.5", 1, Orva1, 12.5},                 // exactly seven characters
        {"WW12\n5", 1, Orva1, 125},                    // a line feed inside the number is dropped
        // A shorter field is whole when a character that cannot continue
        // its number follows the number.
        {"WW12.5\x03", 1, Orva1, 12.5},
        {"WW12.5kg", 1, Orva1, 12.5},
        {"\x02WW 123.45kg", 1, Orva1, 123.45},
        {"WW12 kg", 1, Orva1, 12},
        {"WW1E3\x03", 1, Orva1, 1000},
        // A number that runs to the end of the text may go on in the next
        // read: a cut-off frame.
        {"\x02WW   1", 1, Unknown, 0, CutOff},
        {"WW12.5", 1, Unknown, 0, CutOff},
        {"WW 12", 1, Unknown, 0, CutOff},
        {"WW-1.5", 1, Unknown, 0, CutOff},
        {"WW12 ", 1, Unknown, 0, CutOff},               // blanks inside a number are dropped
        {"WW1.5E", 1, Unknown, 0, CutOff},              // the exponent may follow
        {"WW-", 1, Unknown, 0, CutOff},
        {"WW&H", 1, Unknown, 0, CutOff},
        {"header WW", 1, Unknown, 0, CutOff},
        {"WW", 1, Unknown, 0, CutOff},
        // A field with no number in it: an overload, a blank display, a
        // stray W before the marker.
        {"WW  OL   \r\n", 1, Unknown, 0, NoNumber},
        {"WW       ", 1, Unknown, 0, NoNumber},
        {"header WW\r\n", 1, Unknown, 0, NoNumber},
        {"\x02WWW 15.50\r\n", 1, Unknown, 0, NoNumber},
        {"WWWW123\r\n", 1, Unknown, 0, NoNumber},       // the first marker counts
        {"WWWW123", 1, Unknown, 0, NoNumber},
        {"WWW", 1, Unknown, 0, NoNumber},
        {"WW.\r\n", 1, Unknown, 0, NoNumber},
        {"WW&H\r\n", 1, Unknown, 0, NoNumber},
        {"ww1234567", 1, Unknown, 0},                  // the marker is case-sensitive
        {orva2({5, 4, 3, 2, 1, 0}), 2, Orva2, 123.45},
        {orva2({9, 9, 9, 9, 9, 9}), 3, Orva2, 999.999},
        {orva2({9, 9, 9, 9, 9, 9}), 0, Orva2, 999999},
        {orva2({0, 0, 0, 0, 0, 0}) + "tail", 1, Orva2, 0},
        {orva2({1, 0, 0, 0, 0, 0}), -2, Orva2, 100},
        {orva2({1, 0, 0, 0, 0, 0}), -5, Orva2, 100000},  // exactly, as the panel shows it
        {orva2({3, 0, 0, 0, 0, 0}), -9, Orva2, 3e9},
        {orva2({1, 2, 3, 10, 0, 0}), 1, Unknown, 0},   // a line feed among the digits
        {orva2({1, 2, 3, 4, 5}), 1, Unknown, 0},       // five characters
        {"", 1, Unknown, 0, Empty},
        {"\x01", 1, Unknown, 0},
        {orva2({5, 4, 3, 2, 1, 0}) + "WW7\r", 2, Orva1, 7},  // the marker takes precedence
        {orva2({5, 4, 3, 2, 1, 0}) + "WW7", 2, Unknown, 0, CutOff},  // even when its frame is cut off
        {"\xFF\xFE\x01\x02\x03\x04", 1, Unknown, 0},   // bytes above 127 are not digits
    };
    for (const auto& c : cases) {
        const DecodedReply r = decodeReply(c.reply, c.decPoint);
        EXPECT_EQ(r.kind, c.kind) << c.reply;
        EXPECT_EQ(r.weight, c.weight) << c.reply;  // exact: events compare weights exactly
        if (c.kind == Unknown) {
            EXPECT_EQ(r.why, c.why) << c.reply;
        }
    }
}

TEST(DecodeReply, AWeightBeyondTheDoubleRangeIsUnrecognised) {
    EXPECT_EQ(decodeReply("WW1E999", 1).kind, TerminalKind::Unknown);
    EXPECT_EQ(decodeReply("WW-1D9999", 1).kind, TerminalKind::Unknown);
    EXPECT_EQ(decodeReply(orva2({1, 0, 0, 0, 0, 0}), -400).kind, TerminalKind::Unknown);
    EXPECT_EQ(decodeReply(orva2({0, 0, 0, 0, 0, 0}), -400).kind, TerminalKind::Unknown);  // 0/0
    EXPECT_EQ(decodeReply(orva2({1, 0, 0, 0, 0, 0}), 400).kind, TerminalKind::Unknown);
    EXPECT_EQ(decodeReply(orva2({9, 9, 9, 9, 9, 9}), -304).kind, TerminalKind::Unknown);  // finite scale, infinite weight
    EXPECT_EQ(decodeReply(orva2({1, 0, 0, 0, 0, 0}), 300).kind, TerminalKind::Orva2);
}

using Decoding = WeightPathBench;

TEST_F(Decoding, RecognisedFrameFillsPanelAndProperties) {
    properties.UnitWeight = "lb";
    decode("WW00012.5");
    EXPECT_EQ(panel.Label2().text, "12.5");
    EXPECT_EQ(panel.Label3().text, "kg");
    EXPECT_EQ(panel.Frame1().text, "ORVA-1");
    EXPECT_TRUE(panel.Frame1().visible);
    EXPECT_EQ(properties.UnitWeight, "kg");  // forced, whatever the host had set
    EXPECT_EQ(properties.TipTerminal, "ORVA-1");
    EXPECT_EQ(properties.VesTerminal, " 12.5");
    EXPECT_EQ(properties.StatusTerminal, "B");
    EXPECT_EQ(reading.ReplyWork, "WW00012.5");
    EXPECT_TRUE(timer1->Enabled());
}

TEST_F(Decoding, CommaLocaleShowsACommaButKeepsThePointInTheProperty) {
    locale = virtual_time::FixedLocale(",");
    decode(orva2({5, 4, 3, 2, 1, 0}));
    EXPECT_EQ(panel.Label2().text, "1234,5");
    EXPECT_EQ(properties.VesTerminal, " 1234.5");
    EXPECT_EQ(properties.TipTerminal, "ORVA-2");
}

TEST_F(Decoding, UnrecognisedReplyShowsNoWeightAndRaisesNothing) {
    decode("WW5\r\n");
    panel.setShape2Fill(3, kGreen);  // lamps keep whatever they show
    properties.UnitWeight = "t";
    events.events.clear();
    decode("ww1234567");
    EXPECT_EQ(panel.Label2().text, "xxxx");
    EXPECT_EQ(panel.Label3().text, "");
    EXPECT_EQ(panel.Frame1().text, "unknown");
    EXPECT_EQ(panel.Shape2(3).fill, kGreen);
    EXPECT_EQ(reading.VesCurrent, 0);
    EXPECT_EQ(properties.VesTerminal, " 0");
    EXPECT_EQ(properties.TipTerminal, "unknown");
    EXPECT_EQ(properties.StatusTerminal, "X");
    EXPECT_EQ(properties.UnitWeight, "t");
    EXPECT_TRUE(events.events.empty());
    EXPECT_TRUE(timer1->Enabled());
}

TEST_F(Decoding, ChangeVesOnlyWhenTheWeightDiffersFromThePreviousDecode) {
    decode("WW0\r\n");  // a first frame of 0 changes nothing
    decode("WW12.5\r\n");
    decode("WW12.5\r\n");
    decode("garbage");  // the drop to 0 raises nothing
    decode("WW0\r\n");      // 0 after a bad reply is no change
    decode("WW12.5\r\n");   // the same weight as before the bad reply is a change
    std::vector<double> changes;
    for (const auto& e : events.events)
        if (e.name == "ChangeVes") changes.push_back(e.weight);
    EXPECT_EQ(changes, (std::vector<double>{12.5, 12.5}));
}

TEST_F(Decoding, EventsOfOneReplyComeInOrderAtMostOnceEach) {
    properties.MinFixVes = 0;
    decode("WW10\r\n");
    decode("WW10\r\n");
    events.events.clear();
    decode("WW10\r\n");  // third equal reading: stable
    EXPECT_EQ(events.names(), (std::vector<std::string>{"StabVes"}));
    events.events.clear();
    decode("WW0\r\n");
    EXPECT_EQ(events.names(), (std::vector<std::string>{"ChangeVes", "VesStatus"}));
}

TEST_F(Decoding, AnOverloadInsideALoadingNeitherShowsZeroNorSettlesTheLoadTwice) {
    const auto stabVes = [&] {
        return std::count_if(events.events.begin(), events.events.end(), [](auto& e) { return e.name == "StabVes"; });
    };
    properties.MinFixVes = 500;
    for (int i = 0; i < 3; ++i) decode("WW  10.00\r\n");
    ASSERT_EQ(stabVes(), 1);
    events.events.clear();
    decode("WW  OL   \r\n");
    EXPECT_EQ(panel.Label2().text, "xxxx");
    EXPECT_TRUE(events.events.empty());  // no ChangeVes(0), no status "A"
    for (int i = 0; i < 3; ++i) decode("WW  10.00\r\n");
    EXPECT_EQ(stabVes(), 0);
}

TEST_F(Decoding, AFailingEventHandlerEndsTheDecodeForTheCaller) {
    events.onVesStatus = [](auto, auto&, auto&, auto&) { throw Failure(FailureNumber::InternalFailure, "handler"); };
    timer1->setEnabled(false);
    EXPECT_THROW(decode("WW3\r\n"), Failure);
    EXPECT_FALSE(timer1->Enabled());  // only a decode that runs to its end enables Timer1
}

}  // namespace
}  // namespace orva::testing
