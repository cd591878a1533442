#include "hosts/property_file.h"

#include "hosts/durable_file.h"
#include "hosts/file_descriptor.h"
#include "hosts/keyed_text.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/failure.h"
#include "platform/overloaded.h"

#include <optional>

namespace orva::host {
namespace {

constexpr std::int32_t kFileFailure = static_cast<std::int32_t>(FailureNumber::InternalFailure);

[[noreturn]] void fail(const std::string& path, const std::string& what) {
    throw PropertyFileError(path + ": " + what, kFileFailure);
}

std::string errnoText(int error) { return std::strerror(error); }

const char* kindOf(mode_t mode) {
    if (S_ISCHR(mode)) return "a character device";
    if (S_ISBLK(mode)) return "a block device";
    if (S_ISDIR(mode)) return "a directory";
    if (S_ISFIFO(mode)) return "a FIFO";
    if (S_ISSOCK(mode)) return "a socket";
    return "not a regular file";
}

// What a save would replace, checked before the host starts and again at
// the save: a regular file with one name, of this user (root may keep any
// owner), in a folder this user can write. Returns the path to write, the
// link's target for a symbolic link. Empty `existing` when there is no file.
std::string checkTarget(const std::string& path, std::optional<struct stat>& existing) {
    existing.reset();
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) fail(path, "cannot be examined: " + errnoText(errno));
        struct stat link{};
        if (::lstat(path.c_str(), &link) == 0) fail(path, "is a symbolic link to nothing; properties are only saved to a regular file");
    } else {
        if (!S_ISREG(st.st_mode))
            fail(path, std::string("is ") + kindOf(st.st_mode) + "; properties are only saved to a regular file");
        if (st.st_nlink > 1)
            fail(path, "has " + std::to_string(st.st_nlink) +
                           " names (hard links) and a save would separate them; use a symbolic link instead");
        if (st.st_uid != ::geteuid() && ::geteuid() != 0)
            fail(path, "belongs to another user and a save would change its owner");
        existing = st;
    }
    std::string target = path;
    if (existing) {
        char resolved[PATH_MAX];
        if (::realpath(path.c_str(), resolved) == nullptr) fail(path, "cannot be resolved: " + errnoText(errno));
        target = resolved;
    }
    const auto slash = target.rfind('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : target.substr(0, slash);
    if (::access(folder.c_str(), W_OK | X_OK) != 0)
        fail(path, "cannot be saved: the folder " + folder + " is not writable (" + errnoText(errno) + ")");
    return target;
}

}  // namespace

PropertyValue PropertyFile::parseValue(std::string_view text) {
    text = trimBlanks(text);
    if (!text.empty() && text.front() == '"') return unquoteText(text);
    if (text == "True") return true;
    if (text == "False") return false;
    const char* first = text.data();
    const char* last = text.data() + text.size();
    std::int32_t integer = 0;
    if (auto [end, error] = std::from_chars(first, last, integer); error == std::errc{} && end == last && !text.empty())
        return integer;
    double number = 0;
    if (auto [end, error] = std::from_chars(first, last, number); error == std::errc{} && end == last && !text.empty())
        return number;
    return std::string(text);  // a bare word: the control's conversion judges it
}

std::string PropertyFile::formatValue(const PropertyValue& value) {
    return std::visit(Overloaded{
                          [](std::monostate) { return std::string(); },
                          [](bool b) { return std::string(b ? "True" : "False"); },
                          [](std::int32_t i) { return std::to_string(i); },
                          [](double d) {
                              char buffer[64];
                              const auto result = std::to_chars(buffer, buffer + sizeof buffer, d);
                              std::string text(buffer, result.ptr);
                              // Keep it a double when read back.
                              if (text.find_first_of(".eEn") == std::string::npos) text += ".0";
                              return text;
                          },
                          [](const std::string& s) { return quoteText(s); },
                      },
                      value);
}

void PropertyFile::parse(const std::string& text) {
    std::vector<Line> lines;
    std::vector<Entry> entries;
    std::unordered_map<std::string, std::size_t> index;
    // Editors on some systems start a UTF-8 file with a byte-order mark; it
    // is not part of the first property's name, and a save keeps it.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    const std::size_t skip = text.rfind(kByteOrderMark, 0) == 0 ? kByteOrderMark.size() : 0;
    int lineNumber = 0;
    for (std::size_t at = 0; at < text.size();) {
        const std::size_t newline = text.find('\n', at);
        const std::size_t stop = newline == std::string::npos ? text.size() : newline;
        Line line;
        line.text = text.substr(at, stop - at);
        line.end = newline == std::string::npos ? "" : "\n";
        if (!line.text.empty() && line.text.back() == '\r') {
            line.text.pop_back();
            line.end = "\r" + line.end;
        }
        at = newline == std::string::npos ? text.size() : newline + 1;
        ++lineNumber;
        const std::string_view content = trimBlanks(std::string_view(line.text).substr(lineNumber == 1 ? skip : 0));
        if (!content.empty() && content.front() != '#') {
            const auto where = path_ + ":" + std::to_string(lineNumber) + ": ";
            const auto equals = content.find('=');
            if (equals == std::string_view::npos) throw PropertyFileError(where + "expected Name = value");
            std::string key(trimBlanks(content.substr(0, equals)));
            if (key.empty()) throw PropertyFileError(where + "a property name is missing before '='");
            if (const auto seen = index.find(key); seen != index.end())
                throw PropertyFileError(where + key + ": already given on line " + std::to_string(entries[seen->second].line));
            try {
                entries.push_back({key, parseValue(content.substr(equals + 1)), lineNumber});
            } catch (const std::invalid_argument& error) {
                throw PropertyFileError(where + key + ": " + error.what());
            }
            index.emplace(std::move(key), entries.size() - 1);
            line.entry = static_cast<int>(entries.size() - 1);
        }
        lines.push_back(std::move(line));
    }
    lines_ = std::move(lines);
    entries_ = std::move(entries);
    index_ = std::move(index);
}

PropertyFile::Entry* PropertyFile::find(std::string_view key) {
    const auto found = index_.find(std::string(key));
    return found == index_.end() ? nullptr : &entries_[found->second];
}

const PropertyFile::Entry* PropertyFile::find(std::string_view key) const {
    const auto found = index_.find(std::string(key));
    return found == index_.end() ? nullptr : &entries_[found->second];
}

int PropertyFile::lineOf(std::string_view key) const {
    const Entry* entry = find(key);
    return entry != nullptr ? entry->line : 0;
}

std::vector<std::string> PropertyFile::caseMismatches(const std::vector<std::string_view>& names) const {
    auto lower = [](std::string_view text) {
        std::string out(text);
        for (char& c : out)
            if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
        return out;
    };
    std::vector<std::string> warnings;
    for (const auto& entry : entries_) {
        if (entry.line == 0) continue;
        for (const auto name : names) {
            if (entry.key != name && lower(entry.key) == lower(name)) {
                warnings.push_back(path_ + ":" + std::to_string(entry.line) + ": " + entry.key + " is not " +
                                   std::string(name) + ": names are case-sensitive, this line is not used");
            }
        }
    }
    return warnings;
}

void PropertyFile::readFile() {
    read_ = false;
    lines_.clear();
    entries_.clear();
    index_.clear();
    std::optional<struct stat> existing;
    checkTarget(path_, existing);
    // What a save killed half-way left behind is of no use to anyone.
    removeStaleTemporaries(path_);
    read_ = true;
    if (!existing) return;  // a new document

    // Never waits: a FIFO put there since the check opens at once and is
    // refused below.
    FileDescriptor fd(::open(path_.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (fd.get() < 0) fail(path_, "cannot read: " + errnoText(errno));
    struct stat st{};
    if (::fstat(fd.get(), &st) != 0) fail(path_, "cannot read: " + errnoText(errno));
    if (!S_ISREG(st.st_mode)) fail(path_, std::string("is ") + kindOf(st.st_mode) + "; properties are only saved to a regular file");
    if (static_cast<std::uintmax_t>(st.st_size) > kMaxFileSize)
        fail(path_, "is " + std::to_string(st.st_size) + " bytes, more than a properties file may hold (" +
                        std::to_string(kMaxFileSize) + ")");
    std::string text;
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(path_, "cannot read: " + errnoText(errno));
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxFileSize) fail(path_, "grew beyond the size a properties file may hold while it was read");
    }
    parse(text);
}

void PropertyFile::loadInto(const std::function<void(PropertyBag&)>& readProperties) {
    readingKey_.clear();
    try {
        readProperties(*this);
    } catch (const Failure& failure) {
        const Entry* entry = find(readingKey_);
        const std::string line = entry != nullptr ? std::to_string(entry->line) : "?";
        throw PropertyFileError(path_ + ":" + line + ": " + readingKey_ + ": " + failure.description() +
                                " (error " + std::to_string(failure.number()) + ")",
                                failure.number());
    }
}

PropertyValue PropertyFile::read(std::string_view key, const PropertyValue& defaultValue) {
    readingKey_.assign(key);
    const Entry* entry = find(key);
    return entry != nullptr ? entry->value : defaultValue;
}

void PropertyFile::write(std::string_view key, const PropertyValue& value, const PropertyValue&) {
    // Every value is written, defaults included: the file is also for people
    // to read and edit.
    if (Entry* entry = find(key)) {
        if (entry->value != value) {
            entry->value = value;
            entry->changed = true;
        }
        return;
    }
    entries_.push_back({std::string(key), value, 0, true});
    index_.emplace(std::string(key), entries_.size() - 1);
}

std::string PropertyFile::render() const {
    std::string text;
    if (lines_.empty()) text = "# Weighing terminal control properties\n";
    for (const auto& line : lines_) {
        if (line.entry >= 0 && entries_[static_cast<std::size_t>(line.entry)].changed) {
            // The name and the spacing around '=' stay as the user wrote them.
            const auto equals = line.text.find('=');
            const auto valueStart = line.text.find_first_not_of(" \t", equals + 1);
            std::string prefix = line.text.substr(0, valueStart == std::string::npos ? line.text.size() : valueStart);
            if (valueStart == std::string::npos && prefix.back() == '=') prefix += ' ';
            text += prefix + formatValue(entries_[static_cast<std::size_t>(line.entry)].value);
        } else {
            text += line.text;
        }
        text += line.end;
    }
    if (!text.empty() && text.back() != '\n') text += lines_.empty() || lines_.front().end.size() != 2 ? "\n" : "\r\n";
    for (const auto& entry : entries_) {
        if (entry.line != 0 || std::holds_alternative<std::monostate>(entry.value)) continue;
        text += entry.key + " = " + formatValue(entry.value) + "\n";
    }
    return text;
}

void PropertyFile::save(const std::function<void(PropertyBag&)>& writeProperties) {
    // A document never read is read now, so that the user's text is kept
    // and a file that may not be replaced is refused.
    if (!read_) readFile();
    writeProperties(*this);
    std::optional<struct stat> existing;
    checkTarget(path_, existing);
    const std::string text = render();
    std::string remark;
    try {
        remark = replaceFileDurably(path_, text);
    } catch (const FileWriteError& error) {
        throw PropertyFileError(error.what(), kFileFailure);
    }
    // The document is now what was written, lines and all: the next save
    // starts from it, not from the text first read.
    parse(text);
    if (!remark.empty()) throw PropertyFileError(remark, kFileFailure);
}

}  // namespace orva::host
