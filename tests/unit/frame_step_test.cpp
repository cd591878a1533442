// ORVA-2 frames carry no marker: only where the reads begin and end says
// where a frame begins. A read that may begin inside a frame, or whose raw
// digits run on past one frame, is no weight; a whole frame read in step is.

#include <gtest/gtest.h>

#include <set>

#include "acquisition/frame_decoding.h"
#include "control_bench.h"

namespace orva::testing {
namespace {

const std::string kFrame = orva2({5, 4, 3, 2, 1, 0});  // 123.45 with DecPoint 2

TEST(Orva2Step, OnlyAWholeFrameReadInStepIsAWeight) {
    using enum TerminalKind;
    using enum NoWeight;
    struct Case {
        std::string reply;
        bool inStep;
        TerminalKind kind;
        NoWeight why;
    };
    const Case cases[] = {
        {kFrame, true, Orva2, NotAFrame},
        {kFrame + "\r\n", true, Orva2, NotAFrame},              // bytes above 9 after the digits
        {kFrame + "\r\n" + kFrame + "\r\n", true, Orva2, NotAFrame},  // the first of two closed frames
        {std::string(1, '\0') + kFrame, true, Unknown, DigitsRunOn},  // a stray byte before the frame
        {kFrame + kFrame, true, Unknown, DigitsRunOn},            // two frames run together
        {kFrame + kFrame.substr(0, 3), true, Unknown, DigitsRunOn},  // a frame and the head of the next
        {kFrame.substr(3) + kFrame.substr(0, 3), true, Orva2, NotAFrame},  // in step, as far as the reads tell
        {kFrame.substr(3) + kFrame.substr(0, 3), false, Unknown, OutOfStep},  // after a read that ended inside
        {kFrame, false, Unknown, OutOfStep},
        {kFrame.substr(0, 3), true, Unknown, NotAFrame},
        {"WW 12.50\r\n", false, Orva1, NotAFrame},              // the marker needs no step
    };
    for (const auto& c : cases) {
        const DecodedReply r = decodeReply(c.reply, 2, c.inStep);
        EXPECT_EQ(r.kind, c.kind) << ::testing::PrintToString(c.reply) << " in step " << c.inStep;
        if (c.kind == Unknown) {
            EXPECT_EQ(r.why, c.why) << ::testing::PrintToString(c.reply);
        }
    }
}

TEST(Orva2Step, TheLineIsBetweenFramesAfterSilenceAByteAboveNineOrAWholeFrame) {
    struct Case {
        std::string read;
        bool wasInStep;
        bool inStepAfter;
    };
    const Case cases[] = {
        {"", false, true},                        // a quiet poll cycle
        {kFrame + "\r\n", false, true},            // a line end closes whatever came before
        {kFrame.substr(0, 3) + "\xFF", false, true},
        {kFrame, true, true},                      // exactly one frame, begun in step
        {kFrame, false, false},                    // it may be the end of one and the start of another
        {kFrame.substr(0, 3), true, false},
        {kFrame + kFrame.substr(0, 1), true, false},
        {std::string(1, '\0') + kFrame, true, false},
        {"\r\n" + kFrame, true, false},            // a frame after a line end, but its trailer may follow
        {"WW 12.50\r\n", false, true},
    };
    for (const auto& c : cases)
        EXPECT_EQ(lineInStepAfter(c.read, c.wasInStep), c.inStepAfter) << ::testing::PrintToString(c.read);
}

TEST(Orva2Step, OnlyAReadEndingInTwoRawDigitsOrMoreEndsInsideAFrame) {
    struct Case {
        std::string read;
        bool lineInStep;
        bool inside;
    };
    const Case cases[] = {
        {kFrame.substr(0, 2), false, true},
        {kFrame + kFrame, false, true},
        {"\x02", false, false},              // an ORVA-1 frame cut right after its STX
        {"WW 12.50\r\n\x02", false, false},
        {kFrame.substr(0, 2), true, false},   // in step: nothing to find
        {"", true, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(endsInsideOrva2Frame(c.read, c.lineInStep), c.inside) << ::testing::PrintToString(c.read);
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
        EXPECT_TRUE(reading().LineInStep);
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
