#pragma once
// The host's document for one control: a text file with one "Name = value"
// line per property. Strings are quoted, with \" \\ \n \r \t and \xHH
// escapes; integers are plain decimal; True and False are booleans; a number
// with a fraction or exponent is a double. Blank lines and lines starting
// with '#' are ignored. A value that is none of these (an unquoted word) is
// read as text, so that the control's own conversion decides whether it
// fits the property.
//
// Load reads the whole file first and gives the control nothing unless the
// file is well formed. A value the control cannot convert ends the load with
// an error naming the file, the line and the key. The file itself is only
// ever written by save, which replaces it in one step (write a sibling, then
// rename), so a failed load or an interrupted save never damages it. Keys the
// control does not know are kept as they were.

#include <cstdint>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/failure.h"
#include "platform/property_bag.h"

namespace orva::qt {

// The message names the file and line (and key, where there is one); the
// number is the conversion's failure number, or that of a type mismatch for
// a line that is no "Name = value".
class PropertyFileError : public std::runtime_error {
public:
    explicit PropertyFileError(const std::string& message, std::int32_t number = static_cast<std::int32_t>(FailureNumber::TypeMismatch))
        : std::runtime_error(message), number_(number) {}
    std::int32_t number() const noexcept { return number_; }

private:
    std::int32_t number_;
};

class PropertyFile final : public PropertyBag {
public:
    explicit PropertyFile(std::string path) : path_(std::move(path)) {}

    const std::string& path() const { return path_; }

    // Reads the file (a missing file is an empty document). After it, the
    // bag answers read() with the file's values, so a host can learn what a
    // control will be configured for before it creates the control.
    // Throws PropertyFileError.
    void readFile();
    // Hands the document read by readFile to readProperties; a conversion
    // failure becomes a PropertyFileError naming file, line and key.
    void loadInto(const std::function<void(PropertyBag&)>& readProperties);
    // readFile, then loadInto.
    void load(const std::function<void(PropertyBag&)>& readProperties) {
        readFile();
        loadInto(readProperties);
    }
    // Collects what writeProperties writes and replaces the file with it.
    // Throws PropertyFileError.
    void save(const std::function<void(PropertyBag&)>& writeProperties);

    PropertyValue read(std::string_view key, const PropertyValue& defaultValue) override;
    void write(std::string_view key, const PropertyValue& value, const PropertyValue& defaultValue) override;

    // The text forms, shared by load and save.
    static std::string formatValue(const PropertyValue& value);
    // Parses the text after '='; throws std::invalid_argument with the reason.
    static PropertyValue parseValue(std::string_view text);

private:
    struct Entry {
        std::string key;
        PropertyValue value;
        int line = 0;
    };
    void parse(const std::string& text);
    Entry* find(std::string_view key);

    std::string path_;
    std::vector<Entry> entries_;  // in file order
    std::string readingKey_;
};

}  // namespace orva::qt
