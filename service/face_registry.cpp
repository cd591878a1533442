#include "service/face_registry.h"

#include <algorithm>

namespace orva::service {

const FaceDefinition* faceOfSection(const std::string& section) {
    for (const FaceDefinition& face : faceDefinitions())
        if (face.section == section) return &face;
    return nullptr;
}

const FaceDefinition* faceOfScaleKey(const std::string& key) {
    for (const FaceDefinition& face : faceDefinitions())
        if (!face.scaleKeyPrefix.empty() && key.rfind(face.scaleKeyPrefix, 0) == 0) return &face;
    return nullptr;
}

long faceDescriptors(const FaceSettingsMap& faces) {
    long sum = 0;
    for (const auto& [section, settings] : faces)
        if (settings) sum += settings->descriptors();
    return sum;
}

FaceSet::FaceSet(const FaceSettingsMap& settings, const FaceStart& start) : log_(start.log) {
    for (const FaceDefinition& face : faceDefinitions()) {
        const auto found = settings.find(face.section);
        if (!face.start || found == settings.end() || !found->second) continue;
        running_.emplace_back(face.section, face.start(*found->second, start));
    }
}

FaceSet::~FaceSet() {
    // The last started stops first.
    while (!running_.empty()) running_.pop_back();
}

void FaceSet::serve(const FaceContext& context) {
    for (auto& [section, face] : running_) {
        try {
            face->serve(context);
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("[" + section + "]: " + e.what());
        }
    }
}

void FaceSet::reload(const FaceSettingsMap& settings) {
    for (const FaceDefinition& face : faceDefinitions()) {
        if (!face.start) continue;
        const auto found = settings.find(face.section);
        const FaceSettings* next = found != settings.end() ? found->second.get() : nullptr;
        const auto running = std::find_if(running_.begin(), running_.end(),
                                          [&](const auto& entry) { return entry.first == face.section; });
        if (running == running_.end()) {
            if (next != nullptr) log_("reload: the [" + face.section + "] section is new; it takes a restart");
            continue;
        }
        const std::string said = running->second->reload(next);
        if (!said.empty()) log_("reload: " + said);
    }
}

void FaceSet::describeScale(const QString& id, QJsonObject& state) const {
    for (const auto& [section, face] : running_) face->describeScale(id, state);
}

std::string FaceSet::metrics() const {
    std::string out;
    for (const auto& [section, face] : running_) out += face->metrics();
    return out;
}

}  // namespace orva::service
