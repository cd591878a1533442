#include "hosts/qt/designer/scale_widget_plugin.h"

#include <QIcon>

#include "hosts/qt/scale_widget.h"

namespace orva::qt {

QString ScaleWidgetPlugin::name() const { return QStringLiteral("orva::qt::ScaleWidget"); }
QString ScaleWidgetPlugin::group() const { return QStringLiteral("ORVA"); }
QString ScaleWidgetPlugin::toolTip() const { return QStringLiteral("Weighing-terminal control"); }
QString ScaleWidgetPlugin::whatsThis() const {
    return QStringLiteral("The live panel of a weighing terminal on a serial port. Call start() to begin "
                          "polling; the events ChangeVes, StabVes and VesStatus are signals.");
}
// As a program built against the installed library includes it: Designer
// writes a name in angle brackets as a global include.
QString ScaleWidgetPlugin::includeFile() const { return QStringLiteral("<orva/hosts/qt/scale_widget.h>"); }
QIcon ScaleWidgetPlugin::icon() const { return {}; }
QWidget* ScaleWidgetPlugin::createWidget(QWidget* parent) { return new ScaleWidget(parent); }

QString ScaleWidgetPlugin::domXml() const {
    return QStringLiteral(R"(<ui language="c++">
 <widget class="orva::qt::ScaleWidget" name="scale">
  <property name="ComNumber"><string>1</string></property>
  <property name="ComSetting"><string>9600,n,8,1</string></property>
 </widget>
</ui>
)");
}

}  // namespace orva::qt
