#pragma once
// One control on a Qt form: the widget a Qt developer places from Designer's
// widget box the way a Windows developer places the control from the
// toolbox. Its design-time properties are the control's saved ones plus the
// device of its port; start() creates the control on the Qt platform with
// them, and from then on the widget shows the control's live panel and
// passes its three events on as signals. Before start() (and inside
// Designer) it shows the panel of a control that has not yet read anything,
// and opens no device.

#include <QString>
#include <QWidget>
#include <memory>

namespace orva {
class ActivexORVA;
}

namespace orva::qt {

class ScaleWidget : public QWidget {
    Q_OBJECT
    Q_PROPERTY(QString ComNumber READ comNumber WRITE setComNumber)
    Q_PROPERTY(QString ComSetting READ comSetting WRITE setComSetting)
    Q_PROPERTY(int DecPoint READ decPoint WRITE setDecPoint)
    Q_PROPERTY(int MinFixVes READ minFixVes WRITE setMinFixVes)
    Q_PROPERTY(QString device READ device WRITE setDevice)

public:
    explicit ScaleWidget(QWidget* parent = nullptr);
    ~ScaleWidget() override;

    QString comNumber() const { return comNumber_; }
    QString comSetting() const { return comSetting_; }
    int decPoint() const { return decPoint_; }
    int minFixVes() const { return minFixVes_; }
    // The device path the port number names; empty: /dev/ttyS<N-1>.
    QString device() const { return device_; }
    void setComNumber(const QString& value);
    void setComSetting(const QString& value);
    void setDecPoint(int value);
    void setMinFixVes(int value);
    void setDevice(const QString& value);

    // The running control, or null before start().
    ActivexORVA* control();

    QSize sizeHint() const override;

public slots:
    // Creates the control and starts polling; a second call does nothing.
    void start();

signals:
    void ChangeVes(double VesChange);
    void StabVes(double VesBrutoNVT);
    void VesStatus(int VesNul, int VesOk, int VesTara, int VesMax);

private:
    class Running;
    void showPanel(QWidget* panel);

    QString comNumber_ = QStringLiteral("1");
    QString comSetting_ = QStringLiteral("9600,n,8,1");
    int decPoint_ = 1;
    int minFixVes_ = 50;
    QString device_;
    std::unique_ptr<Running> running_;
    struct Idle;
    std::unique_ptr<Idle> idle_;
};

}  // namespace orva::qt
