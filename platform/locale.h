#pragma once
// The user's locale, as far as the control needs it: the decimal separator of
// the weight shown on the panel.

#include <string>

namespace orva {

class Locale {
public:
    virtual ~Locale() = default;
    virtual std::string decimalSeparator() const = 0;  // UTF-8, usually "." or ","
};

}  // namespace orva
