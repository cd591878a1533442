#pragma once
// Qt Designer's entry for the scale widget: it appears in the widget box
// under "ORVA", and a form created with it includes hosts/qt/scale_widget.h.

#include <QObject>
#include <QtUiPlugin/QDesignerCustomWidgetInterface>

namespace orva::qt {

class ScaleWidgetPlugin : public QObject, public QDesignerCustomWidgetInterface {
    Q_OBJECT
    Q_PLUGIN_METADATA(IID "org.qt-project.Qt.QDesignerCustomWidgetInterface")
    Q_INTERFACES(QDesignerCustomWidgetInterface)

public:
    explicit ScaleWidgetPlugin(QObject* parent = nullptr) : QObject(parent) {}

    QString name() const override;
    QString group() const override;
    QString toolTip() const override;
    QString whatsThis() const override;
    QString includeFile() const override;
    QIcon icon() const override;
    bool isContainer() const override { return false; }
    QWidget* createWidget(QWidget* parent) override;
    bool isInitialized() const override { return initialized_; }
    void initialize(QDesignerFormEditorInterface*) override { initialized_ = true; }
    QString domXml() const override;

private:
    bool initialized_ = false;
};

}  // namespace orva::qt
