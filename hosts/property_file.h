#pragma once
// The host's document for one control: a text file with one "Name = value"
// line per property. Strings are quoted, with \" \\ \n \r \t and \xHH
// escapes; integers are plain decimal; True and False are booleans; a number
// with a fraction or exponent is a double. Blank lines and lines starting
// with '#' are comments. A value that is none of these (an unquoted word) is
// read as text, so that the control's own conversion decides whether it
// fits the property.
//
// The document is the user's file, so it is handled with care:
// - Only a regular file (or a symbolic link to one, saved through the link)
//   is read and written. A device, a directory, a FIFO, a file with more
//   than one name (hard links), a file of another user, a file larger than
//   kMaxFileSize, or one whose folder cannot be written are refused by
//   readFile, before the host starts, never at the save.
// - Opening never waits (a FIFO is refused, not read).
// - Reading is linear in the size of the file.
// - Save changes only the values of the keys written to it: comments,
//   blank lines, the order, the line ends and keys the control does not
//   know stay as they were. New keys go at the end.
// - Save writes a new file beside the old one with the old one's owner,
//   group and mode, flushes it to disk, renames it over the old one and
//   flushes the folder, so an interrupted save never leaves half a file.
// Load reads the whole file first and gives the control nothing unless the
// file is well formed. A value the control cannot convert ends the load with
// an error naming the file, the line and the key.

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "platform/failure.h"
#include "platform/property_bag.h"

namespace orva::host {

// The message names the file and line (and key, where there is one); the
// number is the conversion's failure number, or that of a type mismatch for
// a line that is no "Name = value".
class PropertyFileError : public Failure {
public:
    explicit PropertyFileError(const std::string& message, std::int32_t number = static_cast<std::int32_t>(FailureNumber::TypeMismatch))
        : Failure(number, message) {}
};

class PropertyFile final : public PropertyBag {
public:
    // A property document is a few hundred bytes; this leaves room for
    // comments while keeping a mistaken path (a log, an image) out.
    static constexpr std::size_t kMaxFileSize = 1024 * 1024;

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
    // Collects what writeProperties writes and replaces the file with it
    // (reading it first when readFile has not). Throws PropertyFileError.
    void save(const std::function<void(PropertyBag&)>& writeProperties);

    PropertyValue read(std::string_view key, const PropertyValue& defaultValue) override;
    void write(std::string_view key, const PropertyValue& value, const PropertyValue& defaultValue) override;

    // One line per key of the document that differs from one of `names`
    // only in letter case ("scale.props:3: decpoint is not DecPoint: names
    // are case-sensitive, this line is not used"), in file order.
    std::vector<std::string> caseMismatches(const std::vector<std::string_view>& names) const;
    // The line a key stands on, 0 when the document does not hold it.
    int lineOf(std::string_view key) const;

    // The text forms, shared by load and save.
    static std::string formatValue(const PropertyValue& value);
    // Parses the text after '='; throws std::invalid_argument with the reason.
    static PropertyValue parseValue(std::string_view text);

private:
    struct Entry {
        std::string key;
        PropertyValue value;
        int line = 0;          // 1-based; 0 for a key added by a save
        bool changed = false;  // written with a value other than the file's
    };
    struct Line {
        std::string text;  // without its line end
        std::string end;   // "\n", "\r\n" or "" for a last line without one
        int entry = -1;    // index into entries_ for a "Name = value" line
    };
    void parse(const std::string& text);
    Entry* find(std::string_view key);
    const Entry* find(std::string_view key) const;
    std::string render() const;

    std::string path_;
    bool read_ = false;
    std::vector<Line> lines_;
    std::vector<Entry> entries_;  // in file order, then keys added by saves
    std::unordered_map<std::string, std::size_t> index_;
    std::string readingKey_;
};

}  // namespace orva::host
