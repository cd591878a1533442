// The wire trace of the Windows control: ORVA_TRACE names the file at
// creation; a control created without it writes nothing.

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "tests/wine/host_support.h"

namespace {

std::string fileText(const std::wstring& path) {
    std::ifstream in(path.c_str(), std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

std::wstring tracePath() {
    wchar_t dir[MAX_PATH] = {};
    ::GetTempPathW(MAX_PATH, dir);
    return std::wstring(dir) + L"orva_trace_test.log";
}

TEST(WireTrace, TheEnvironmentNamesTheFileAndItTellsWhatTheControlDid) {
    if (!host::settings().liveTerminal) GTEST_SKIP() << "no terminal on COM1";
    const std::wstring path = tracePath();
    ::DeleteFileW(path.c_str());
    host::setTerminalWeight("  3.500");
    ::SetEnvironmentVariableW(L"ORVA_TRACE", path.c_str());
    {
        auto control = host::createControl();
        ::SetEnvironmentVariableW(L"ORVA_TRACE", nullptr);
        ASSERT_TRUE(control);
        host::pumpUntil([&] { return fileText(path).find("event ChangeVes(3.5)") != std::string::npos; }, 5000);
    }
    const std::string trace = fileText(path);
    EXPECT_NE(trace.find("open port 1 9600,n,8,1: ok"), std::string::npos) << trace;
    EXPECT_NE(trace.find("send \"\\n\": ok"), std::string::npos) << trace;
    EXPECT_NE(trace.find("recv 14 bytes \"\\x02WW  3.500kg\\r\\n\""), std::string::npos) << trace;
    EXPECT_NE(trace.find("decode ORVA-1 weight 3.5"), std::string::npos) << trace;
    EXPECT_NE(trace.find("event ChangeVes(3.5)"), std::string::npos) << trace;
    EXPECT_NE(trace.find(" control@"), std::string::npos) << "each line names its instance:\n" << trace;

    // Without the variable (and no registry value) a new control traces nothing.
    const std::size_t before = trace.size();
    {
        auto control = host::createControl();
        host::pumpFor(900);
    }
    EXPECT_EQ(fileText(path).size(), before);
    ::DeleteFileW(path.c_str());
}

}  // namespace
