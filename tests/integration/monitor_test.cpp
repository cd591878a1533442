// orva-monitor as a user runs it: one test for each fault found in a first
// careful use, grouped by what the user was doing.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

#include <QDir>
#include <QRegularExpression>
#include <QSerialPort>
#include <QTemporaryDir>

#include "tests/support/event_loop.h"
#include "tool_process.h"

namespace orva::testing {
namespace {

void writeFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write(text);
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return {};
    return file.readAll();
}

QJsonObject firstEvent(const std::vector<QJsonObject>& lines, const QString& event) {
    for (const auto& line : lines)
        if (line["event"].toString() == event) return line;
    return {};
}

// --- the properties file ---------------------------------------------------

TEST(MonitorProperties, ADeviceIsRefusedAndNeverReplaced) {
    QTemporaryDir dir;
    const QString device = dir.path() + "/null";
    if (::mknod(device.toLocal8Bit().constData(), S_IFCHR | 0666, makedev(1, 3)) != 0)
        GTEST_SKIP() << "cannot make a device node here";
    const ToolRun run = runTool("orva-monitor", {"--simulate", "--json", "--cycles", "2", "--properties", device});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("is a character device")) << run.err.toStdString();
    EXPECT_EQ(countEvents(jsonObjects(run.out), "Decode"), 0) << "refused before polling";
    struct stat st{};
    ASSERT_EQ(::stat(device.toLocal8Bit().constData(), &st), 0);
    EXPECT_TRUE(S_ISCHR(st.st_mode));
}

TEST(MonitorProperties, AFifoIsRefusedAtOnce) {
    QTemporaryDir dir;
    const QString fifo = dir.path() + "/scale.props";
    ASSERT_EQ(::mkfifo(fifo.toLocal8Bit().constData(), 0600), 0);
    const ToolRun run = runTool("orva-monitor", {"--simulate", "--json", "--cycles", "2", "--properties", fifo}, 4000);
    ASSERT_TRUE(run.finished) << "hung opening the FIFO";
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("is a FIFO")) << run.err.toStdString();
}

TEST(MonitorProperties, LikelyMistakesInTheFileAreNamedWithTheirLine) {
    QTemporaryDir dir;
    const QString props = dir.path() + "/scale.props";
    // The file's text reaches the terminal escaped: no colour, no line of its own.
    writeFile(props, "decpoint = 2\nComNumber = \"COM2\\x1b[31m\\nforged\"\n");
    const ToolRun run = runTool("orva-monitor", {"--simulate", "--json", "--cycles", "2", "--properties", props});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains((props + ":1: decpoint is not DecPoint").toUtf8())) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains((props + ":2: ComNumber \"COM2\\x1b[31m\\x0aforged\" is not a port number").toUtf8()))
        << run.err.toStdString();
    EXPECT_FALSE(run.err.contains('\x1b'));
    EXPECT_FALSE(run.err.contains("\nforged"));
    EXPECT_EQ(countEvents(jsonObjects(run.out), "Warning"), 2) << run.out.toStdString();
}

// --- ports -----------------------------------------------------------------

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

// A port that cannot be opened says why, once, in the JSON lines.
TEST(MonitorPorts, AClosedPortSaysWhyOnce) {
    QTemporaryDir dir;
    writeFile(dir.path() + "/file", "");
    QDir(dir.path()).mkdir("folder");
    sim::PseudoTerminal held;
    QSerialPort holder(QString::fromStdString(held.slavePath()));
    ASSERT_TRUE(holder.open(QIODevice::ReadWrite));

    const std::vector<std::pair<QString, QString>> cases = {
        {dir.path() + "/missing", "no such device"},
        {dir.path() + "/file", "not a serial device"},
        {dir.path() + "/folder", "not a serial device"},
        {QString::fromStdString(held.slavePath()), "in use by another program"},
    };
    for (const auto& [path, reason] : cases) {
        SCOPED_TRACE(path.toStdString());
        const ToolRun run = runTool("orva-monitor", {"--json", "--cycles", "4", "--com", "1=" + path});
        ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
        const auto lines = jsonObjects(run.out);
        EXPECT_EQ(countEvents(lines, "Port"), 1) << run.out.toStdString();
        const QJsonObject port = firstEvent(lines, "Port");
        EXPECT_FALSE(port["open"].toBool(true));
        EXPECT_EQ(port["reason"].toString(), reason);
    }
}

TEST(MonitorPorts, APortThisUserMayNotOpenSaysWhatWouldHelp) {
    sim::PseudoTerminal pty;
    ASSERT_EQ(::chmod(pty.slavePath().c_str(), 0), 0);  // kept from its owner too, unless root
    ToolSetup setup;
    setup.asNobody = ::geteuid() == 0;
    const ToolRun run = runTool("orva-monitor", {"--json", "--cycles", "3", "--com", "1=" + QString::fromStdString(pty.slavePath())},
                                8000, setup);
    if (run.exitCode == 126) GTEST_SKIP() << "cannot run as user 65534 here";
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    // Mode 0: joining the device's group would not help, and the advice says so.
    const QString reason = firstEvent(jsonObjects(run.out), "Port")["reason"].toString();
    EXPECT_TRUE(reason.startsWith("permission denied: " + QString::fromStdString(pty.slavePath()) + " is ")) << run.out.toStdString();
    EXPECT_TRUE(reason.endsWith(" 0000; only root can open it (a udev rule can give it a group to join)")) << run.out.toStdString();
}

TEST(MonitorPorts, TheListSaysWhetherEachDeviceCanBeOpenedAndHonoursJson) {
    ToolSetup setup;
    setup.asNobody = ::geteuid() == 0;
    const ToolRun run = runTool("orva-monitor", {"--list-ports", "--json"}, 8000, setup);
    if (run.exitCode == 126) GTEST_SKIP() << "cannot run as user 65534 here";
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    if (run.out.isEmpty()) GTEST_SKIP() << "no serial devices on this machine";
    for (const QByteArray& line : run.out.split('\n')) {
        if (line.isEmpty()) continue;
        QJsonParseError error{};
        const QJsonObject device = QJsonDocument::fromJson(line, &error).object();
        ASSERT_EQ(error.error, QJsonParseError::NoError) << line.toStdString();
        ASSERT_TRUE(device["usable"].isBool()) << line.toStdString();
        struct stat st{};
        const QByteArray path = device["path"].toString().toLocal8Bit();
        // User 65534 may open only a device open to everyone.
        if (setup.asNobody && ::stat(path.constData(), &st) == 0 && (st.st_mode & 0006) != 0006) {
            EXPECT_FALSE(device["usable"].toBool()) << line.toStdString();
            EXPECT_TRUE(device["reason"].toString().startsWith("permission denied")) << line.toStdString();
        }
    }
}

TEST(MonitorPorts, ADevicePathWhereAPortNumberBelongsPointsAtCom) {
    for (const QStringList& arguments : {QStringList{"/dev/ttyUSB0"}, QStringList{"--port", "/dev/ttyUSB0"}}) {
        const ToolRun run = runTool("orva-monitor", arguments);
        EXPECT_EQ(run.exitCode, 2);
        EXPECT_TRUE(run.err.split('\n').first().contains("--com 1=/dev/ttyUSB0")) << run.err.toStdString();
    }
}

// --- output and exit status ------------------------------------------------

TEST(MonitorOutput, AFullStandardOutputEndsWithAMessageAndStatus1) {
    for (const QStringList& mode : {QStringList{"--json"}, QStringList{}}) {
        ToolSetup setup;
        setup.stdoutFile = "/dev/full";
        const ToolRun run = runTool("orva-monitor", QStringList{"--simulate"} + mode, 3000, setup);
        ASSERT_TRUE(run.finished) << "went on polling unheard";
        EXPECT_EQ(run.exitCode, 1) << mode.join(' ').toStdString();
        EXPECT_TRUE(run.err.contains("cannot write to standard output: No space left on device")) << run.err.toStdString();
    }
}

// --- the command line ------------------------------------------------------

TEST(MonitorOptions, MistakesAreUsageErrorsBeforeAnythingStarts) {
    struct Case {
        QStringList arguments;
        QByteArray message;
    };
    const std::vector<Case> cases = {
        {{"--simulate", "--settings", "abc"}, "--settings takes baud,parity,data,stop"},
        {{"--simulate", "--properties", "--cycles", "2"}, "--properties needs a value, not the option --cycles"},
        {{"--simulate", "--log", "--json"}, "--log needs a value, not the option --json"},
        {{"--simulate", "--timeout", "3"}, "--now and --timeout go with --once"},
        // A word after --simulate is its format, and a wrong one names the right ones.
        {{"--simulate", "orva3", "--cycles", "2"}, "--simulate takes orva1 or orva2 (--simulate=orva2), not \"orva3\""},
    };
    for (const auto& c : cases) {
        const ToolRun run = runTool("orva-monitor", c.arguments, 4000);
        EXPECT_EQ(run.exitCode, 2) << c.arguments.join(' ').toStdString();
        EXPECT_TRUE(run.err.contains(c.message)) << run.err.toStdString();
    }
}

TEST(MonitorOptions, SimulateTakesItsFormatAsTheNextWord) {
    const ToolRun run = runTool("orva-monitor", {"--simulate", "orva2", "--json", "--cycles", "3"});
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_TRUE(run.out.contains("\"TipTerminal\":\"ORVA-2\"")) << run.out.toStdString();
}

TEST(MonitorOptions, HelpNamesEveryOptionAndTheLamps) {
    const ToolRun run = runTool("orva-monitor", {"--help"});
    EXPECT_EQ(run.exitCode, 0);
    for (const char* text : {"--simulate", "--port", "--settings", "--dec-point", "--min-fix", "--properties", "--com",
                             "--list-ports", "--json", "--log", "--log-all", "--cycles", "--once", "--now",
                             "--timeout", "--version", "--help", ">0<", "  Ok ", "  T ", "  Max ", "Stability lamps"})
        EXPECT_TRUE(run.out.contains(text)) << text;
}

// --- the terminal view -----------------------------------------------------

// The monitor on a terminal of the given width; what it drew, without colours.
QStringList drawnLines(unsigned short columns, const QStringList& extra) {
    sim::PseudoTerminal terminal;
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 30;
    ::ioctl(terminal.master(), TIOCSWINSZ, &size);
    ToolSetup setup;
    setup.stdoutFile = QString::fromStdString(terminal.slavePath());
    const ToolRun run = runTool("orva-monitor", QStringList{"--simulate", "--cycles", "6"} + extra, 8000, setup);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    QByteArray drawn;
    const int flags = ::fcntl(terminal.master(), F_GETFL);
    ::fcntl(terminal.master(), F_SETFL, flags | O_NONBLOCK);
    char buffer[4096];
    for (ssize_t n; (n = ::read(terminal.master(), buffer, sizeof buffer)) > 0;) drawn.append(buffer, n);
    QString text = QString::fromUtf8(drawn);
    text.remove(QRegularExpression("\x1b\\[[0-9;?]*[A-Za-z]"));
    text.remove('\a');
    text.remove('\r');
    return text.split('\n');
}

TEST(MonitorTerminal, EveryLineFitsANarrowTerminal) {
    // A settings text the simulated line refuses brings the long messages.
    const QStringList lines = drawnLines(40, {"--settings", "4800,e,7,1"});
    ASSERT_GT(lines.size(), 20);
    for (const QString& line : lines) EXPECT_LE(line.size(), 39) << line.toStdString();
}

TEST(MonitorTerminal, AfterAResizeTheViewIsDrawnAnewAtTheNewWidth) {
    sim::PseudoTerminal terminal;
    auto setWidth = [&](unsigned short columns) {
        winsize size{};
        size.ws_col = columns;
        size.ws_row = 30;
        ::ioctl(terminal.master(), TIOCSWINSZ, &size);
    };
    setWidth(120);
    QProcess monitor;
    monitor.setStandardOutputFile(QString::fromStdString(terminal.slavePath()));
    monitor.start(kTools + "/orva-monitor", {"--simulate", "--settings", "4800,e,7,1"});
    ASSERT_TRUE(monitor.waitForStarted());
    QByteArray drawn;
    auto drain = [&] {
        char buffer[4096];
        for (ssize_t n; (n = ::read(terminal.master(), buffer, sizeof buffer)) > 0;) drawn.append(buffer, n);
    };
    ::fcntl(terminal.master(), F_SETFL, ::fcntl(terminal.master(), F_GETFL) | O_NONBLOCK);
    runUntil([&] { drain(); return false; }, 1500);
    const qsizetype before = drawn.size();
    setWidth(40);
    ::kill(static_cast<pid_t>(monitor.processId()), SIGWINCH);
    runUntil([&] { drain(); return false; }, 1500);
    monitor.terminate();
    ASSERT_TRUE(monitor.waitForFinished(3000));
    drain();

    const QByteArray after = drawn.mid(before);
    const qsizetype clear = after.indexOf("\x1b[H\x1b[2J");
    ASSERT_GE(clear, 0) << "not drawn anew after the resize";
    QString text = QString::fromUtf8(after.mid(clear));
    text.remove(QRegularExpression("\x1b\\[[0-9;?]*[A-Za-z]"));
    text.remove('\a');
    text.remove('\r');
    for (const QString& line : text.split('\n')) EXPECT_LE(line.size(), 39) << line.toStdString();
}

TEST(MonitorTerminal, TheControlsMessagesAreGlossedInEnglish) {
    const QString all = drawnLines(250, {"--settings", "4800,e,7,1"}).join('\n');
    EXPECT_TRUE(all.contains("сом порт: 9600,n,8,1 [port settings in force]")) << all.toStdString();
    EXPECT_TRUE(all.contains("[the port refused the new number or settings")) << all.toStdString();
}

// --- the log of weighings --------------------------------------------------

const QRegularExpression kLogLine(R"(^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}[+-]\d\d:\d\d,1,-?[0-9.]+,kg,[@A-O]$)");

TEST(MonitorLog, SettledWeightsAreLoggedOneLineEach) {
    QTemporaryDir dir;
    const QString log = dir.path() + "/weighings.csv";
    const ToolRun run = runTool("orva-monitor", {"--simulate", "--json", "--cycles", "22", "--log", log}, 15000);
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QStringList lines = QString::fromUtf8(readFile(log)).split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(lines.size(), 2) << readFile(log).toStdString();
    EXPECT_EQ(lines[0], "time,port,weight,unit,status");
    EXPECT_EQ(lines.size() - 1, countEvents(jsonObjects(run.out), "StabVes"));
    EXPECT_TRUE(kLogLine.match(lines[1]).hasMatch()) << lines[1].toStdString();
    EXPECT_TRUE(lines[1].endsWith(",1,12.5,kg,B")) << lines[1].toStdString();
}

TEST(MonitorLog, SighupReopensTheLogForARotator) {
    QTemporaryDir dir;
    const QString log = dir.path() + "/weighings.csv";
    QProcess monitor;
    monitor.start(kTools + "/orva-monitor", {"--simulate", "--json", "--log", log, "--log-all"});
    ASSERT_TRUE(monitor.waitForStarted());
    auto lineCount = [&](const QString& path) { return readFile(path).count('\n'); };
    ASSERT_TRUE(runUntil([&] { return lineCount(log) >= 3; }, 5000));
    ASSERT_TRUE(QFile::rename(log, log + ".1"));
    ::kill(static_cast<pid_t>(monitor.processId()), SIGHUP);
    EXPECT_TRUE(runUntil([&] { return lineCount(log) >= 2; }, 5000)) << "no new log after SIGHUP";
    monitor.terminate();
    ASSERT_TRUE(monitor.waitForFinished(3000));
    EXPECT_EQ(monitor.exitCode(), 0);
    const QStringList fresh = QString::fromUtf8(readFile(log)).split('\n', Qt::SkipEmptyParts);
    ASSERT_GE(fresh.size(), 2);
    EXPECT_EQ(fresh[0], "time,port,weight,unit,status");
    EXPECT_TRUE(kLogLine.match(fresh[1]).hasMatch()) << fresh[1].toStdString();
}

TEST(MonitorLog, ALogThatCannotBeWrittenEndsTheMonitor) {
    const ToolRun run = runTool("orva-monitor", {"--simulate", "--json", "--log", "/dev/full", "--log-all"}, 5000);
    ASSERT_TRUE(run.finished);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.err.contains("/dev/full: cannot write the log")) << run.err.toStdString();
}

// --- one weight for a script -----------------------------------------------

TEST(MonitorOnce, PrintsTheNextSettledWeightAndExits) {
    const ToolRun run = runTool("orva-monitor", {"--once", "--simulate"}, 15000);
    EXPECT_EQ(run.exitCode, 0) << run.err.toStdString();
    EXPECT_EQ(run.out, "12.5\n");

    const ToolRun now = runTool("orva-monitor", {"--once", "--now", "--simulate", "--json"});
    EXPECT_EQ(now.exitCode, 0) << now.err.toStdString();
    const auto lines = jsonObjects(now.out);
    ASSERT_EQ(lines.size(), 1u) << now.out.toStdString();
    EXPECT_EQ(lines[0]["weight"].toDouble(-1), 0);
    EXPECT_EQ(lines[0]["unit"].toString(), "kg");
    // An event of its own: the JSON lines' StabVes has another shape.
    EXPECT_EQ(lines[0]["event"].toString(), "Weight");
    EXPECT_FALSE(lines[0]["settled"].toBool(true));
}

TEST(MonitorOnce, ATimeoutExits1WithTheReason) {
    const ToolRun run = runTool("orva-monitor", {"--once", "--timeout", "1", "--com", "1=/nonexistent/scale"}, 5000);
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(run.out.isEmpty());
    EXPECT_TRUE(run.err.contains("no settled weight within 1 s")) << run.err.toStdString();
    EXPECT_TRUE(run.err.contains("closed: no such device")) << run.err.toStdString();

    // With --json a script reading standard output gets the reason there too.
    const ToolRun json = runTool("orva-monitor", {"--once", "--json", "--timeout", "1", "--com", "1=/nonexistent/scale"}, 5000);
    EXPECT_EQ(json.exitCode, 1);
    const auto lines = jsonObjects(json.out);
    ASSERT_EQ(lines.size(), 1u) << json.out.toStdString();
    EXPECT_EQ(lines[0]["event"].toString(), "NoWeight");
    EXPECT_TRUE(lines[0]["reason"].toString().startsWith("no settled weight within 1 s; port 1 closed: no such device"))
        << json.out.toStdString();
}

// The port's reason has one form everywhere: null while open.
TEST(MonitorPorts, AnOpenPortsReasonIsNull) {
    const ToolRun run = runTool("orva-monitor", {"--simulate", "--json", "--cycles", "2"});
    ASSERT_EQ(run.exitCode, 0) << run.err.toStdString();
    const QJsonObject port = firstEvent(jsonObjects(run.out), "Port");
    EXPECT_TRUE(port["open"].toBool(false)) << run.out.toStdString();
    EXPECT_TRUE(port.contains("reason") && port["reason"].isNull()) << run.out.toStdString();
}

}  // namespace
}  // namespace orva::testing
