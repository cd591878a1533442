// The wire trace of the Windows control: ORVA_TRACE names the file at
// creation; a control created without it writes nothing. A request the
// control does not carry out leaves a line naming it and the answer given.

#include <gtest/gtest.h>

#include <fstream>
#include <functional>
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

// One request of each kind a host may make that the control answers without
// carrying it out: not implemented, or nothing to do for a panel without input.
using Control = host::ComPtr<_ActivexORVA>;
struct UnsupportedRequest {
    const char* line;
    HRESULT answer;
    std::function<HRESULT(const Control&)> make;
};

TEST(WireTrace, ARequestTheControlDoesNotCarryOutLeavesItsLine) {
    const UnsupportedRequest requests[] = {
        {"com IOleObject::SetMoniker not carried out: E_NOTIMPL", E_NOTIMPL,
         [](const Control& c) { return c.as<IOleObject>(IID_IOleObject)->SetMoniker(OLEWHICHMK_OBJREL, nullptr); }},
        {"com IOleObject::SetHostNames not carried out: S_OK", S_OK,
         [](const Control& c) { return c.as<IOleObject>(IID_IOleObject)->SetHostNames(L"host", L"panel"); }},
        {"com IOleControl::OnMnemonic not carried out: E_NOTIMPL", E_NOTIMPL,
         [](const Control& c) { return c.as<IOleControl>(IID_IOleControl)->OnMnemonic(nullptr); }},
        {"com IViewObject::GetColorSet not carried out: S_FALSE", S_FALSE,
         [](const Control& c) {
             LOGPALETTE* colours = nullptr;
             return c.as<IViewObject2>(IID_IViewObject2)
                 ->GetColorSet(DVASPECT_CONTENT, -1, nullptr, nullptr, nullptr, &colours);
         }},
        {"com IConnectionPoint::EnumConnections not carried out: E_NOTIMPL", E_NOTIMPL,
         [](const Control& c) {
             host::ComPtr<IConnectionPoint> point;
             const HRESULT found = c.as<IConnectionPointContainer>(IID_IConnectionPointContainer)
                                       ->FindConnectionPoint(DIID___ActivexORVA, point.out());
             if (FAILED(found)) return found;
             IEnumConnections* connections = nullptr;
             return point->EnumConnections(&connections);
         }},
    };
    const std::wstring path = tracePath();
    ::DeleteFileW(path.c_str());
    ::SetEnvironmentVariableW(L"ORVA_TRACE", path.c_str());
    auto control = host::createControl();
    ::SetEnvironmentVariableW(L"ORVA_TRACE", nullptr);
    ASSERT_TRUE(control);
    for (const auto& request : requests) {
        EXPECT_EQ(request.make(control), request.answer) << request.line;
        EXPECT_NE(fileText(path).find(request.line), std::string::npos) << request.line << "\n" << fileText(path);
    }
    // A request the control carries out leaves no such line.
    SIZEL extent{};
    EXPECT_EQ(control.as<IOleObject>(IID_IOleObject)->GetExtent(DVASPECT_CONTENT, &extent), S_OK);
    EXPECT_EQ(fileText(path).find("IOleObject::GetExtent"), std::string::npos);
    control = {};
    ::DeleteFileW(path.c_str());
}

}  // namespace
