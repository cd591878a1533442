// The configuration file as the operator's: a save that cannot be written
// changes nothing (the file, the control), a file edited by hand keeps its
// edits, writes that would break a scale are refused, and the advice for a
// device this user may not open is advice that helps.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <memory>
#include <variant>

#include "hosts/durable_file.h"
#include "service/property_writer.h"
#include "service/scale_fleet.h"
#include "service/service_config.h"
#include "tests/support/file_size_limit.h"
#include "hosts/qt/port_state.h"
#include "simulator/pseudo_terminal.h"

namespace orva::service {
namespace {

class ConfigSave : public ::testing::Test {
protected:
    std::string path(const char* name = "scales.ini") { return (dir.path() + "/" + name).toStdString(); }
    void write(const std::string& file, const std::string& text) {
        QFile f(QString::fromStdString(file));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text.data(), static_cast<qint64>(text.size()));
    }
    std::string read(const std::string& file) {
        QFile f(QString::fromStdString(file));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return f.readAll().toStdString();
    }
    QStringList files() { return QDir(dir.path()).entryList(QDir::Files | QDir::Hidden); }
    QTemporaryDir dir;
};

TEST_F(ConfigSave, AWriteThatFailsLeavesTheFileByteForByteAndNoTemporary) {
    const std::string original = "# bays\n[service]\ntoken = t\n\n[bay-1]\nport = /dev/ttyUSB0\n";
    write(path(), original);
    write(path(".scales.ini.orva-saving.Zz9Yy8"), "left by a save that was killed");
    ConfigFile file(path());
    EXPECT_EQ(files(), QStringList{"scales.ini"});
    {
        const test::FileSizeLimit full(original.size() + 4);
        try {
            file.save("bay-1", {{"MinFixVes", "70"}, {"ComSetting", "19200,e,7,1"}});
            ADD_FAILURE() << "a save that could not be written succeeded";
        } catch (const host::FileWriteError& e) {
            EXPECT_EQ(e.error(), EFBIG);
            EXPECT_FALSE(e.noSpace());
            EXPECT_EQ(std::string(e.what()).rfind(path() + ": cannot save: ", 0), 0u) << e.what();
        }
    }
    EXPECT_EQ(read(path()), original);
    EXPECT_EQ(files(), QStringList{"scales.ini"});
}

TEST_F(ConfigSave, AFileEditedSinceItWasReadKeepsEveryEdit) {
    write(path(), "[service]\ntoken = old\n\n[bay-1]\nport = /dev/ttyUSB0\nMinFixVes = 50\n");
    ConfigFile file(path());
    std::vector<std::string> log;
    file.setLog([&](const std::string& line) { log.push_back(line); });
    const std::string edited = "[service]\ntoken = new   # rotated\n\n[bay-1]\nport = /dev/ttyUSB0\nMinFixVes = 50\n\n"
                               "[bay-2]\nport = /dev/ttyUSB1\n";
    write(path(), edited);
    file.save("bay-1", {{"MinFixVes", "70"}});
    std::string expected = edited;
    expected.replace(expected.find("MinFixVes = 50"), 14, "MinFixVes = 70");
    EXPECT_EQ(read(path()), expected);
    ASSERT_EQ(log.size(), 1u);
    EXPECT_NE(log[0].find("was changed since it was read"), std::string::npos) << log[0];
    // Saved over its own text, nothing more is said.
    file.save("bay-1", {{"MinFixVes", "71"}});
    EXPECT_EQ(log.size(), 1u);

    // An edit that would not start (the scale's section gone) is not written over.
    const std::string broken = "[service]\ntoken = new\n";
    write(path(), broken);
    try {
        file.save("bay-1", {{"MinFixVes", "72"}});
        ADD_FAILURE() << "saved a file the next start refuses";
    } catch (const ConfigError& e) {
        EXPECT_NE(std::string(e.what()).find("would be refused at the next start: scale [bay-1] has no port"), std::string::npos)
            << e.what();
    }
    EXPECT_EQ(read(path()), broken);
}

// What the service reads is bounded before it is parsed: a file too large,
// one that is not a regular file (a FIFO would block the start for ever) and
// one holding a NUL byte are refused with the reason, at once.
TEST_F(ConfigSave, FilesTheServiceMustNotReadAreRefusedAtOnce) {
    const std::string big = path("big.ini"), fifo = path("fifo.ini"), nul = path("nul.ini");
    write(big, "[service]\n" + std::string(ConfigFile::kMaxFileSize, '#'));
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    write(nul, std::string("[service]\ntoken = a\0b\n", 22));
    const struct {
        std::string file;
        const char* reason;
    } cases[] = {
        {big, "is larger than a configuration may be"},
        {fifo, "is not a regular file"},
        {nul, "the file holds a NUL byte"},
    };
    for (const auto& c : cases) {
        try {
            ConfigFile file(c.file);
            ADD_FAILURE() << c.file << " was read";
        } catch (const ConfigError& e) {
            EXPECT_NE(e.reason().find(c.reason), std::string::npos) << e.what();
        }
    }
}

TEST_F(ConfigSave, AByteOrderMarkIsReadAndKept) {
    const std::string bom = "\xEF\xBB\xBF";
    write(path(), bom + "[bay-1]\nport = /dev/ttyUSB0\n");
    ConfigFile file(path());
    EXPECT_EQ(file.config().scales.at(0).id, "bay-1");
    file.save("bay-1", {{"DecPoint", "2"}});
    EXPECT_EQ(read(path()), bom + "[bay-1]\nport = /dev/ttyUSB0\nDecPoint = 2\n");
}

// The fleet on real pseudo-terminals, for the writes both front ends share
// (HTTP and the broker's "set" call the same writer).
class SharedWrites : public ConfigSave {
protected:
    void SetUp() override {
        write(path(), "[service]\ntoken = t\n[ports]\n2 = " + b.slavePath() + "\n3 = " + dir.path().toStdString() +
                          "/nothing\n[a]\nport = " + a.slavePath() + "\nMinFixVes = 50\n[b]\nport = " + b.slavePath() +
                          "\nComNumber = 4\n");
        file = std::make_unique<ConfigFile>(path());
        fleet = std::make_unique<ScaleFleet>(file->config(), [](const std::string&) {});
    }
    sim::PseudoTerminal a, b;
    std::unique_ptr<ConfigFile> file;
    std::unique_ptr<ScaleFleet> fleet;
};

TEST_F(SharedWrites, AWriteTheFileCannotTakeIsRefusedAndTheControlKeepsItsValues) {
    ServiceScale& scale = *fleet->find("a");
    const std::string before = read(path());
    std::variant<WrittenProperties, Refusal> outcome;
    {
        const test::FileSizeLimit full(before.size() + 2);
        outcome = writeProperties(scale, R"({"MinFixVes": 70, "DecPoint": 2})", file.get());
    }
    ASSERT_TRUE(std::holds_alternative<Refusal>(outcome));
    EXPECT_EQ(std::get<Refusal>(outcome).status, 500);
    EXPECT_TRUE(std::get<Refusal>(outcome).error.startsWith("not written: ")) << std::get<Refusal>(outcome).error.toStdString();
    EXPECT_EQ(scale.control().MinFixVes(), 50);
    EXPECT_EQ(scale.control().DecPoint(), PropertyRecord::kDefaultDecPoint);
    EXPECT_EQ(read(path()), before);
    // With room, the same write is in force and saved.
    outcome = writeProperties(scale, R"({"MinFixVes": 70})", file.get());
    ASSERT_TRUE(std::holds_alternative<WrittenProperties>(outcome));
    EXPECT_TRUE(std::get<WrittenProperties>(outcome).saved);
    EXPECT_EQ(scale.control().MinFixVes(), 70);
}

TEST_F(SharedWrites, AComNumberThatWouldBreakTheScaleIsRefused) {
    ServiceScale& scale = *fleet->find("a");
    const std::string before = read(path());
    struct Case {
        const char* body;
        std::string reason;
    };
    const Case cases[] = {
        {R"({"ComNumber": 99})", "port 99 names no device"},
        {R"({"ComNumber": "9", "MinFixVes": 5})", "port 9 names no device"},
        {R"({"ComNumber": 2})", "port 2 is " + b.slavePath() + ", the device of scale b"},
        // A [ports] device that is not there would leave the scale dark.
        {R"({"ComNumber": 3})", "port 3 is " + dir.path().toStdString() + "/nothing: no such device: " +
                                    dir.path().toStdString() + "/nothing does not exist"},
    };
    for (const Case& c : cases) {
        const auto outcome = writeProperties(scale, c.body, file.get());
        ASSERT_TRUE(std::holds_alternative<Refusal>(outcome)) << c.body;
        EXPECT_EQ(std::get<Refusal>(outcome).status, 400);
        EXPECT_NE(std::get<Refusal>(outcome).error.toStdString().find(c.reason), std::string::npos)
            << std::get<Refusal>(outcome).error.toStdString();
    }
    EXPECT_EQ(scale.control().ComNumber(), "1");
    EXPECT_EQ(scale.control().MinFixVes(), 50);
    EXPECT_EQ(read(path()), before);
    // Its own device is always its own to go back to.
    EXPECT_TRUE(std::holds_alternative<WrittenProperties>(writeProperties(scale, R"({"ComNumber": 1})", file.get())));
}

TEST(PortAdvice, PermissionDeniedSaysWhatWouldHelp) {
    sim::PseudoTerminal pty;
    const std::string path = pty.slavePath();
    struct Case {
        uid_t uid;
        gid_t gid;
        mode_t mode;
        std::string advice;
    };
    std::vector<Case> cases = {
        {::geteuid(), ::getegid(), 0000, "only root can open it"},
    };
    if (::geteuid() == 0) {
        cases.push_back({0, 0, 0600, "root:root 0600; only root can open it (a udev rule can give it a group to join)"});
        cases.push_back({0, 0, 0660, "root:root 0660; only root can open it"});  // the root group is no group to join
        cases.push_back({0, 65534, 0660, " 0660; add the user to the "});
        cases.push_back({65534, 0, 0600, " 0600; only "});
    }
    for (const Case& c : cases) {
        ASSERT_EQ(::chown(path.c_str(), c.uid, c.gid), 0);
        ASSERT_EQ(::chmod(path.c_str(), c.mode), 0);
        const std::string reason = host::permissionReason(path);
        EXPECT_EQ(reason.rfind("permission denied: " + path + " is ", 0), 0u) << reason;
        EXPECT_NE(reason.find(c.advice), std::string::npos) << reason;
        EXPECT_EQ(reason.find("dialout"), std::string::npos) << reason;
    }
}

}  // namespace
}  // namespace orva::service
