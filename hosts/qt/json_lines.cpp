#include "hosts/qt/json_lines.h"

#include <QDateTime>
#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstring>

#include "control/property_table.h"
#include "hosts/utf8.h"
#include "platform/failure.h"

namespace orva::host {
namespace {

}  // namespace

std::string jsonString(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const auto c = static_cast<unsigned char>(s[i]);
        if (c >= 0x80) {
            const std::size_t n = utf8SequenceAt(s, i).length;
            if (n == 0) {
                out += "\\ufffd";
                ++i;
            } else {
                out.append(s, i, n);
                i += n;
            }
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20 || c == 0x7f) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\u%04x", c);
                    out += escaped;
                } else {
                    out += static_cast<char>(c);
                }
        }
        ++i;
    }
    return out + "\"";
}

std::string jsonNumber(double value) {
    if (!std::isfinite(value)) return "null";
    if (value == 0) return "0";  // -0 too
    char buffer[64];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    return std::string(buffer, result.ptr);
}

std::string utcTimestamp() {
    return QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toStdString();
}

JsonLine::JsonLine(long long tMs, std::string_view event) {
    text_ = "{\"t_ms\":" + std::to_string(tMs) + ",\"time\":" + jsonString(utcTimestamp()) +
            ",\"event\":" + jsonString(event);
}

void JsonLine::key(std::string_view key) { text_ += "," + jsonString(key) + ":"; }

JsonLine& JsonLine::number(std::string_view k, double value) {
    key(k);
    text_ += jsonNumber(value);
    return *this;
}
JsonLine& JsonLine::integer(std::string_view k, long long value) {
    key(k);
    text_ += std::to_string(value);
    return *this;
}
JsonLine& JsonLine::text(std::string_view k, std::string_view value) {
    key(k);
    text_ += jsonString(value);
    return *this;
}
JsonLine& JsonLine::textOrNull(std::string_view k, std::string_view value) {
    if (value.empty()) return raw(k, "null");
    return text(k, value);
}
JsonLine& JsonLine::raw(std::string_view k, std::string_view json) {
    key(k);
    text_ += json;
    return *this;
}

void JsonEventWriter::writeLine(const JsonLine& line) {
    const std::string text = line.str() + "\n";
    if (failed_) return;
    errno = 0;
    const bool written = std::fwrite(text.data(), 1, text.size(), out_) == text.size();
    if (written && std::fflush(out_) == 0) return;  // a reader sees each line as it happens
    const int error = errno;
    failed_ = true;
    if (onOutputFailed_) onOutputFailed_(error != 0 ? std::strerror(error) : "write failed");
}

JsonLine stabVesLine(long long tMs, double w) { return JsonLine(tMs, "StabVes").number("VesBrutoNVT", w); }
JsonLine changeVesLine(long long tMs, double w) { return JsonLine(tMs, "ChangeVes").number("VesChange", w); }
JsonLine vesStatusLine(long long tMs, std::int16_t nul, std::int16_t ok, std::int16_t tara, std::int16_t max) {
    return JsonLine(tMs, "VesStatus").integer("VesNul", nul).integer("VesOk", ok).integer("VesTara", tara).integer("VesMax", max);
}
JsonLine propertyChangedLine(long long tMs, std::string_view name) {
    return JsonLine(tMs, "PropertyChanged").text("name", name);
}
JsonLine messageLine(long long tMs, std::string_view text) { return JsonLine(tMs, "Message").text("text", text); }
JsonLine beepLine(long long tMs) { return JsonLine(tMs, "Beep"); }
JsonLine errorLine(long long tMs, std::int32_t number, std::string_view description) {
    return JsonLine(tMs, "Error").integer("number", number).text("description", description);
}

void JsonEventWriter::StabVes(double w) { writeLine(stabVesLine(clock_(), w)); }
void JsonEventWriter::ChangeVes(double w) { writeLine(changeVesLine(clock_(), w)); }
void JsonEventWriter::VesStatus(std::int16_t nul, std::int16_t& ok, std::int16_t& tara, std::int16_t& max) {
    writeLine(vesStatusLine(clock_(), nul, ok, tara, max));
}
void JsonEventWriter::propertyChanged(std::string_view name) { writeLine(propertyChangedLine(clock_(), name)); }
void JsonEventWriter::messageBox(std::string_view text) {
    writeLine(messageLine(clock_(), text));
    if (forward_ != nullptr) forward_->messageBox(text);
}
void JsonEventWriter::beep() {
    writeLine(beepLine(clock_()));
    if (forward_ != nullptr) forward_->beep();
}
void JsonEventWriter::tickFailed(const Failure& failure) { error(failure.number(), failure.description()); }

void JsonEventWriter::error(std::int32_t number, std::string_view description) {
    writeLine(errorLine(clock_(), number, description));
}

void JsonEventWriter::warning(std::string_view text) { writeLine(JsonLine(clock_(), "Warning").text("text", text)); }

void JsonEventWriter::port(bool open, std::string_view reason) {
    JsonLine line(clock_(), "Port");
    line.raw("open", open ? "true" : "false");
    line.textOrNull("reason", open ? std::string_view() : reason);
    writeLine(line);
}

JsonLine decodeLine(long long tMs, const ActivexORVA& control) {
    const PanelModel& p = control.panel();
    auto fills = [](auto lamp, std::size_t count) {
        std::string list = "[";
        for (std::size_t i = 0; i < count; ++i) list += (i ? "," : "") + std::to_string(lamp(i).fill);
        return list + "]";
    };
    JsonLine line(tMs, "Decode");
    line.text("Frame1", p.Frame1().text)
        .text("Label2", p.Label2().text)
        .text("Label3", p.Label3().text)
        .raw("Shape1", fills([&](std::size_t i) { return p.Shape1(i); }, PanelModel::kStabilityLamps))
        .raw("Shape2", fills([&](std::size_t i) { return p.Shape2(i); }, PanelModel::kStatusLamps));
    // The properties the reading writes, in the table's order.
    for (const PropertyInfo& property : propertyTable())
        if (!property.remotelyWritable) line.text(property.name, property.textOf(control));
    return line;
}

void JsonEventWriter::decoded(const ActivexORVA& control) { writeLine(decodeLine(clock_(), control)); }

}  // namespace orva::host
