#include "service/modbus/modbus_settings.h"

#include <charconv>
#include <set>
#include <stdexcept>

#include "service/service_config.h"

namespace orva::modbus {
namespace {

using orva::service::FaceLine;
using orva::service::FaceSettingsError;

int number(const FaceLine& l, int low, int high, const char* what) {
    int n = 0;
    const auto [end, ec] = std::from_chars(l.value.data(), l.value.data() + l.value.size(), n);
    if (l.value.empty() || ec != std::errc() || end != l.value.data() + l.value.size() || n < low || n > high)
        throw FaceSettingsError(l.line, l.key + " must be " + what + ", " + std::to_string(low) + " to " + std::to_string(high) +
                                            " (not \"" + l.value + "\")");
    return n;
}

}  // namespace

std::shared_ptr<const ModbusSettings> parseModbusSettings(const orva::service::FaceInput& input) {
    auto settings = std::make_shared<ModbusSettings>();
    for (const FaceLine& l : input.section) {
        if (l.key == "listen") {
            try {
                std::tie(settings->host, settings->port) = orva::service::parseListen(l.value);
            } catch (const std::invalid_argument& e) {
                throw FaceSettingsError(l.line, e.what());
            }
        } else if (l.key == "allow_from") {
            std::string why;
            auto list = orva::service::AllowList::parse(l.value, &why);
            if (!list) throw FaceSettingsError(l.line, "allow_from: " + why);
            settings->allowFrom = *list;
        } else if (l.key == "max_clients") {
            settings->maxClients = number(l, 1, 1024, "a whole number");
        } else if (l.key == "idle_timeout_ms") {
            settings->idleTimeoutMs = number(l, 100, 86'400'000, "a whole number of milliseconds");
        } else if (l.key == "word_order") {
            if (l.value == "big") settings->littleEndianWords = false;
            else if (l.value == "little") settings->littleEndianWords = true;
            else throw FaceSettingsError(l.line, "word_order must be big (high word first) or little (low word first), not \"" + l.value + "\"");
        } else {
            throw FaceSettingsError(l.line, "unknown key \"" + l.key +
                                                "\" in [modbus] (listen, allow_from, max_clients, idle_timeout_ms, word_order)");
        }
    }
    // Every scale's keys are checked, whether or not Modbus runs: a file
    // that is wrong is wrong before the section is added.
    std::map<int, std::pair<std::string, int>> taken;  // unit -> scale, line
    int place = 0;
    for (const auto& scale : input.scales) {
        ++place;
        std::optional<int> unit;
        int unitLine = scale.sectionLine;
        int decimals = ModbusSettings::kDefaultDecimals;
        for (const FaceLine& l : scale.keys) {
            if (l.key == "modbus_unit") {
                unit = number(l, 1, 247, "a unit identifier");
                unitLine = l.line;
            } else if (l.key == "modbus_decimals") {
                decimals = number(l, 0, 6, "a number of decimals");
            } else {
                throw FaceSettingsError(l.line, "unknown key \"" + l.key + "\" in scale [" + scale.id +
                                                    "] (modbus_unit, modbus_decimals)");
            }
        }
        // A scale past the 247th with no unit of its own is not on Modbus.
        if (!unit && place <= 247) unit = place;
        settings->decimals[scale.id] = decimals;
        if (!unit) continue;
        const auto [other, fresh] = taken.emplace(*unit, std::make_pair(scale.id, unitLine));
        if (!fresh)
            throw FaceSettingsError(unitLine, "scales [" + other->second.first + "] and [" + scale.id + "] are both on Modbus unit " +
                                                  std::to_string(*unit) + " (a scale without modbus_unit takes its place in the file)");
        settings->units[*unit] = scale.id;
    }
    if (input.sectionLine == 0) return nullptr;
    return settings;
}

}  // namespace orva::modbus
