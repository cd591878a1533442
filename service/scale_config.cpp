#include "service/scale_config.h"

namespace orva::service {

const std::vector<ScaleSetting>& scaleSettings() {
    using R = PropertyRecord;
    using S = ScaleConfig;
    static const std::vector<ScaleSetting> settings{
        {&propertyOf(&R::MinFixVes), &S::MinFixVes, nullptr},
        {&propertyOf(&R::DecPoint), &S::DecPoint, nullptr},
        {&propertyOf(&R::ComSetting), nullptr, &S::ComSetting},
        {&propertyOf(&R::ComNumber), nullptr, &S::ComNumber},
    };
    return settings;
}

const ScaleSetting* findScaleSetting(std::string_view name) {
    for (const ScaleSetting& s : scaleSettings())
        if (s.property->name == name) return &s;
    return nullptr;
}

std::string scaleSettingNames() {
    std::string names;
    for (const ScaleSetting& s : scaleSettings()) names += (names.empty() ? "" : ", ") + std::string(s.property->name);
    return names;
}

}  // namespace orva::service
