#include "platform/qt/property_file.h"

#include <QFile>
#include <QSaveFile>
#include <charconv>
#include <cstdio>
#include <sstream>

#include "platform/failure.h"
#include "platform/overloaded.h"

namespace orva::qt {
namespace {

std::string_view trim(std::string_view text) {
    const auto first = text.find_first_not_of(" \t\r");
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(" \t\r");
    return text.substr(first, last - first + 1);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

std::string unquote(std::string_view text) {
    // text starts with '"'
    std::string out;
    std::size_t i = 1;
    for (; i < text.size() && text[i] != '"'; ++i) {
        if (text[i] != '\\') {
            out += text[i];
            continue;
        }
        if (++i == text.size()) break;
        switch (text[i]) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'x': {
                const int high = i + 1 < text.size() ? hexDigit(text[i + 1]) : -1;
                const int low = i + 2 < text.size() ? hexDigit(text[i + 2]) : -1;
                if (high < 0 || low < 0) throw std::invalid_argument("\\x needs two hexadecimal digits");
                out += static_cast<char>(high * 16 + low);
                i += 2;
                break;
            }
            default: throw std::invalid_argument(std::string("unknown escape \\") + text[i]);
        }
    }
    if (i >= text.size()) throw std::invalid_argument("unterminated string");
    if (!trim(text.substr(i + 1)).empty()) throw std::invalid_argument("text after the closing quote");
    return out;
}

std::string quote(const std::string& text) {
    std::string out = "\"";
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (byte < 0x20 || byte == 0x7f) {
                    char escaped[5];
                    std::snprintf(escaped, sizeof escaped, "\\x%02X", byte);
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    return out + "\"";
}

}  // namespace

PropertyValue PropertyFile::parseValue(std::string_view text) {
    text = trim(text);
    if (!text.empty() && text.front() == '"') return unquote(text);
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
                          [](const std::string& s) { return quote(s); },
                      },
                      value);
}

void PropertyFile::parse(const std::string& text) {
    std::vector<Entry> entries;
    // Editors on some systems start a UTF-8 file with a byte-order mark; it
    // is not part of the first property's name.
    constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";
    std::istringstream lines(text.rfind(kByteOrderMark, 0) == 0 ? text.substr(kByteOrderMark.size()) : text);
    std::string raw;
    int lineNumber = 0;
    while (std::getline(lines, raw)) {
        ++lineNumber;
        const std::string_view line = trim(raw);
        if (line.empty() || line.front() == '#') continue;
        const auto where = path_ + ":" + std::to_string(lineNumber) + ": ";
        const auto equals = line.find('=');
        if (equals == std::string_view::npos) throw PropertyFileError(where + "expected Name = value");
        const std::string key(trim(line.substr(0, equals)));
        if (key.empty()) throw PropertyFileError(where + "a property name is missing before '='");
        for (const auto& e : entries)
            if (e.key == key)
                throw PropertyFileError(where + key + ": already given on line " + std::to_string(e.line));
        try {
            entries.push_back({key, parseValue(line.substr(equals + 1)), lineNumber});
        } catch (const std::invalid_argument& error) {
            throw PropertyFileError(where + key + ": " + error.what());
        }
    }
    entries_ = std::move(entries);
}

PropertyFile::Entry* PropertyFile::find(std::string_view key) {
    for (auto& e : entries_)
        if (e.key == key) return &e;
    return nullptr;
}

void PropertyFile::readFile() {
    QFile file(QString::fromStdString(path_));
    if (file.exists()) {
        if (!file.open(QIODevice::ReadOnly))
            throw PropertyFileError(path_ + ": cannot read: " + file.errorString().toStdString(),
                                    static_cast<std::int32_t>(FailureNumber::InternalFailure));
        parse(file.readAll().toStdString());
    } else {
        entries_.clear();
    }
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
    if (Entry* entry = find(key)) entry->value = value;
    else entries_.push_back({std::string(key), value, 0});
}

void PropertyFile::save(const std::function<void(PropertyBag&)>& writeProperties) {
    writeProperties(*this);
    std::string text = "# Weighing terminal control properties\n";
    for (const auto& e : entries_) {
        if (std::holds_alternative<std::monostate>(e.value)) continue;
        text += e.key + " = " + formatValue(e.value) + "\n";
    }
    QSaveFile file(QString::fromStdString(path_));
    if (!file.open(QIODevice::WriteOnly) || file.write(text.data(), static_cast<qint64>(text.size())) < 0 ||
        !file.commit())
        throw PropertyFileError(path_ + ": cannot save: " + file.errorString().toStdString(),
                                static_cast<std::int32_t>(FailureNumber::InternalFailure));
}

}  // namespace orva::qt
