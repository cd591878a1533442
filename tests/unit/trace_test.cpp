// The wire trace: from the trace alone a support engineer can tell why a
// scale shows "xxxx", and what the control sent, received and raised.

#include <gtest/gtest.h>

#include "control_bench.h"
#include "platform/trace.h"

namespace orva::testing {
namespace {

class RecordingTrace : public Trace {
public:
    void line(std::string_view text) override { lines.emplace_back(text); }
    bool has(std::string_view text) const {
        for (const auto& l : lines)
            if (l.find(text) != std::string::npos) return true;
        return false;
    }
    std::string all() const {
        std::string out;
        for (const auto& l : lines) out += l + "\n";
        return out;
    }
    std::vector<std::string> lines;
};

TEST(EscapedBytes, ShowsEveryByteUnambiguously) {
    EXPECT_EQ(escapedBytes(""), "\"\"");
    EXPECT_EQ(escapedBytes("\x02WW  12.5kg\r\n"), "\"\\x02WW  12.5kg\\r\\n\"");
    EXPECT_EQ(escapedBytes(std::string("\0\x7F\xFF\t\"\\", 6)), "\"\\x00\\x7F\\xFF\\t\\\"\\\\\"");
}

class Tracing : public ControlBench {
protected:
    Tracing() { trace = &recorder; }
    RecordingTrace recorder;
};

TEST_F(Tracing, AWholeFrameIsTracedFromRequestToEvents) {
    line.setFrame("\x02WW   12.5kg\r\n");
    create();
    clock.advanceTo(800);
    EXPECT_TRUE(recorder.has("open port 1 9600,n,8,1: ok")) << recorder.all();
    EXPECT_TRUE(recorder.has("send \"\\n\": ok")) << recorder.all();
    EXPECT_TRUE(recorder.has("recv 14 bytes \"\\x02WW   12.5kg\\r\\n\"")) << recorder.all();
    EXPECT_TRUE(recorder.has("decode ORVA-1 weight 12.5 from")) << recorder.all();
    EXPECT_TRUE(recorder.has("event ChangeVes(12.5)")) << recorder.all();
    EXPECT_TRUE(recorder.has("event VesStatus(0, 1, 0, 0)")) << recorder.all();
    clock.advanceTo(2000);
    EXPECT_TRUE(recorder.has("event StabVes(12.5)")) << recorder.all();
}

TEST_F(Tracing, EachReasonForNoWeightIsNamed) {
    // A missing device: the open fails with its number, nothing is received.
    line.setPortExists(1, false);
    create();
    clock.advanceTo(800);
    EXPECT_TRUE(recorder.has("open port 1 9600,n,8,1: failed 7006 No such device: COM1")) << recorder.all();
    EXPECT_TRUE(recorder.has("recv failed 7001")) << recorder.all();
    EXPECT_TRUE(recorder.has("decode unrecognised, shows xxxx: nothing received")) << recorder.all();

    // A cut-off frame.
    recorder.lines.clear();
    line.setPortExists(1, true);
    line.setFrame("\x02WW   1");
    clock.advanceTo(2400);
    EXPECT_TRUE(recorder.has("recv 7 bytes \"\\x02WW   1\"")) << recorder.all();
    EXPECT_TRUE(recorder.has("shows xxxx: the text ends inside the number after the marker (cut-off frame) in "
                             "\"\\x02WW   1\""))
        << recorder.all();

    // A field with no number: an overloaded terminal.
    recorder.lines.clear();
    line.setFrame("WW  OL   \r\n");
    clock.advanceTo(3600);
    EXPECT_TRUE(recorder.has("shows xxxx: the weight field after the marker holds no number in \"WW  OL   \\r\\n\""))
        << recorder.all();

    // Bytes that are no frame, and a silent terminal.
    recorder.lines.clear();
    line.setFrame("12345");
    clock.advanceTo(4800);
    EXPECT_TRUE(recorder.has("shows xxxx: neither the marker WW nor six raw digits at the start in \"12345\""))
        << recorder.all();
    recorder.lines.clear();
    line.setSilent();
    clock.advanceTo(6000);
    EXPECT_TRUE(recorder.has("recv 0 bytes \"\"")) << recorder.all();
    EXPECT_TRUE(recorder.has("shows xxxx: nothing received")) << recorder.all();
}

TEST_F(Tracing, EveryORVA2ReadRefusedAndEveryRequestHeldBackNamesItsClause) {
    const std::string frame("\x05\x04\x03\x02\x01\x00\x03", 7);  // ETX: every byte a raw digit
    line.queueFrames({frame, frame, frame, std::string(1, '\0') + frame});
    line.setFrame(frame);
    create();
    control->setDecPoint(2);
    clock.advanceTo(4000);
    // The first reply: a frame start seen (the quiet first cycle), its
    // length not yet confirmed; the second confirms it and is read.
    EXPECT_TRUE(recorder.has("six raw digits, but the read may not begin where a frame begins (a frame start seen, "
                             "the frame length not yet confirmed by two reads)"))
        << recorder.all();
    EXPECT_TRUE(recorder.has("decode ORVA-2 weight 123.45")) << recorder.all();
    // A stray byte before a reply: refused and the request held back, each
    // line naming the clause.
    EXPECT_TRUE(recorder.has("(the read ends inside a frame or holds a stray byte (a whole number of frames "
                             "expected)) in \"\x00\x05\x04"))
        << recorder.all();
    EXPECT_TRUE(recorder.has("send held back one poll, a quiet cycle finds the next frame start: the read ends "
                             "inside a frame or holds a stray byte"))
        << recorder.all();
    EXPECT_EQ(panel().Label2().text, "123.45");
}

TEST_F(Tracing, AReconfigurationAndItsRefusalAreTraced) {
    line.refuseSettings("115200,n,8,1");
    create();
    control->setComSetting("115200,n,8,1");
    clock.advanceTo(400);
    EXPECT_TRUE(recorder.has("port 1 9600,n,8,1 differs from ComNumber 1 ComSetting 115200,n,8,1: reconfigure"))
        << recorder.all();
    EXPECT_TRUE(recorder.has("close port 1 9600,n,8,1: ok")) << recorder.all();
    EXPECT_TRUE(recorder.has("set settings 115200,n,8,1: failed 7009")) << recorder.all();
    EXPECT_TRUE(recorder.has("message \"")) << recorder.all();
    EXPECT_TRUE(recorder.has("restore settings 9600,n,8,1: ok")) << recorder.all();
}

}  // namespace
}  // namespace orva::testing
