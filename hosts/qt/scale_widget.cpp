#include "hosts/qt/scale_widget.h"

#include <QVBoxLayout>

#include "control/activex_orva.h"
#include "hosts/place_control.h"
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
    explicit Running(ScaleWidget& owner) : owner_(owner), notice_(&owner) {}
    ~Running() override {
        if (control_) control_->setEventSink(nullptr);
    }
    void place(const std::string& comNumber, const host::PortMaker& makePort, const host::Restore& restore) {
        control_ = host::placeControl(comNumber, makePort, {timers_, notice_, locale_}, [&](ActivexORVA& control) {
            control.setEventSink(this);
            restore(control);
        });
    }
    ActivexORVA& control() { return *control_; }

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
    std::unique_ptr<ActivexORVA> control_;  // last: goes first, before the services it uses
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
    // The control is placed on the form's port number, so it opens that
    // device first and no other; a number or text the port cannot take is
    // left to the control, which reports it.
    const std::string comNumber = comNumber_.toStdString();
    auto ports = std::make_shared<PortMap>();
    if (!device_.isEmpty()) ports->map(host::configuredPortNumber(comNumber), device_.toStdString());
    running_ = std::make_unique<Running>(*this);
    running_->place(comNumber, [&](std::int16_t) { return std::make_unique<QtSerialPort>(ports); },
                    [&](ActivexORVA& control) {
                        control.setComNumber(comNumber);
                        control.setComSetting(comSetting_.toStdString());
                        control.setDecPoint(static_cast<std::int16_t>(decPoint_));
                        control.setMinFixVes(static_cast<std::int16_t>(minFixVes_));
                    });
    ActivexORVA& control = running_->control();
    showPanel(new PanelWidget(control.panel(), this));
}

ActivexORVA* ScaleWidget::control() { return running_ ? &running_->control() : nullptr; }

}  // namespace orva::qt
