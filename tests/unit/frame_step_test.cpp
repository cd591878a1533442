// ORVA-2 frames carry no marker: only where the reads begin and end says
// where a frame begins. A read that may begin inside a frame, or whose raw
// digits run on past one frame, is no weight; a whole frame read in step is.

#include <gtest/gtest.h>

#include <set>

#include "acquisition/frame_decoding.h"
#include "acquisition/frame_grid.h"
#include "control_bench.h"

namespace orva::testing {
namespace {

const std::string kFrame = orva2({5, 4, 3, 2, 1, 0});  // 123.45 with DecPoint 2

TEST(Orva2Step, SixRawDigitsReadInStepAreAWeightWhateverFollowsThem) {
    using enum TerminalKind;
    struct Case {
        std::string reply;
        bool inStep;
        TerminalKind kind;
    };
    const std::string etx(1, '\x03');
    const Case cases[] = {
        {kFrame, true, Orva2},
        {kFrame + etx, true, Orva2},                     // ETX is a raw digit, and still a trailer
        {kFrame + "\r\n" + etx, true, Orva2},
        {kFrame + kFrame, true, Orva2},                  // two frames back to back
        {kFrame + std::string(2, '\0'), true, Orva2},    // NUL padding
        {kFrame + etx, false, Unknown},                  // six digits from who knows where
        {kFrame.substr(0, 5) + "\r", true, Unknown},      // five are no frame
        {"WW 12.50\r\n" + etx + "\x05", false, Orva1},    // the marker needs no step, whatever follows
        {"\x02WW  10.00 kg\r\n" + etx + std::string(2, '\0'), false, Orva1},
    };
    for (const auto& c : cases) {
        const DecodedReply r = decodeReply(c.reply, 2, c.inStep);
        EXPECT_EQ(r.kind, c.kind) << ::testing::PrintToString(c.reply) << " in step " << c.inStep;
        if (c.kind == Orva2) {
            EXPECT_EQ(r.weight, 123.45);
        }
        if (c.kind == Unknown && c.reply.size() >= 6 && !c.inStep) {
            EXPECT_EQ(r.why, NoWeight::OutOfStep);
        }
    }
}

// Sequences of reads as the poll takes them, and what the grid says of each.
TEST(FrameGridReads, AFrameStartIsSeenFromAQuietCycleOrTwoReadsThatAgreeAndKeptByCounting) {
    using enum StepClause;
    const std::string f = kFrame + "\x03";  // seven bytes, every one a raw digit
    const std::string line = kFrame + "\r\n";
    const std::string nul(1, '\0');
    const std::string weightA = orva2({1, 0, 0, 0, 0, 0});
    const std::string weightB = orva2({2, 0, 0, 0, 0, 0});
    const std::string weightC = orva2({3, 0, 0, 0, 0, 0});
    const std::string weightD = orva2({4, 0, 0, 0, 0, 0});
    const std::string checked = kFrame + "\xF4";                // a check byte above 9
    const std::string rotated = f.substr(6) + f.substr(0, 6);  // the ETX first
    struct Read {
        std::string bytes;
        StepClause clause;
        bool hold = false;
        bool opened = false;  // the port opened at this poll
    };
    struct Case {
        const char* what;
        std::vector<Read> reads;
    };
    const Case cases[] = {
        {"answers when asked: quiet, then two replies confirm the length and the second is read",
         {{"", Quiet}, {f, Unconfirmed}, {f, InStep}, {f, InStep}}},
        {"two frames per reply: one frame over and over shows its length at once",
         {{"", Quiet}, {f + f, InStep}, {f + f, InStep}, {f + f, InStep}}},
        {"a stray raw digit before a reply: refused, the request held back, quiet, read again",
         {{"", Quiet}, {f, Unconfirmed}, {f, InStep}, {std::string(1, '\0') + f, EndsOffGrid, true}, {"", Quiet},
          {f, InStep}}},
        {"streaming: a frame broken off by the poll, the rest read next, then in step again",
         {{f, AtOpen, true}, {f, Unknown}, {f + f, Unknown}, {f + f.substr(0, 3), EndsOffGrid, true},
          {f.substr(3) + f, InsideFrame}, {f + f, InStep}}},
        {"the port opens while a frame is on the line: the empty read after the open is no quiet cycle",
         {{"", AtOpen, false, true}, {f.substr(2), AtOpen, true}, {f, Unknown}, {f + f, Unknown}, {f, InStep}}},
        {"a line end after the digits marks where every frame begins: frames over and over need no frame start",
         {{line.substr(3) + line + line.substr(0, 3), AtOpen, true}, {line.substr(3) + line + line + line, Unknown},
          {line + line + line, InStep}}},
        {"reads of equal length cut at one place of every frame are no frame start: raw digits alone",
         {{f.substr(2) + f.substr(0, 2), AtOpen, true}, {f.substr(2) + f.substr(0, 2), Unknown},
          {f.substr(2) + f.substr(0, 2), Unknown, true}, {f.substr(2) + f.substr(0, 2), Unknown}}},
        {"a byte above 9 where the grid puts digits: out of step until two whole reads agree",
         {{"", Quiet}, {f, Unconfirmed}, {f, InStep}, {f.substr(0, 3) + "\r\n" + f.substr(5), DigitsMissing, true},
          {f, Unknown}, {f + f, Unknown}, {f, InStep}}},
        {"a stray raw digit after two replies in a row is taken into the frame length; a reply with the stray "
         "before it moves the check byte and is refused, and the length is learned again",
         {{"", Quiet}, {checked + nul, InStep}, {checked + nul, InStep}, {nul + checked, TrailerMoved, true},
          {"", Quiet}, {checked + nul, InStep}}},
        {"the read right after the open covers less than a poll cycle: with the next one it shows no frame start",
         {{rotated + rotated + rotated, AtOpen, true}, {rotated + rotated + rotated + rotated, Unknown},
          {rotated + rotated + rotated + rotated, Unknown, true}}},
        {"a read that begins and ends inside frames keeps the count only while it repeats the frame",
         {{"", Quiet}, {f, Unconfirmed}, {f, InStep}, {f + f.substr(0, 3), EndsOffGrid, true},
          {f.substr(3) + f + f.substr(0, 3), InsideFrame}, {f.substr(3) + nul + f + f.substr(0, 2), InsideFrame, true},
          {f.substr(2) + f, Unknown}}},
        {"six raw digits alone from a frame start are read before the frame length is known",
         {{"", Quiet}, {kFrame, InStep}, {kFrame, InStep}, {kFrame, InStep}}},
        {"a check byte that happens to be a line feed is not taken for the terminal's own trailer",
         {{"", Quiet}, {weightA + "\n", InStep}, {weightA + "\n", InStep}, {weightB + "\x05", InStep}}},
        {"a check byte that took one value for three weights: the fourth is refused once, then read after "
         "the quiet cycle, and the trailer is no longer compared",
         {{"", Quiet}, {weightA + "\x0B", InStep}, {weightA + "\x0B", InStep}, {weightB + "\x0B", InStep},
          {weightC + "\x0B", InStep}, {weightD + "\x0C", DigitsMissing, true}, {"", Quiet},
          {weightD + "\x0C", InStep}, {weightA + "\x0B", InStep}}},
        {"ORVA-1 frames, whatever follows them, never hold a request back",
         {{"\x02WW  10.00 kg\r\n\x03\x05", Orva1}, {"\x02WW  10.00 kg\r\n\x03\x05", Orva1},
          {"0 kg\r\n\x03\x05", Unknown}}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FrameGrid grid;
        bool sent = true;
        for (std::size_t i = 0; i < c.reads.size(); ++i) {
            const Read& r = c.reads[i];
            if (r.opened) grid.portOpened();
            const FrameGrid::Verdict v = grid.take(r.bytes, r.opened, sent);
            EXPECT_EQ(stepClauseText(v.clause), stepClauseText(r.clause)) << "read " << i;
            EXPECT_EQ(v.startsInStep, r.clause == InStep) << "read " << i;
            EXPECT_EQ(v.holdRequest, r.hold) << "read " << i;
            sent = !v.holdRequest;
        }
    }
}

class Orva2Line : public ControlBench {
protected:
    void SetUp() override {
        line.setFrame(kFrame);
        create();
        control->setDecPoint(2);
        control->setMinFixVes(0);
    }
    // Every weight an event carried.
    std::set<double> eventWeights() const {
        std::set<double> out;
        for (const auto& e : events.events)
            if (e.name != "VesStatus") out.insert(e.weight);
        return out;
    }
    int count(const std::string& name) const {
        int n = 0;
        for (const auto& e : events.events) n += e.name == name;
        return n;
    }
};

TEST_F(Orva2Line, AReadNeverHoldsTheHeadOfTheAnswerToItsOwnRequest) {
    // The first three bytes of every answer are there before the poll that
    // asked for it reads: a host that reads a few milliseconds late. Read
    // after the request, every read would be the tail of one frame and the
    // head of the next, 3450.12.
    line.setReplyHead(3);
    clock.advanceTo(6000);
    EXPECT_EQ(eventWeights(), (std::set<double>{123.45}));
    EXPECT_EQ(count("StabVes"), 1);
    EXPECT_EQ(panel().Label2().text, "123.45");
}

TEST_F(Orva2Line, AnAnswerThatEndsInsideAFrameHoldsBackOneRequestAndTheLineComesBackInStep) {
    // Answers that leave the line inside a frame; each is followed by whole
    // frames. No event may carry a weight the terminal did not send, and the
    // scale reads again within a few cycles.
    const std::vector<std::vector<std::string>> answers = {
        {std::string(1, '\0') + kFrame},                          // a stray byte: 1234.5 if read
        {kFrame + kFrame},                                        // two frames at once
        {kFrame + kFrame.substr(0, 3), kFrame.substr(3) + kFrame},  // a frame and a half, then the rest
        {kFrame.substr(0, 4)},                                    // a frame that breaks off
    };
    for (const auto& odd : answers) {
        SCOPED_TRACE(::testing::PrintToString(odd));
        std::vector<std::string> queue{kFrame, kFrame, kFrame};
        queue.insert(queue.end(), odd.begin(), odd.end());
        line.queueFrames(queue);
        const Millis start = clock.now();
        clock.advanceTo(start + 400 * (3 + Millis(odd.size()) * 3 + 3));
        EXPECT_EQ(eventWeights(), (std::set<double>{123.45}));
        EXPECT_EQ(panel().Label2().text, "123.45");
        EXPECT_TRUE(reading().Grid.inStep());
    }
    EXPECT_EQ(count("StabVes"), 1);  // one load throughout
}

TEST_F(Orva2Line, TheRequestIsHeldBackOnlyWhileTheLineIsOutOfStep) {
    line.queueFrames({kFrame, kFrame.substr(0, 4)});
    // The half frame answers the request at 700 and is read at 1100, which
    // sends nothing; the poll at 1500 reads the quiet cycle and asks again.
    clock.advanceTo(2000);
    EXPECT_EQ(line.requests(), (std::vector<Millis>{300, 700, 1500, 1900}));
    clock.advanceTo(2400);
    EXPECT_EQ(panel().Label2().text, "123.45");
}

}  // namespace
}  // namespace orva::testing
