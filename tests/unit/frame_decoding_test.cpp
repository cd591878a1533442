#include <gtest/gtest.h>

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
};

TEST(DecodeReply, RecognisesBothFramesAndNothingElse) {
    using enum TerminalKind;
    const ReplyCase cases[] = {
        {"WW00012.5", 1, Orva1, 12.5},
        {"abcWW -1.75kg", 1, Orva1, -1.75},
        {"WW0012,50", 1, Orva1, 12},
        {"header WW\r\n", 1, Orva1, 0},                // empty field, closed by the line end
        {"WWWW123\r\n", 1, Orva1, 0},                  // the first marker counts
        {"WW12.5\r\n", 1, Orva1, 12.5},                // a shorter field closed by CR LF
        {"WW12.5\n", 1, Orva1, 12.5},
        {"\x02WW   12.5kg\r\n", 1, Orva1, 12.5},
        {"WW   12.5", 1, Orva1, 12.5},                 // exactly seven characters
        // A text that ends inside the field is a cut-off frame.
        {"\x02WW   1", 1, Unknown, 0},
        {"WW12.5", 1, Unknown, 0},
        {"header WW", 1, Unknown, 0},
        {"WW", 1, Unknown, 0},
        {"WWW", 1, Unknown, 0},
        {"WWWW123", 1, Unknown, 0},
        {"ww1234567", 1, Unknown, 0},                  // the marker is case-sensitive
        {orva2({5, 4, 3, 2, 1, 0}), 2, Orva2, 123.45},
        {orva2({9, 9, 9, 9, 9, 9}), 3, Orva2, 999.999},
        {orva2({9, 9, 9, 9, 9, 9}), 0, Orva2, 999999},
        {orva2({0, 0, 0, 0, 0, 0}) + "tail", 1, Orva2, 0},
        {orva2({1, 0, 0, 0, 0, 0}), -2, Orva2, 100},
        {orva2({1, 2, 3, 10, 0, 0}), 1, Unknown, 0},   // a line feed among the digits
        {orva2({1, 2, 3, 4, 5}), 1, Unknown, 0},       // five characters
        {"", 1, Unknown, 0},
        {"\x01", 1, Unknown, 0},
        {orva2({5, 4, 3, 2, 1, 0}) + "WW7\r", 2, Orva1, 7},  // the marker takes precedence
        {orva2({5, 4, 3, 2, 1, 0}) + "WW7", 2, Unknown, 0},  // even when its frame is cut off
        {"\xFF\xFE\x01\x02\x03\x04", 1, Unknown, 0},   // bytes above 127 are not digits
    };
    for (const auto& c : cases) {
        const DecodedReply r = decodeReply(c.reply, c.decPoint);
        EXPECT_EQ(r.kind, c.kind) << c.reply;
        EXPECT_DOUBLE_EQ(r.weight, c.weight) << c.reply;
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

TEST_F(Decoding, AFailingEventHandlerEndsTheDecodeForTheCaller) {
    events.onVesStatus = [](auto, auto&, auto&, auto&) { throw Failure(FailureNumber::InternalFailure, "handler"); };
    timer1->setEnabled(false);
    EXPECT_THROW(decode("WW3\r\n"), Failure);
    EXPECT_FALSE(timer1->Enabled());  // only a decode that runs to its end enables Timer1
}

}  // namespace
}  // namespace orva::testing
