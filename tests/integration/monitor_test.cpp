// orva-monitor as a user runs it, one test per fault found in first use.

#include <gtest/gtest.h>

#include <QTemporaryDir>

#include "tool_process.h"

namespace orva::testing {
namespace {

void writeFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

// The port given on the command line, or in the document, is the only one
// opened: port 1 is never opened, configured or written to, and there is no
// reconfiguration at start.
TEST(MonitorPorts, OnlyTheConfiguredPortIsOpened) {
    for (const bool fromDocument : {false, true}) {
        SCOPED_TRACE(fromDocument ? "ComNumber from the document" : "--port");
        UntouchedDevice port1;
        QTemporaryDir dir;
        const QString props = dir.path() + "/scale.props";
        writeFile(props, fromDocument ? "ComNumber = \"2\"\nComSetting = \"19200,n,8,1\"\n" : "");
        QStringList arguments{"--simulate", "--json", "--cycles", "4", "--com", "1=" + port1.path(), "--properties", props};
        if (!fromDocument) arguments << "--port" << "2" << "--settings" << "4800,n,8,2";
        const ToolRun run = runTool("orva-monitor", arguments);
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        const auto lines = jsonObjects(run.out);
        EXPECT_EQ(countEvents(lines, "Beep"), 0) << run.out.toStdString();
        EXPECT_EQ(countEvents(lines, "Message"), 0) << run.out.toStdString();
        EXPECT_TRUE(run.out.contains("\"TipTerminal\":\"ORVA-1\"")) << run.out.toStdString();
        EXPECT_FALSE(port1.written());
        EXPECT_FALSE(port1.reconfigured());
    }
}

}  // namespace
}  // namespace orva::testing
