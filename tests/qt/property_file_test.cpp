// The properties file as a host's document: what a control saves loads back
// the same, and a file that cannot be loaded says where and is left alone.

#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "control/activex_orva.h"
#include "platform/qt/property_file.h"
#include "platform/virtual/simulated_line.h"
#include "platform/virtual/virtual_clock.h"
#include "platform/virtual/virtual_services.h"

namespace orva::qt {
namespace {

using namespace orva::virtual_time;

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

}  // namespace
}  // namespace orva::qt
