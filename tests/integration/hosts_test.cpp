// The programs as a user runs them: orva-monitor's JSON lines, its
// properties file across a SIGTERM and a corrupt one, and orva-sim answering
// a port on its own.

#include <gtest/gtest.h>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>

#include "platform/qt/port_map.h"
#include "platform/qt/qt_serial_port.h"
#include "tests/support/event_loop.h"

namespace orva::testing {
namespace {

const QString kTools = QStringLiteral(ORVA_TOOLS_DIR);

std::vector<QJsonObject> jsonLines(const QByteArray& output) {
    std::vector<QJsonObject> lines;
    for (const QByteArray& line : output.split('\n')) {
        if (line.isEmpty()) continue;
        QJsonParseError error{};
        const auto doc = QJsonDocument::fromJson(line, &error);
        EXPECT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        EXPECT_TRUE(doc.isObject()) << line.toStdString();
        lines.push_back(doc.object());
    }
    return lines;
}

void writeFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    EXPECT_TRUE(file.open(QIODevice::ReadOnly));
    return file.readAll();
}

TEST(Monitor, JsonLinesCarryEventsDecodesAndNotifications) {
    QProcess monitor;
    monitor.start(kTools + "/orva-monitor", {"--simulate", "--json", "--cycles", "4", "--min-fix", "100"});
    ASSERT_TRUE(monitor.waitForFinished(8000));
    EXPECT_EQ(monitor.exitCode(), 0) << monitor.readAllStandardError().toStdString();
    const QByteArray out = monitor.readAllStandardOutput();
    const auto lines = jsonLines(out);
    ASSERT_GE(lines.size(), 5u);

    EXPECT_EQ(lines[0]["event"].toString(), "PropertyChanged");
    EXPECT_EQ(lines[0]["name"].toString(), "MinFixVes");
    EXPECT_EQ(lines[1]["event"].toString(), "Port");
    EXPECT_TRUE(lines[1]["open"].toBool());
    int decodes = 0;
    for (const auto& line : lines) {
        ASSERT_TRUE(line["t_ms"].isDouble());
        EXPECT_EQ(line["t_ms"].toDouble(), static_cast<double>(line["t_ms"].toInteger()));
        if (line["event"].toString() != "Decode") continue;
        ++decodes;
        EXPECT_EQ(line.keys().size(), 12);
        EXPECT_EQ(line["Shape1"].toArray().size(), 3);
        EXPECT_EQ(line["Shape2"].toArray().size(), 4);
    }
    EXPECT_EQ(decodes, 4);
    // The third decode reads the simulated terminal's first answer: an empty scale.
    EXPECT_TRUE(out.contains(R"("event":"VesStatus","VesNul":1,"VesOk":0,"VesTara":0,"VesMax":0})")) << out.toStdString();
    EXPECT_TRUE(out.contains(R"("event":"Decode","Frame1":"ORVA-1","Label2":"0","Label3":"kg","Shape1":[255,255,255],"Shape2":[65280,2147483653,2147483653,2147483653],"VesTerminal":" 0","TipTerminal":"ORVA-1","StatusTerminal":"A","UnitWeight":"kg"})"))
        << out.toStdString();
}

TEST(Monitor, PropertiesFileIsLoadedAndSavedOnSigterm) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/scale.props";
    writeFile(path, "# a saved scale\nDecPoint = 2\nComSetting = \"9600,n,8,1\"\nLabelled = \"kept\"\n");
    QProcess monitor;
    monitor.start(kTools + "/orva-monitor", {"--simulate", "--json", "--properties", path, "--min-fix", "120"});
    ASSERT_TRUE(monitor.waitForStarted());
    runUntil([&] { return monitor.canReadLine() && monitor.peek(1 << 16).contains("\"ORVA-1\""); }, 3000);
    monitor.terminate();  // SIGTERM
    ASSERT_TRUE(monitor.waitForFinished(3000));
    EXPECT_EQ(monitor.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(monitor.exitCode(), 0);

    const QByteArray saved = readFile(path);
    EXPECT_TRUE(saved.contains("\nMinFixVes = 120\n")) << saved.toStdString();
    EXPECT_TRUE(saved.contains("\nDecPoint = 2\n")) << saved.toStdString();
    EXPECT_TRUE(saved.contains("\nTipTerminal = \"ORVA-1\"\n")) << saved.toStdString();
    EXPECT_TRUE(saved.contains("\nLabelled = \"kept\"\n")) << saved.toStdString();
}

TEST(Monitor, CorruptPropertiesStopWithAClearErrorAndLeaveTheFileAlone) {
    QTemporaryDir dir;
    const QString path = dir.path() + "/scale.props";
    const QByteArray original = "MinFixVes = 70\n\nDecPoint = two\nComNumber = \"1\"\n";
    writeFile(path, original);
    QProcess monitor;
    monitor.start(kTools + "/orva-monitor", {"--simulate", "--json", "--properties", path});
    ASSERT_TRUE(monitor.waitForFinished(5000));
    EXPECT_EQ(monitor.exitCode(), 1);
    const auto lines = jsonLines(monitor.readAllStandardOutput());
    ASSERT_FALSE(lines.empty());
    const QJsonObject& error = lines.back();
    EXPECT_EQ(error["event"].toString(), "Error");
    EXPECT_EQ(error["number"].toInt(), 13);
    EXPECT_TRUE(error["description"].toString().startsWith(path + ":3: DecPoint: Type mismatch"))
        << error["description"].toString().toStdString();
    EXPECT_EQ(readFile(path), original);
}

TEST(Simulator, StandaloneSimulatorAnswersARealPort) {
    QProcess simulator;
    simulator.start(kTools + "/orva-sim", {"--format", "orva2", "--weight", "7.5", "--delay", "5"});
    ASSERT_TRUE(simulator.waitForReadyRead(3000));
    const std::string path = simulator.readLine().trimmed().toStdString();
    ASSERT_EQ(path.rfind("/dev/", 0), 0u) << path;

    auto map = std::make_shared<qt::PortMap>();
    map->map(1, path);
    {
        qt::QtSerialPort port(map);
        port.setPortOpen(true);
        port.Output("\n");
        runUntil([&] { return false; }, 150);
        EXPECT_EQ(port.Input(), std::string("\x05\x07\x00\x00\x00\x00", 6));
    }
    simulator.terminate();
    ASSERT_TRUE(simulator.waitForFinished(3000));
    EXPECT_EQ(simulator.exitCode(), 0);
}

}  // namespace
}  // namespace orva::testing
