// An ORVA-2 terminal on COM1 (a pseudo-terminal) whose answers are not
// always one whole frame: a stray byte before a frame, two frames at once, a
// frame that pauses halfway for longer than a poll cycle, a frame and a half
// and then the rest. Read as six digits from wherever the read began, these
// gave 1234.5 and 3450.12 for a terminal that only ever sent 123.45; the
// control raises no event for a weight the terminal did not send, and the
// load settles once.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "control/ocx/dispids.h"
#include "tests/wine/host_support.h"

namespace {

using namespace host;

std::wstring tracePath() {
    wchar_t dir[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + L"orva_split_stream.log";
}

std::string fileText(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

TEST(SplitOrva2Stream, NoEventCarriesAWeightTheTerminalDidNotSend) {
    if (!settings().liveTerminal) GTEST_SKIP() << "no terminal on COM1";
    const std::string frame = "050403020100";  // 123.45 with DecPoint 2
    const std::string answers = "#answers " + frame + " " + frame + " 00" + frame + " " + frame + " " + frame +
                                " " + frame + frame + " " + frame + " 050403/020100 " + frame + " " + frame +
                                " " + frame + "050403 020100" + frame + " " + frame + " " + frame;
    setTerminalWeight(answers);
    // The wire trace shows what each read held, should a check fail.
    const std::wstring trace = tracePath();
    ::DeleteFileW(trace.c_str());
    ::SetEnvironmentVariableW(L"ORVA_TRACE", trace.c_str());
    auto control = createControl();
    ::SetEnvironmentVariableW(L"ORVA_TRACE", nullptr);
    ASSERT_TRUE(control);
    ASSERT_EQ(S_OK, control->put_DecPoint(2));
    auto* sink = new EventSink;
    Connection connection(control.get(), DIID___ActivexORVA, sink);
    ASSERT_EQ(S_OK, connection.status());

    pumpFor(14000);  // the script once over, with the cycles it holds back
    setTerminalWeight("");

    int changes = 0;
    int stable = 0;
    for (const Event& e : sink->events) {
        if (e.id != DISPID_ORVA_ChangeVes && e.id != DISPID_ORVA_StabVes) continue;
        ASSERT_EQ(e.values.size(), 1u);
        EXPECT_EQ(e.values[0], 123.45) << (e.id == DISPID_ORVA_StabVes ? "StabVes" : "ChangeVes") << "\n"
                                       << fileText(trace);
        (e.id == DISPID_ORVA_StabVes ? stable : changes) += 1;
    }
    EXPECT_GE(changes, 3);  // read again after each odd answer
    EXPECT_EQ(stable, 1);   // one load all along
    // The odd answers did reach the control, and were refused.
    const std::string text = fileText(trace);
    EXPECT_NE(text.find("the read may not begin where a frame begins"), std::string::npos) << text;
    EXPECT_NE(text.find("send held back one poll"), std::string::npos) << text;
    sink->Release();
}

}  // namespace
