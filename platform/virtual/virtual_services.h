#pragma once
// The remaining services in their simplest deterministic form: a notice that
// records what the user would have seen and heard, a fixed locale, and a
// property bag in memory.

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "platform/locale.h"
#include "platform/property_bag.h"
#include "platform/user_notice.h"

namespace orva::virtual_time {

class RecordingNotice : public UserNotice {
public:
    void messageBox(std::string_view utf8Text) override {
        messages.emplace_back(utf8Text);
        if (onMessage) onMessage(utf8Text);
    }
    void beep() override { ++beeps; }
    void tickFailed(const Failure& failure) override { failures.push_back(failure); }

    std::vector<std::string> messages;
    int beeps = 0;
    std::vector<Failure> failures;
    std::function<void(std::string_view)> onMessage;
};

class FixedLocale : public Locale {
public:
    explicit FixedLocale(std::string separator = ".") : separator_(std::move(separator)) {}
    std::string decimalSeparator() const override { return separator_; }

private:
    std::string separator_;
};

class MemoryPropertyBag : public PropertyBag {
public:
    PropertyValue read(std::string_view key, const PropertyValue& defaultValue) override {
        const auto found = values.find(std::string(key));
        return found == values.end() ? defaultValue : found->second;
    }
    void write(std::string_view key, const PropertyValue& value, const PropertyValue& defaultValue) override {
        // Like a host's bag, leave out what equals its default.
        if (value == defaultValue) values.erase(std::string(key));
        else values[std::string(key)] = value;
    }
    std::map<std::string, PropertyValue> values;
};

}  // namespace orva::virtual_time
