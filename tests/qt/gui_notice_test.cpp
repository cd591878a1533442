// The window's message box is modal: the call returns when the user closes
// it, which is what holds the poll cycle during a reconfiguration.

#include <gtest/gtest.h>

#include <QApplication>
#include <QMessageBox>
#include <QTimer>

#include "platform/qt/gui_notice.h"

namespace orva::qt {
namespace {

TEST(GuiNotice, MessageBoxIsModalAndReturnsWhenClosed) {
    GuiNotice notice;
    QString shown;
    bool wasModal = false;
    QTimer closer;
    closer.setInterval(10);
    QObject::connect(&closer, &QTimer::timeout, [&] {
        if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            shown = box->text();
            wasModal = box->isModal();
            EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
            box->accept();
        }
    });
    closer.start();
    notice.messageBox("сом порт: 9600,n,8,1");
    EXPECT_TRUE(wasModal);
    EXPECT_EQ(shown, QString::fromUtf8("сом порт: 9600,n,8,1"));
}

}  // namespace
}  // namespace orva::qt
