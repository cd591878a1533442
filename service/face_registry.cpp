#include "service/face_registry.h"

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

FaceSet::FaceSet(const FaceSettingsMap& settings, ScaleHub& hub, std::function<void(const std::string&)> log)
    : log_(std::move(log)) {
    for (const FaceDefinition& face : faceDefinitions()) {
        const auto found = settings.find(face.section);
        if (found == settings.end() || !found->second) continue;
        try {
            running_[face.section] = face.start(*found->second, FaceContext{hub, log_});
        } catch (const std::runtime_error& e) {
            throw std::runtime_error("[" + face.section + "]: " + e.what());
        }
    }
}

FaceSet::~FaceSet() = default;

void FaceSet::reload(const FaceSettingsMap& settings) {
    for (const FaceDefinition& face : faceDefinitions()) {
        const auto found = settings.find(face.section);
        const FaceSettings* next = found != settings.end() ? found->second.get() : nullptr;
        const auto running = running_.find(face.section);
        if (running == running_.end()) {
            if (next != nullptr) log_("reload: the [" + face.section + "] section is new; it takes a restart");
            continue;
        }
        const std::string said = running->second->reload(next);
        if (!said.empty()) log_("reload: [" + face.section + "] " + said);
    }
}

std::string FaceSet::metrics() const {
    std::string out;
    for (const auto& [section, face] : running_) out += face->metrics();
    return out;
}

}  // namespace orva::service
