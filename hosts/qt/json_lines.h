#pragma once
// The monitor's JSON-lines output: one object per line, each with "t_ms"
// (milliseconds since the control was created), "time" (the wall clock,
// RFC 3339 UTC with milliseconds) and "event". Weights are JSON numbers in their shortest form that reads
// back as the same double (null for an infinity or NaN, which JSON cannot
// carry); strings are UTF-8, with any byte that is not valid UTF-8 replaced
// by U+FFFD so that every line stays valid JSON.

#include <cstdint>
#include <cstdio>
#include <functional>
#include <string>
#include <string_view>

#include "control/activex_orva.h"
#include "acquisition/control_events.h"
#include "platform/property_bag.h"
#include "platform/user_notice.h"

namespace orva::host {

std::string jsonString(std::string_view utf8);
std::string jsonNumber(double value);

// "2026-12-08T10:15:02.031Z": now, UTC, milliseconds.
std::string utcTimestamp();

// Builds one line: {"t_ms":T,"time":"...","event":"E", ...}.
class JsonLine {
public:
    JsonLine(long long tMs, std::string_view event);
    JsonLine& number(std::string_view key, double value);
    JsonLine& integer(std::string_view key, long long value);
    JsonLine& text(std::string_view key, std::string_view value);
    // The text, or null when it is empty (a port's reason while it is open).
    JsonLine& textOrNull(std::string_view key, std::string_view value);
    JsonLine& raw(std::string_view key, std::string_view json);
    std::string str() const { return text_ + "}"; }

private:
    void key(std::string_view key);
    std::string text_;
};

// One builder per event, so that the monitor's --json and the service's
// events carry the same shapes.
JsonLine stabVesLine(long long tMs, double VesBrutoNVT);
JsonLine changeVesLine(long long tMs, double VesChange);
JsonLine vesStatusLine(long long tMs, std::int16_t VesNul, std::int16_t VesOk, std::int16_t VesTara, std::int16_t VesMax);
JsonLine propertyChangedLine(long long tMs, std::string_view name);
JsonLine messageLine(long long tMs, std::string_view utf8Text);
JsonLine beepLine(long long tMs);
JsonLine errorLine(long long tMs, std::int32_t number, std::string_view description);

// The "Decode" line: the panel as the decode left it (frame, weight and type
// labels, lamp fills) and the four properties the reading wrote. One shape
// for the monitor's --json and the service's events.
JsonLine decodeLine(long long tMs, const ActivexORVA& control);

// Writes the control's events, property notifications, messages, beeps,
// decodes and errors as JSON lines. As a notice it can pass messages and
// beeps on to another one (a window's), after writing them.
class JsonEventWriter final : public ControlEvents, public PropertyChangeSink, public UserNotice {
public:
    using Clock = std::function<long long()>;
    JsonEventWriter(std::FILE* out, Clock clock, UserNotice* forward = nullptr)
        : out_(out), clock_(std::move(clock)), forward_(forward) {}

    void StabVes(double VesBrutoNVT) override;
    void ChangeVes(double VesChange) override;
    void VesStatus(std::int16_t VesNul, std::int16_t& VesOk, std::int16_t& VesTara, std::int16_t& VesMax) override;
    void propertyChanged(std::string_view propertyName) override;
    void messageBox(std::string_view utf8Text) override;
    void beep() override;
    void tickFailed(const Failure& failure) override;

    void decoded(const ActivexORVA& control);
    void error(std::int32_t number, std::string_view description);
    void warning(std::string_view text);
    // {"event":"Port","open":true} or {"event":"Port","open":false,"reason":"..."}
    void port(bool open, std::string_view reason);
    // Told once when a line cannot be written (the reader went away, the disk
    // is full), with the system's reason, so the host can end with an error
    // and keep its document rather than poll unheard.
    void setOnOutputFailed(std::function<void(const std::string&)> onFailed) { onOutputFailed_ = std::move(onFailed); }

private:
    void writeLine(const JsonLine& line);

    std::FILE* out_;
    Clock clock_;
    UserNotice* forward_;
    std::function<void(const std::string&)> onOutputFailed_;
    bool failed_ = false;
};

}  // namespace orva::host
