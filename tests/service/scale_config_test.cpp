// The control's properties as the service's configuration and its write
// requests know them: each property a host sets is a key of a scale's section
// that lands in its own setting, each one the reading writes is no key, and a
// text of the wrong form is refused wherever it is given.

#include <gtest/gtest.h>

#include <QJsonDocument>
#include <QJsonObject>
#include <string>
#include <variant>

#include "control/property_table.h"
#include "service/http/api_request.h"
#include "service/scale_config.h"
#include "service/service_config.h"

namespace orva::service {
namespace {

// A value of the property's kind other than its default, as a file holds it.
std::string goodText(const PropertyInfo& p) {
    if (p.type == PropertyType::Integer) return "7";
    switch (p.form) {
    case TextForm::PortNumber: return "3";
    case TextForm::LineSettings: return "19200,e,7,1";
    case TextForm::Any: break;
    }
    return "x";
}

constexpr const char* kScale = "[a]\nport = /dev/x\n";

TEST(ScaleSettings, EachPropertyAHostSetsLandsInItsOwnSettingAndNoOther) {
    for (const PropertyInfo& p : propertyTable()) {
        SCOPED_TRACE(std::string(p.name));
        // Written as a save writes it, read as a start reads it.
        const std::string text = withValue(kScale, "a", p.name, goodText(p));
        const ScaleSetting* own = findScaleSetting(p.name);
        if (!p.remotelyWritable) {
            EXPECT_EQ(own, nullptr);
            try {
                parseConfig(text, "f");
                ADD_FAILURE() << "a property the reading writes was taken as a setting";
            } catch (const ConfigError& e) {
                EXPECT_EQ(e.line(), 3);
                EXPECT_NE(e.reason().find("unknown key"), std::string::npos) << e.reason();
            }
            continue;
        }
        ASSERT_NE(own, nullptr);
        EXPECT_EQ(own->property, &p);
        const ServiceConfig c = parseConfig(text, "f");
        ASSERT_EQ(c.scales.size(), 1u);
        const ScaleConfig& scale = c.scales[0];
        for (const ScaleSetting& s : scaleSettings()) {
            const bool set = s.integer != nullptr ? (scale.*s.integer).has_value() : (scale.*s.text).has_value();
            EXPECT_EQ(set, &s == own) << s.property->name;
        }
        if (p.type == PropertyType::Integer) {
            ASSERT_NE(own->integer, nullptr);
            EXPECT_EQ(scale.*own->integer, 7);
        } else {
            ASSERT_NE(own->text, nullptr);
            EXPECT_EQ(scale.*own->text, goodText(p));
        }
    }
}

TEST(ScaleSettings, ATextOfTheWrongFormIsRefusedByTheFileAndByAWrite) {
    for (const PropertyInfo& p : propertyTable()) {
        if (!p.remotelyWritable || p.type != PropertyType::Text || p.form == TextForm::Any) continue;
        SCOPED_TRACE(std::string(p.name));
        for (const char* bad : {"0", "fast", "9600,n,8"}) {
            if (p.form == TextForm::PortNumber && std::string(bad) == "9600,n,8") continue;
            SCOPED_TRACE(bad);
            EXPECT_THROW(parseConfig(withValue(kScale, "a", p.name, bad), "f"), ConfigError);
            const QString name = QString::fromUtf8(p.name.data(), static_cast<qsizetype>(p.name.size()));
            const auto written = propertyWrites(QJsonDocument(QJsonObject{{name, bad}}).toJson());
            ASSERT_TRUE(std::holds_alternative<Refusal>(written));
            EXPECT_EQ(std::get<Refusal>(written).status, 400);
        }
    }
}

}  // namespace
}  // namespace orva::service
