// The simulator's script, request by request, as a port sees its answers.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "platform/qt/qt_serial_port.h"
#include "tests/support/event_loop.h"
#include "tests/support/terminal_on_pty.h"

namespace orva::testing {
namespace {

class ScriptedTerminal : public ::testing::Test, protected TerminalOnPty {
protected:
    ScriptedTerminal() : TerminalOnPty(quickReplies()) {}
    void start(const std::string& script) {
        startTerminal(script);
        port = std::make_unique<qt::QtSerialPort>(map);
        port->setPortOpen(true);
    }
    // One request and what came back within 60 ms.
    std::string ask() {
        port->Output("\n");
        runFor(60);
        return port->Input();
    }
    static std::string frame(const char* field) { return std::string("\x02WW") + field + "kg\r\n"; }

    std::unique_ptr<qt::QtSerialPort> port;
};

TEST_F(ScriptedTerminal, CommandsShapeTheAnswersInOrder) {
    start("weight 1\nhold 1\nsilent 1\ngarbage 1\nsettle 2 0.5 2\nsplit 4\nweight 3\nformat orva2\nhold 1\nquit\n");
    EXPECT_EQ(ask(), frame("    1.0"));
    EXPECT_EQ(ask(), "");  // silent
    const std::string garbage = ask();
    EXPECT_GE(garbage.size(), 8u);
    EXPECT_EQ(garbage.find("WW"), std::string::npos);
    for (int i = 0; i < 2; ++i) {  // settling around 2
        const std::string noisy = ask();
        ASSERT_EQ(noisy.size(), frame("    2.0").size()) << noisy;
        EXPECT_NEAR(std::stod(noisy.substr(3, 7)), 2.0, 0.5);
    }
    EXPECT_EQ(ask(), "\x02WW ");  // the split frame of 2, in two answers
    EXPECT_EQ(ask(), "   2.0kg\r\n");
    EXPECT_EQ(ask(), std::string("\x00\x03\x00\x00\x00\x00", 6));  // 3.0 as ORVA-2, one implied decimal
    // After the script ends the last weight is answered for ever.
    EXPECT_EQ(ask(), std::string("\x00\x03\x00\x00\x00\x00", 6));
}

TEST_F(ScriptedTerminal, ALoopRepeatsAndAScriptWithoutWaitsDoesNotSpin) {
    start("weight 4\nhold 1\nweight 5\nhold 1\nloop\n");
    EXPECT_EQ(ask(), frame("    4.0"));
    EXPECT_EQ(ask(), frame("    5.0"));
    EXPECT_EQ(ask(), frame("    4.0"));

    simulator.reset();
    port.reset();
    start("weight 6\nloop\n");  // nothing waits: the loop ends the script
    EXPECT_EQ(ask(), frame("    6.0"));
}

}  // namespace
}  // namespace orva::testing

namespace orva::testing {
namespace {

TEST(DeviceLinkSafety, AnExistingFileThatIsNoLinkIsNeverReplaced) {
    QTemporaryDir dir;
    const std::string path = (dir.path() + "/notes.txt").toStdString();
    {
        QFile file(QString::fromStdString(path));
        ASSERT_TRUE(file.open(QIODevice::WriteOnly));
        file.write("keep me");
    }
    sim::SimulatorOptions options;
    options.linkPath = path;
    sim::TerminalSimulator simulator(options);
    EXPECT_THROW(simulator.start(), std::runtime_error);
    QFile file(QString::fromStdString(path));
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    EXPECT_EQ(file.readAll(), "keep me");
}

}  // namespace
}  // namespace orva::testing
