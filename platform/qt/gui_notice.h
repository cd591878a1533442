#pragma once
// The control's message box and beep in a window: a real modal message box
// (the poll cycle waits until the user closes it, as no timer is enabled
// meanwhile) and the desktop's beep. A failed decode is not worth a modal box
// every 400 ms; it goes to standard error.

#include <QPointer>
#include <QWidget>

#include "platform/user_notice.h"

namespace orva::qt {

class GuiNotice final : public UserNotice {
public:
    explicit GuiNotice(QWidget* parent = nullptr) : parent_(parent) {}
    void setParent(QWidget* parent) { parent_ = parent; }

    void messageBox(std::string_view utf8Text) override;
    void beep() override;
    void tickFailed(const Failure& failure) override;

private:
    QPointer<QWidget> parent_;
};

}  // namespace orva::qt
