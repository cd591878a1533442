#include "service/property_writer.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "hosts/place_control.h"
#include "platform/qt/durable_file.h"
#include "platform/serial_settings.h"
#include "service/fd_serial_port.h"
#include "service/service_config.h"
#include "service/service_scale.h"

namespace orva::service {

bool savedToFile(const ConfigFile* file, const QString& scaleId) {
    if (file == nullptr) return false;
    const auto& scales = file->config().scales;
    const std::string id = scaleId.toStdString();
    return std::any_of(scales.begin(), scales.end(), [&](const ScaleConfig& s) { return s.id == id; });
}

std::variant<WrittenProperties, Refusal> writeProperties(ServiceScale& scale, const QByteArray& body, ConfigFile* file) {
    auto parsed = propertyWrites(body);
    if (auto* refusal = std::get_if<Refusal>(&parsed)) return std::move(*refusal);
    const auto& writes = std::get<std::vector<PropertyWrite>>(parsed);

    // Settings a terminal cannot take would be refused by the port at the next
    // poll and the old ones put back, after the file had been given the new:
    // refused before anything is written.
    if (!parseTcpEndpoint(scale.port().toStdString())) {
        for (const PropertyWrite& w : writes) {
            if (w.name != "ComSetting") continue;
            const QString text = std::get<QString>(w.value);
            const std::string why = terminalSettingsRefusal(*parseSerialSettings(text.toStdString()));
            if (!why.empty())
                return Refusal{400, QString("ComSetting \"%1\" cannot be used: %2").arg(text, QString::fromStdString(why))};
        }
    }

    // A port number that names no device, or another scale's device, would
    // leave this scale dark or show that terminal's load as this scale's.
    for (const PropertyWrite& w : writes) {
        if (w.name != "ComNumber") continue;
        const QString text = std::get<QString>(w.value);
        if (const std::string why = scale.comNumberRefusal(text.toStdString()); !why.empty())
            return Refusal{400, QString("ComNumber \"%1\" cannot be used: %2").arg(text, QString::fromStdString(why))};
    }

    ActivexORVA& c = scale.control();
    // What the control holds now, put back when the file cannot take the write.
    const std::int16_t oldMinFixVes = c.MinFixVes(), oldDecPoint = c.DecPoint();
    const std::string oldComSetting = c.ComSetting(), oldComNumber = c.ComNumber();
    WrittenProperties result;
    for (const PropertyWrite& w : writes) {
        if (const auto* n = std::get_if<std::int16_t>(&w.value)) {
            if (w.name == "MinFixVes") c.setMinFixVes(*n);
            else c.setDecPoint(*n);
        } else {
            const std::string text = std::get<QString>(w.value).toStdString();
            if (w.name == "ComSetting") c.setComSetting(text);
            else c.setComNumber(text);
        }
    }
    // What is saved is what the control holds after its writes, not what was asked.
    std::vector<std::pair<std::string, std::string>> saved;
    for (const PropertyWrite& w : writes) {
        const std::string name = w.name.toStdString();
        const std::string value = name == "MinFixVes"  ? std::to_string(c.MinFixVes())
                                  : name == "DecPoint" ? std::to_string(c.DecPoint())
                                  : name == "ComSetting" ? c.ComSetting()
                                                         : c.ComNumber();
        saved.emplace_back(name, value);
        result.written += (result.written.empty() ? "" : ", ") + name + "=" + value;
    }
    result.properties = QJsonObject{{"MinFixVes", c.MinFixVes()},
                                    {"DecPoint", c.DecPoint()},
                                    {"ComSetting", QString::fromStdString(c.ComSetting())},
                                    {"ComNumber", QString::fromStdString(c.ComNumber())}};
    if (savedToFile(file, scale.id())) {
        // A write the file did not take is not done: the control gets its
        // old values back and the answer is an error, so that what runs is
        // what the next start will run.
        auto undo = [&] {
            c.setMinFixVes(oldMinFixVes);
            c.setDecPoint(oldDecPoint);
            c.setComSetting(oldComSetting);
            c.setComNumber(oldComNumber);
        };
        try {
            file->save(scale.id().toStdString(), saved);
            result.saved = true;
        } catch (const qt::FileWriteError& e) {
            undo();
            return Refusal{e.noSpace() ? 507 : 500, QString("not written: %1").arg(QString::fromStdString(e.what()))};
        } catch (const ConfigError& e) {
            undo();
            return Refusal{500, QString("not written: %1").arg(QString::fromStdString(e.what()))};
        }
    }
    return result;
}

}  // namespace orva::service
