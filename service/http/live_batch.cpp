#include "service/http/live_batch.h"

namespace orva::service {
namespace {

const QByteArray kEventKey = "\"event\":\"";

// What an event says, without when: from its "event" key on.
QByteArrayView withoutTime(const QByteArray& json) {
    const qsizetype at = json.indexOf(kEventKey);
    return at < 0 ? QByteArrayView(json) : QByteArrayView(json).sliced(at);
}

}  // namespace

QByteArray LiveBatch::eventName(const QByteArray& json) {
    const qsizetype at = json.indexOf(kEventKey);
    if (at < 0) return {};
    const qsizetype start = at + kEventKey.size();
    const qsizetype end = json.indexOf('"', start);
    return end < 0 ? QByteArray() : json.mid(start, end - start);
}

bool LiveBatch::isState(const QByteArray& event) {
    return event == "Decode" || event == "ChangeVes" || event == "VesStatus";
}

void LiveBatch::add(const QString& scaleId, const QByteArray& json) {
    const QByteArray event = eventName(json);
    if (isState(event) || event == "Port") {
        Latest& latest = latest_[scaleId];
        QByteArray& last = latest.byEvent[event];
        // A panel that shows what it showed is no news.
        if (event == "Decode") {
            if (!last.isEmpty() && interval_ - latest.decodeIn < kHeartbeatIntervals && withoutTime(last) == withoutTime(json))
                return;
            latest.decodeIn = interval_;
        }
        last = json;
        latest.changedIn = interval_;
    }
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

namespace {

struct Joiner {
    QByteArray out;
    void add(const QByteArray& json) {
        out += out.isEmpty() ? "[" : ",";
        out += json;
    }
    QByteArray done() {
        if (!out.isEmpty()) out += "]";
        return std::move(out);
    }
};

}  // namespace

QByteArray LiveBatch::message(const std::set<QString>& scales) const {
    Joiner j;
    for (const Entry& e : events_)
        if (scales.empty() || scales.count(e.scale) != 0) j.add(e.json);
    return j.done();
}

QByteArray LiveBatch::catchUp(const std::set<QString>& scales, std::uint64_t servedThrough) const {
    auto follows = [&](const QString& id) { return scales.empty() || scales.count(id) != 0; };
    Joiner j;
    for (auto scale = latest_.cbegin(); scale != latest_.cend(); ++scale) {
        if (scale->changedIn <= servedThrough || !follows(scale.key())) continue;
        for (auto state = scale->byEvent.cbegin(); state != scale->byEvent.cend(); ++state) j.add(state.value());
    }
    for (const Entry& e : events_)
        if (!isState(e.event) && e.event != "Port" && follows(e.scale)) j.add(e.json);
    return j.done();
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
    ++interval_;
}

void LiveBatch::forget(const QString& scaleId) { latest_.remove(scaleId); }

}  // namespace orva::service
