#include "panel/qt/scale_widget.h"

#include <QVBoxLayout>

#include "control/activex_orva.h"
#include "control/port_placement.h"
#include "panel/qt/panel_widget.h"
#include "platform/failure.h"
#include "platform/qt/gui_notice.h"
#include "platform/qt/port_map.h"
#include "platform/qt/qt_locale.h"
#include "platform/qt/qt_serial_port.h"
#include "platform/qt/qt_timers.h"

namespace orva::qt {

// The panel shown before the control exists.
struct ScaleWidget::Idle {
    PanelModel model;
};

// A started control with the platform services it uses, which outlive it.
class ScaleWidget::Running final : public ControlEvents {
public:
    Running(ScaleWidget& owner, std::unique_ptr<QtSerialPort> port)
        : owner_(owner), notice_(&owner), control_(ControlPlatform{std::move(port), timers_, notice_, locale_}) {
        control_.setEventSink(this);
    }
    ~Running() override { control_.setEventSink(nullptr); }
    ActivexORVA& control() { return control_; }

private:
    void StabVes(double weight) override { emit owner_.StabVes(weight); }
    void ChangeVes(double weight) override { emit owner_.ChangeVes(weight); }
    void VesStatus(std::int16_t zero, std::int16_t& ok, std::int16_t& tare, std::int16_t& overload) override {
        emit owner_.VesStatus(zero, ok, tare, overload);
    }

    ScaleWidget& owner_;
    QtTimerFactory timers_;
    QtLocale locale_;
    GuiNotice notice_;
    ActivexORVA control_;  // last: goes first, before the services it uses
};

ScaleWidget::ScaleWidget(QWidget* parent) : QWidget(parent), idle_(std::make_unique<Idle>()) {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    showPanel(new PanelWidget(idle_->model, this));
}

ScaleWidget::~ScaleWidget() {
    // The panel widget draws the model it was given: it goes before the model
    // (Qt would delete it only after these members are gone).
    showPanel(nullptr);
}

void ScaleWidget::showPanel(QWidget* panel) {
    if (QLayoutItem* old = layout()->takeAt(0)) {
        delete old->widget();
        delete old;
    }
    if (panel != nullptr) layout()->addWidget(panel);
}

QSize ScaleWidget::sizeHint() const { return layout()->sizeHint(); }

void ScaleWidget::setComNumber(const QString& value) {
    comNumber_ = value;
    if (running_) running_->control().setComNumber(value.toStdString());
}
void ScaleWidget::setComSetting(const QString& value) {
    comSetting_ = value;
    if (running_) running_->control().setComSetting(value.toStdString());
}
void ScaleWidget::setDecPoint(int value) {
    decPoint_ = value;
    if (running_) running_->control().setDecPoint(static_cast<std::int16_t>(value));
}
void ScaleWidget::setMinFixVes(int value) {
    minFixVes_ = value;
    if (running_) running_->control().setMinFixVes(static_cast<std::int16_t>(value));
}
void ScaleWidget::setDevice(const QString& value) { device_ = value; }

void ScaleWidget::start() {
    if (running_) return;
    // The port object starts on the form's port number, so the control opens
    // that device first and no other; the form's settings reach the port
    // before any byte goes out, so the first poll finds nothing to
    // reconfigure (no beep, no message box). A number or text the port
    // cannot take is left to the control, which reports it.
    const std::int16_t number = configuredPortNumber(comNumber_.toStdString());
    auto ports = std::make_shared<PortMap>();
    if (!device_.isEmpty()) ports->map(number, device_.toStdString());
    auto port = std::make_unique<QtSerialPort>(ports);
    port->setCommPort(number);  // closed, so it cannot refuse
    running_ = std::make_unique<Running>(*this, std::move(port));
    ActivexORVA& control = running_->control();
    control.setComNumber(comNumber_.toStdString());
    control.setComSetting(comSetting_.toStdString());
    control.setDecPoint(static_cast<std::int16_t>(decPoint_));
    control.setMinFixVes(static_cast<std::int16_t>(minFixVes_));
    takeRestoredSettings(control);
    showPanel(new PanelWidget(control.panel(), this));
}

ActivexORVA* ScaleWidget::control() { return running_ ? &running_->control() : nullptr; }

}  // namespace orva::qt
