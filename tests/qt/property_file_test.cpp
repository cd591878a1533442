// The properties file as a host's document: what a control saves loads back
// the same, and a file that cannot be loaded says where and is left alone.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "control/activex_orva.h"
#include "hosts/property_file.h"
#include "platform/virtual/simulated_line.h"
#include "platform/virtual/virtual_clock.h"
#include "platform/virtual/virtual_services.h"
#include "tests/support/file_size_limit.h"

namespace orva::qt {
namespace {

using namespace orva::virtual_time;
using host::PropertyFile;
using host::PropertyFileError;

struct VirtualControl {
    VirtualClock clock;
    VirtualTimerFactory timers{clock};
    RecordingNotice notice;
    FixedLocale locale;
    SimulatedLine line{clock};
    ActivexORVA control{{line.makePort(), timers, notice, locale}};
};

class PropertyFileTest : public ::testing::Test {
protected:
    std::string path(const char* name = "scale.props") { return (dir.path() + "/" + name).toStdString(); }
    void write(const std::string& file, const QByteArray& text) {
        QFile f(QString::fromStdString(file));
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(text);
    }
    QByteArray read(const std::string& file) {
        QFile f(QString::fromStdString(file));
        EXPECT_TRUE(f.open(QIODevice::ReadOnly));
        return f.readAll();
    }
    std::string loadError(const std::string& file, ActivexORVA& control) {
        PropertyFile bag(file);
        try {
            bag.load([&](PropertyBag& b) { control.ReadProperties(b); });
        } catch (const PropertyFileError& error) {
            return error.what();
        }
        return "";
    }
    QTemporaryDir dir;
};

TEST_F(PropertyFileTest, WhatIsSavedLoadsBackTheSame) {
    VirtualControl saved;
    saved.control.setMinFixVes(-300);
    saved.control.setDecPoint(3);
    saved.control.setComSetting("19200,E,7,2");
    saved.control.setComNumber(" 4");
    saved.control.setVesTerminal("say \"12,5\"\\ \t\nnext");
    saved.control.setTipTerminal("Вес");
    saved.control.setStatusTerminal("");
    saved.control.setUnitWeight("\x01\x7f");
    PropertyFile out(path());
    out.save([&](PropertyBag& bag) { saved.control.WriteProperties(bag); });

    VirtualControl loaded;
    PropertyFile in(path());
    in.load([&](PropertyBag& bag) { loaded.control.ReadProperties(bag); });
    EXPECT_EQ(loaded.control.properties(), saved.control.properties());

    const QByteArray text = read(path());
    EXPECT_TRUE(text.contains("\nMinFixVes = -300\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nComSetting = \"19200,E,7,2\"\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nUnitWeight = \"\\x01\\x7F\"\n")) << text.toStdString();
}

TEST_F(PropertyFileTest, AMissingFileIsANewDocumentAndUnknownKeysSurviveASave) {
    VirtualControl fresh;
    EXPECT_EQ(loadError(path("none.props"), fresh.control), "");
    EXPECT_EQ(fresh.control.properties(), PropertyRecord{});

    write(path(), "# kept by the host\nOperator = \"Anna\"\nDecPoint = 2\n");
    VirtualControl control;
    PropertyFile file(path());
    file.load([&](PropertyBag& b) { control.control.ReadProperties(b); });
    EXPECT_EQ(control.control.DecPoint(), 2);
    file.save([&](PropertyBag& b) { control.control.WriteProperties(b); });
    const QByteArray text = read(path());
    EXPECT_TRUE(text.contains("\nOperator = \"Anna\"\n")) << text.toStdString();
    EXPECT_TRUE(text.contains("\nDecPoint = 2\n")) << text.toStdString();
}

TEST_F(PropertyFileTest, ValuesOfEveryKindConvertAsTheControlConvertsThem) {
    write(path(), "\xEF\xBB\xBFMinFixVes = 12.5\r\nDecPoint = True\r\nComNumber = 3\nComSetting = 9600\n");
    VirtualControl control;
    EXPECT_EQ(loadError(path(), control.control), "");
    EXPECT_EQ(control.control.MinFixVes(), 12);  // half to even
    EXPECT_EQ(control.control.DecPoint(), -1);   // True is -1
    EXPECT_EQ(control.control.ComNumber(), "3");
    EXPECT_EQ(control.control.ComSetting(), "9600");
}

TEST_F(PropertyFileTest, AValueThatCannotBeConvertedNamesFileLineAndKeyAndChangesNothing) {
    const QByteArray original = "MinFixVes = 70\n\n# the next one is wrong\nDecPoint = 40000\nComNumber = \"2\"\n";
    write(path(), original);
    VirtualControl control;
    const std::string error = loadError(path(), control.control);
    EXPECT_EQ(error.rfind(path() + ":4: DecPoint: Overflow", 0), 0u) << error;
    // Fields before the bad key are loaded, the rest keep their values.
    EXPECT_EQ(control.control.MinFixVes(), 70);
    EXPECT_EQ(control.control.ComNumber(), "1");
    EXPECT_EQ(read(path()), original);

    write(path(), "MinFixVes = fifty\n");
    VirtualControl other;
    EXPECT_EQ(loadError(path(), other.control).rfind(path() + ":1: MinFixVes: Type mismatch", 0), 0u);
}

TEST_F(PropertyFileTest, MalformedLinesAreRefusedBeforeAnythingIsLoaded) {
    struct Case {
        QByteArray text;
        std::string expected;
    };
    const std::vector<Case> cases = {
        {"MinFixVes = 70\nDecPoint 2\n", ":2: expected Name = value"},
        {"MinFixVes = 70\n = 2\n", ":2: a property name is missing"},
        {"ComSetting = \"9600,n,8,1\n", ":1: ComSetting: unterminated string"},
        {"ComSetting = \"9600\" n\n", ":1: ComSetting: text after the closing quote"},
        {"ComSetting = \"\\q\"\n", ":1: ComSetting: unknown escape"},
        {"MinFixVes = 70\nMinFixVes = 80\n", ":2: MinFixVes: already given on line 1"},
    };
    for (const auto& c : cases) {
        write(path(), c.text);
        VirtualControl control;
        const std::string error = loadError(path(), control.control);
        EXPECT_EQ(error.rfind(path() + c.expected, 0), 0u) << error;
        EXPECT_EQ(control.control.MinFixVes(), PropertyRecord::kDefaultMinFixVes);
        EXPECT_EQ(read(path()), c.text);
    }
}

TEST_F(PropertyFileTest, ASaveThatCannotBeWrittenIsAnError) {
    VirtualControl control;
    PropertyFile file((dir.path() + "/missing-dir/scale.props").toStdString());
    EXPECT_THROW(file.save([&](PropertyBag& b) { control.control.WriteProperties(b); }), PropertyFileError);
}

TEST_F(PropertyFileTest, ASaveThatFailsHalfWayLeavesTheFileAsItWasAndNoTemporary) {
    const QByteArray original = "# bay\nDecPoint = 1\n";
    write(path(), original);
    // Left by a save that was killed: gone when the document is read. A file
    // of the user's, with six characters after the name as mkstemp gives, stays.
    write(path(".scale.props.orva-saving.a1B2c3"), "half");
    write(path(".scale.props.backup"), "mine");
    VirtualControl control;
    PropertyFile file(path());
    file.load([&](PropertyBag& b) { control.control.ReadProperties(b); });
    EXPECT_FALSE(QFile::exists(QString::fromStdString(path(".scale.props.orva-saving.a1B2c3"))));
    EXPECT_TRUE(QFile::exists(QString::fromStdString(path(".scale.props.backup"))));
    control.control.setDecPoint(3);
    {
        // The new text (every property) is longer than the disk lets it be.
        const test::FileSizeLimit full(static_cast<rlim_t>(original.size()) + 8);
        try {
            file.save([&](PropertyBag& b) { control.control.WriteProperties(b); });
            ADD_FAILURE() << "a save that could not be written succeeded";
        } catch (const PropertyFileError& error) {
            EXPECT_NE(std::string(error.what()).find("File too large"), std::string::npos) << error.what();
        }
    }
    EXPECT_EQ(read(path()), original);
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), (QStringList{".scale.props.backup", "scale.props"}));
    // With room again, the same save goes through.
    file.save([&](PropertyBag& b) { control.control.WriteProperties(b); });
    EXPECT_TRUE(read(path()).startsWith("# bay\nDecPoint = 3\n"));
    // A later save starts from what the last one wrote, not from the text first read.
    file.save([&](PropertyBag& b) { control.control.WriteProperties(b); });
    EXPECT_TRUE(read(path()).startsWith("# bay\nDecPoint = 3\n")) << read(path()).toStdString();
}

TEST_F(PropertyFileTest, ASaveChangesOnlyTheValuesAndKeepsTheUsersText) {
    const QByteArray original =
        "# scale at the loading bay\r\n\r\n  DecPoint=1\r\nOperator = \"Anna\"  \r\n# the port\r\nComNumber = \"1\"\r\n";
    write(path(), original);
    VirtualControl control;
    PropertyFile file(path());
    file.load([&](PropertyBag& b) { control.control.ReadProperties(b); });
    control.control.setDecPoint(3);
    file.save([&](PropertyBag& b) { control.control.WriteProperties(b); });
    const QByteArray text = read(path());
    EXPECT_TRUE(text.startsWith("# scale at the loading bay\r\n\r\n  DecPoint=3\r\nOperator = \"Anna\"  \r\n# the port\r\n"
                                "ComNumber = \"1\"\r\n"))
        << text.toStdString();
    // The properties the file did not hold follow, in the record's order.
    EXPECT_TRUE(text.endsWith("\r\nMinFixVes = 50\nComSetting = \"9600,n,8,1\"\nVesTerminal = \"XXXX\"\n"
                              "TipTerminal = \"No Connect\"\nStatusTerminal = \"X\"\nUnitWeight = \"kg\"\n"))
        << text.toStdString();
}

TEST_F(PropertyFileTest, OnlyARegularFileIsReadOrReplacedAndOpeningNeverWaits) {
    const std::string fifo = path("fifo");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string folder = path("folder");
    ASSERT_EQ(::mkdir(folder.c_str(), 0700), 0);
    write(path("big.props"), QByteArray(PropertyFile::kMaxFileSize + 1, '#'));
    write(path("twice.props"), "DecPoint = 2\n");
    ASSERT_EQ(::link(path("twice.props").c_str(), path("other-name.props").c_str()), 0);
    ASSERT_EQ(::symlink(path("nothing").c_str(), path("dangling.props").c_str()), 0);

    for (const auto& [file, why] : std::vector<std::pair<std::string, std::string>>{
             {fifo, "is a FIFO"},
             {folder, "is a directory"},
             {path("big.props"), "more than a properties file may hold"},
             {path("twice.props"), "names (hard links)"},
             {path("dangling.props"), "symbolic link to nothing"}}) {
        VirtualControl control;
        const std::string error = loadError(file, control.control);
        EXPECT_NE(error.find(file + ": "), std::string::npos) << error;
        EXPECT_NE(error.find(why), std::string::npos) << error;
        PropertyFile bag(file);
        EXPECT_THROW(bag.save([&](PropertyBag& b) { control.control.WriteProperties(b); }), PropertyFileError) << file;
    }
    struct stat st{};
    ASSERT_EQ(::stat(fifo.c_str(), &st), 0);
    EXPECT_TRUE(S_ISFIFO(st.st_mode));
    ASSERT_EQ(::stat(path("twice.props").c_str(), &st), 0);
    EXPECT_EQ(st.st_nlink, 2u);
}

TEST_F(PropertyFileTest, ASaveKeepsModeOwnerAndGroupAndGoesThroughALink) {
    const std::string real = path("real.props");
    const std::string link = path("link.props");
    write(real, "DecPoint = 2\n");
    ASSERT_EQ(::chmod(real.c_str(), 0640), 0);
    ASSERT_EQ(::symlink(real.c_str(), link.c_str()), 0);
    // Root saves another user's file without taking it over.
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(real.c_str(), 65534, 65534), 0);
    }

    VirtualControl control;
    PropertyFile file(link);
    file.load([&](PropertyBag& b) { control.control.ReadProperties(b); });
    control.control.setDecPoint(4);
    file.save([&](PropertyBag& b) { control.control.WriteProperties(b); });

    struct stat st{};
    ASSERT_EQ(::lstat(link.c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    ASSERT_EQ(::stat(real.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0640u);
    if (root) {
        EXPECT_EQ(st.st_uid, 65534u);
        EXPECT_EQ(st.st_gid, 65534u);
    }
    EXPECT_TRUE(read(real).startsWith("DecPoint = 4\n"));
    EXPECT_TRUE(QDir(dir.path()).entryList(QDir::Hidden | QDir::Files).filter(".real.props").isEmpty());
}

TEST_F(PropertyFileTest, NamesInTheWrongCaseAreNamedWithTheirLine) {
    write(path(), "# the decimals\ndecpoint = 2\nDecPoint = 1\nCOMNUMBER = 3\nOperator = 1\n");
    PropertyFile file(path());
    file.readFile();
    const auto warnings = file.caseMismatches({"DecPoint", "ComNumber"});
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(warnings[0].rfind(path() + ":2: decpoint is not DecPoint", 0), 0u) << warnings[0];
    EXPECT_EQ(warnings[1].rfind(path() + ":4: COMNUMBER is not ComNumber", 0), 0u) << warnings[1];
}

}  // namespace
}  // namespace orva::qt
