#include "service/property_writer.h"

#include <algorithm>
#include <utility>
#include <vector>

#include "control/property_table.h"
#include "hosts/durable_file.h"
#include "platform/serial_settings.h"
#include "service/fd_serial_port.h"
#include "service/service_config.h"
#include "service/service_scale.h"

namespace orva::service {

QJsonObject propertiesJson(const ActivexORVA& control, bool remotelyWritableOnly) {
    QJsonObject out;
    for (const PropertyInfo& p : propertyTable()) {
        if (remotelyWritableOnly && !p.remotelyWritable) continue;
        if (p.type == PropertyType::Integer) out.insert(QString::fromUtf8(p.name.data(), static_cast<qsizetype>(p.name.size())), control.properties().*p.integer);
        else out.insert(QString::fromUtf8(p.name.data(), static_cast<qsizetype>(p.name.size())), QString::fromStdString(control.properties().*p.text));
    }
    return out;
}

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
    if (!parseTcpEndpoint(scale.device().toStdString())) {
        for (const PropertyWrite& w : writes) {
            if (findProperty(w.name.toStdString())->form != TextForm::LineSettings) continue;
            const QString text = std::get<QString>(w.value);
            const std::string why = terminalSettingsRefusal(*parseSerialSettings(text.toStdString()));
            if (!why.empty())
                return Refusal{400, QString("ComSetting \"%1\" cannot be used: %2").arg(text, QString::fromStdString(why))};
        }
    }

    // A port number is written as plain decimal digits: the control would read
    // "&H1", "1e0", "0.6" or " 1" as some number, and the file keep the text.
    for (const PropertyWrite& w : writes) {
        if (findProperty(w.name.toStdString())->form != TextForm::PortNumber) continue;
        const QString text = std::get<QString>(w.value);
        if (text.isEmpty() || text.size() > 5 || !std::all_of(text.begin(), text.end(), [](QChar c) { return c >= '0' && c <= '9'; }))
            return Refusal{400, QString("ComNumber \"%1\" is not a port number: write it in plain decimal digits, such as \"3\"").arg(text)};
    }
    if (savedToFile(file, scale.id()))
        if (const std::string why = file->readOnlyReason(); !why.empty())
            return Refusal{403, QString("not written: %1").arg(QString::fromStdString(why))};

    // A port number that names no device, or another scale's device, would
    // leave this scale dark or show that terminal's load as this scale's.
    for (const PropertyWrite& w : writes) {
        if (findProperty(w.name.toStdString())->form != TextForm::PortNumber) continue;
        const QString text = std::get<QString>(w.value);
        if (const std::string why = scale.comNumberRefusal(text.toStdString()); !why.empty())
            return Refusal{400, QString("ComNumber \"%1\" cannot be used: %2").arg(text, QString::fromStdString(why))};
    }

    ActivexORVA& c = scale.control();
    // What the control holds now, put back when the file cannot take the write.
    std::vector<std::pair<const PropertyInfo*, PropertyValue>> old;
    for (const PropertyInfo& p : propertyTable())
        if (p.remotelyWritable) old.emplace_back(&p, p.read(c));
    WrittenProperties result;
    for (const PropertyWrite& w : writes) {
        const PropertyInfo& p = *findProperty(w.name.toStdString());  // propertyWrites named it
        if (const auto* n = std::get_if<std::int16_t>(&w.value)) p.write(c, static_cast<std::int32_t>(*n));
        else p.write(c, std::get<QString>(w.value).toStdString());
    }
    // What is saved is what the control holds after its writes, not what was asked.
    std::vector<std::pair<std::string, std::string>> saved;
    for (const PropertyWrite& w : writes) {
        const std::string name = w.name.toStdString();
        const std::string value = findProperty(name)->textOf(c);
        saved.emplace_back(name, value);
        result.written += (result.written.empty() ? "" : ", ") + name + "=" + value;
    }
    result.properties = propertiesJson(c, true);
    if (savedToFile(file, scale.id())) {
        // A write the file did not take is not done: the control gets its
        // old values back and the answer is an error, so that what runs is
        // what the next start will run.
        auto undo = [&] {
            for (const auto& [p, value] : old) p->write(c, value);
        };
        try {
            file->save(scale.id().toStdString(), saved);
            result.saved = true;
            for (const auto& [name, value] : saved) scale.propertySaved(name, value);
        } catch (const host::FileWriteError& e) {
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
