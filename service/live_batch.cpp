#include "service/live_batch.h"

namespace orva::service {

QByteArray LiveBatch::eventName(const QByteArray& json) {
    static const QByteArray key = "\"event\":\"";
    const qsizetype at = json.indexOf(key);
    if (at < 0) return {};
    const qsizetype start = at + key.size();
    const qsizetype end = json.indexOf('"', start);
    return end < 0 ? QByteArray() : json.mid(start, end - start);
}

bool LiveBatch::isState(const QByteArray& event) {
    return event == "Decode" || event == "ChangeVes" || event == "VesStatus";
}

void LiveBatch::add(const QString& scaleId, const QByteArray& json) {
    const QByteArray event = eventName(json);
    if (isState(event) || event == "Port") latest_[scaleId][event] = json;
    if (isState(event)) {
        auto& places = stateAt_[scaleId];
        const auto place = places.constFind(event);
        if (place != places.constEnd()) {
            events_[*place].json = json;
            return;
        }
        places.insert(event, events_.size());
    } else {
        if (happenings_ >= kMaxHappenings) {
            ++dropped_;
            return;
        }
        ++happenings_;
    }
    events_.push_back(Entry{scaleId, event, json});
}

QByteArray LiveBatch::message(const std::set<QString>& scales, bool catchUp) const {
    auto follows = [&](const QString& id) { return scales.empty() || scales.count(id) != 0; };
    QByteArray out;
    auto append = [&](const QByteArray& json) {
        out += out.isEmpty() ? "[" : ",";
        out += json;
    };
    if (catchUp) {
        for (auto scale = latest_.cbegin(); scale != latest_.cend(); ++scale) {
            if (!follows(scale.key())) continue;
            for (auto state = scale->cbegin(); state != scale->cend(); ++state) append(state.value());
        }
    }
    for (const Entry& e : events_) {
        if (!follows(e.scale)) continue;
        // Caught up: the latest states (and Port) are in already.
        if (catchUp && (isState(e.event) || e.event == "Port")) continue;
        append(e.json);
    }
    if (!out.isEmpty()) out += "]";
    return out;
}

std::vector<QString> LiveBatch::decodedScales() const {
    std::vector<QString> out;
    for (auto scale = stateAt_.cbegin(); scale != stateAt_.cend(); ++scale)
        if (scale->contains("Decode")) out.push_back(scale.key());
    return out;
}

void LiveBatch::clear() {
    events_.clear();
    stateAt_.clear();
    happenings_ = 0;
}

void LiveBatch::forget(const QString& scaleId) { latest_.remove(scaleId); }

}  // namespace orva::service
