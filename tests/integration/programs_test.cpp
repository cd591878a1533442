// orva-panel, orva-demo and orva-sim as a user runs them: one test for each
// fault found in a first careful use.

#include <gtest/gtest.h>

#include <QRegularExpression>
#include <QTemporaryDir>

#include "tool_process.h"

namespace orva::testing {
namespace {

ToolSetup offscreen() {
    ToolSetup setup;
    setup.environment << "QT_QPA_PLATFORM=offscreen";
    return setup;
}

QByteArray head(const QString& path, int bytes) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.read(bytes);
}

TEST(PanelProgram, WithoutADisplayItSaysSoInOneLine) {
    ToolSetup setup;
    setup.environment << "-DISPLAY" << "-WAYLAND_DISPLAY" << "-QT_QPA_PLATFORM";
    const ToolRun run = runTool("orva-panel", {"--simulate", "--cycles", "2"}, 5000, setup);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.err.count('\n'), 1) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("no display")) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("QT_QPA_PLATFORM=offscreen")) << run.err.toStdString();
}

// A virtual or offscreen display lacks what a window manager would do with
// size hints, and a bare session has no runtime folder: neither is a fault,
// and neither may read like one. Real warnings still get through.
TEST(PanelProgram, AVirtualDisplayBringsNoToolkitNotes) {
    QTemporaryDir dir;
    for (const char* platform : {"offscreen", "minimal"}) {
        ToolSetup setup;
        setup.environment << QString("QT_QPA_PLATFORM=") + platform << "-XDG_RUNTIME_DIR";
        const ToolRun run = runTool("orva-panel", {"--simulate", "--cycles", "3", "--snapshot", dir.path() + "/a.png"}, 8000, setup);
        EXPECT_EQ(run.exitCode, 0) << platform << ": " << run.err.toStdString();
        EXPECT_EQ(run.err, "") << platform;
    }
    ToolSetup wrong;
    wrong.environment << "QT_QPA_PLATFORM=offscreen" << "QT_STYLE_OVERRIDE=nonexistent";
    const ToolRun run = runTool("orva-panel", {"--simulate", "--cycles", "2"}, 8000, wrong);
    EXPECT_TRUE(run.err.contains("invalid style override")) << run.err.toStdString();
}

TEST(PanelProgram, TheSnapshotFollowsTheExtensionAndAFailureIsStatus1) {
    QTemporaryDir dir;
    const ToolRun png = runTool("orva-panel", {"--simulate", "--cycles", "2", "--snapshot", dir.path() + "/a.png"}, 8000, offscreen());
    EXPECT_EQ(png.exitCode, 0) << png.err.toStdString();
    EXPECT_EQ(head(dir.path() + "/a.png", 4), QByteArray("\x89PNG"));
    const ToolRun jpg = runTool("orva-panel", {"--simulate", "--cycles", "2", "--snapshot", dir.path() + "/a.jpg"}, 8000, offscreen());
    EXPECT_EQ(jpg.exitCode, 0) << jpg.err.toStdString();
    EXPECT_EQ(head(dir.path() + "/a.jpg", 2), QByteArray("\xff\xd8"));

    const ToolRun unknown = runTool("orva-panel", {"--simulate", "--cycles", "2", "--snapshot", dir.path() + "/a.pnx"}, 8000, offscreen());
    EXPECT_EQ(unknown.exitCode, 2);
    EXPECT_TRUE(unknown.err.contains("names no picture format")) << unknown.err.toStdString();

    const ToolRun unwritable = runTool("orva-panel", {"--simulate", "--cycles", "2", "--snapshot", "/nonexistent/x.png"}, 8000, offscreen());
    EXPECT_EQ(unwritable.exitCode, 1);
    EXPECT_TRUE(unwritable.err.contains("cannot save /nonexistent/x.png")) << unwritable.err.toStdString();
}

TEST(PanelProgram, HelpNamesEveryOptionAndTheLamps) {
    const ToolRun run = runTool("orva-panel", {"--help"}, 5000, offscreen());
    EXPECT_EQ(run.exitCode, 0);
    for (const char* text : {"--simulate", "--port", "--settings", "--dec-point", "--min-fix", "--properties", "--com",
                             "--list-ports", "--json", "--log", "--log-all", "--cycles", "--snapshot", "--version",
                             "--help", ">0<", "  Ok ", "  T ", "  Max ", "Stability lamps"})
        EXPECT_TRUE(run.out.contains(text)) << text;
    EXPECT_FALSE(run.out.contains("--once"));
}

TEST(DemoProgram, HelpAnswersInsteadOfRunning) {
    const ToolRun help = runTool("orva-demo", {"--help"});
    EXPECT_EQ(help.exitCode, 0);
    EXPECT_TRUE(help.out.startsWith("usage: orva-demo")) << help.out.toStdString();
    EXPECT_FALSE(help.out.contains("ChangeVes(")) << "ran the demo";
    const ToolRun wrong = runTool("orva-demo", {"--fast"});
    EXPECT_EQ(wrong.exitCode, 2);
    EXPECT_TRUE(wrong.out.isEmpty());
}

TEST(EveryProgram, TellsItsVersion) {
    for (const QString program : {"orva-monitor", "orva-panel", "orva-sim", "orva-demo"}) {
        const ToolRun run = runTool(program, {"--version"}, 5000, offscreen());
        EXPECT_EQ(run.exitCode, 0) << program.toStdString();
        EXPECT_TRUE(QRegularExpression("^" + program + " \\d+\\.\\d+(\\.\\d+)?\n$").match(QString::fromUtf8(run.out)).hasMatch())
            << run.out.toStdString();
    }
}

}  // namespace
}  // namespace orva::testing
