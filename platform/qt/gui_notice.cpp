#include "platform/qt/gui_notice.h"

#include <QApplication>
#include <QMessageBox>
#include <cstdio>

#include "platform/failure.h"

namespace orva::qt {

void GuiNotice::messageBox(std::string_view utf8Text) {
    // Text and an OK button only: no caption, icon or help.
    QMessageBox box(QMessageBox::NoIcon, QString(), QString::fromUtf8(utf8Text.data(), static_cast<qsizetype>(utf8Text.size())),
                    QMessageBox::Ok, parent_.data());
    box.exec();
}

void GuiNotice::beep() { QApplication::beep(); }

void GuiNotice::tickFailed(const Failure& failure) {
    std::fprintf(stderr, "decode failed: error %d: %s\n", static_cast<int>(failure.number()),
                 failure.description().c_str());
}

}  // namespace orva::qt
