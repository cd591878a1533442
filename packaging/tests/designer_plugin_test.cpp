// The Qt Designer plugin as Designer uses it: loaded from its file with
// QPluginLoader, asked for its widget through the plugin interface, and the
// widget it made run against the terminal simulator through its properties,
// its start() slot and its signals only, the way a form built in Designer
// uses it.
//   ORVA_DESIGNER_PLUGIN=<plugin file> ORVA_SIM=<orva-sim> orva_designer_plugin_test

#include <gtest/gtest.h>

#include <QApplication>
#include <QTimer>
#include <QDomDocument>
#include <QElapsedTimer>
#include <QPluginLoader>
#include <QProcess>
#include <QWidget>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>
#include <memory>

namespace {

QString fromEnvironment(const char* name) { return qEnvironmentVariable(name); }

class DesignerPlugin : public ::testing::Test {
protected:
    void SetUp() override {
        loader_.setFileName(fromEnvironment("ORVA_DESIGNER_PLUGIN"));
        ASSERT_TRUE(loader_.load()) << loader_.errorString().toStdString();
        plugin_ = qobject_cast<QDesignerCustomWidgetInterface*>(loader_.instance());
        ASSERT_NE(plugin_, nullptr) << "the plugin does not offer the Designer custom widget interface";
    }

    QPluginLoader loader_;
    QDesignerCustomWidgetInterface* plugin_ = nullptr;
};

TEST_F(DesignerPlugin, DescribesTheWidgetForTheWidgetBoxAndTheGeneratedCode) {
    EXPECT_EQ(plugin_->name(), "orva::qt::ScaleWidget");
    EXPECT_EQ(plugin_->group(), "ORVA");
    EXPECT_EQ(plugin_->includeFile(), "<orva/hosts/qt/scale_widget.h>");
    EXPECT_FALSE(plugin_->isContainer());
    // The XML Designer puts on a new form names the same class.
    QDomDocument dom;
    ASSERT_TRUE(dom.setContent(plugin_->domXml()));
    EXPECT_EQ(dom.documentElement().firstChildElement("widget").attribute("class"), plugin_->name());
}

TEST_F(DesignerPlugin, CreatesAWidgetWithTheControlsDefaults) {
    std::unique_ptr<QWidget> widget(plugin_->createWidget(nullptr));
    ASSERT_NE(widget, nullptr);
    EXPECT_STREQ(widget->metaObject()->className(), "orva::qt::ScaleWidget");
    EXPECT_EQ(widget->property("ComNumber").toString(), "1");
    EXPECT_EQ(widget->property("ComSetting").toString(), "9600,n,8,1");
    EXPECT_EQ(widget->property("DecPoint").toInt(), 1);
    EXPECT_EQ(widget->property("MinFixVes").toInt(), 50);
    // The panel's fixed size in twips at the screen's resolution: never empty.
    EXPECT_GT(widget->sizeHint().width(), 100);
    EXPECT_GT(widget->sizeHint().height(), 30);
    widget->show();
    QApplication::processEvents();
}

// Receives the widget's signals by name, as a form's code would connect them.
class EventLog : public QObject {
    Q_OBJECT
public:
    QList<double> changes, stables;
    QList<QList<int>> statuses;
public slots:
    void changeVes(double weight) { changes.append(weight); }
    void stabVes(double weight) { stables.append(weight); }
    void vesStatus(int zero, int ok, int tare, int overload) { statuses.append({zero, ok, tare, overload}); }
};

TEST_F(DesignerPlugin, AStartedWidgetReadsTheTerminalAndSignalsTheEvents) {
    QProcess simulator;
    simulator.start(fromEnvironment("ORVA_SIM"), {"--weight", "12.5"});
    ASSERT_TRUE(simulator.waitForStarted(5000));
    ASSERT_TRUE(simulator.waitForReadyRead(5000));
    const QString device = QString::fromUtf8(simulator.readLine()).trimmed();
    ASSERT_TRUE(device.startsWith("/dev/")) << device.toStdString();

    std::unique_ptr<QWidget> widget(plugin_->createWidget(nullptr));
    ASSERT_NE(widget, nullptr);
    // Port 3 is the simulator's device; no other device is ever opened.
    ASSERT_TRUE(widget->setProperty("ComNumber", "3"));
    ASSERT_TRUE(widget->setProperty("device", device));
    // The form's own settings reach the port before the first poll, so the
    // control has nothing to reconfigure: no message box at start.
    ASSERT_TRUE(widget->setProperty("ComSetting", "19200,n,8,1"));
    int messageBoxes = 0;
    QTimer closer;
    QObject::connect(&closer, &QTimer::timeout, [&messageBoxes] {
        if (QWidget* modal = QApplication::activeModalWidget()) {
            ++messageBoxes;
            modal->close();
        }
    });
    closer.start(20);
    EventLog log;
    ASSERT_TRUE(QObject::connect(widget.get(), SIGNAL(ChangeVes(double)), &log, SLOT(changeVes(double))));
    ASSERT_TRUE(QObject::connect(widget.get(), SIGNAL(StabVes(double)), &log, SLOT(stabVes(double))));
    ASSERT_TRUE(
        QObject::connect(widget.get(), SIGNAL(VesStatus(int, int, int, int)), &log, SLOT(vesStatus(int, int, int, int))));
    widget->show();
    ASSERT_TRUE(QMetaObject::invokeMethod(widget.get(), "start"));

    // Three polls to the first reading, three equal readings to stable.
    QElapsedTimer waited;
    waited.start();
    while (log.stables.isEmpty() && waited.elapsed() < 10000) QApplication::processEvents(QEventLoop::AllEvents, 50);
    EXPECT_EQ(messageBoxes, 0) << "the control reconfigured its port at start";
    ASSERT_FALSE(log.changes.isEmpty()) << "no ChangeVes within 10 s";
    EXPECT_DOUBLE_EQ(log.changes.first(), 12.5);
    ASSERT_FALSE(log.stables.isEmpty()) << "no StabVes within 10 s";
    EXPECT_DOUBLE_EQ(log.stables.first(), 12.5);
    ASSERT_FALSE(log.statuses.isEmpty());
    EXPECT_EQ(log.statuses.first(), (QList<int>{0, 1, 0, 0}));  // not zero, in range, no tare, no overload

    widget.reset();  // the control closes its port before the simulator goes
    simulator.terminate();
    simulator.waitForFinished(5000);
}

}  // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}

#include "designer_plugin_test.moc"
