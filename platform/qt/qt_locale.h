#pragma once
// The user's locale as Qt reads it from the environment (LC_ALL, LC_NUMERIC,
// LANG): the decimal separator of the weight on the panel.

#include <QLocale>

#include "platform/locale.h"

namespace orva::qt {

class QtLocale final : public Locale {
public:
    explicit QtLocale(QLocale locale = QLocale::system()) : separator_(locale.decimalPoint().toStdString()) {}
    std::string decimalSeparator() const override { return separator_; }

private:
    std::string separator_;
};

}  // namespace orva::qt
