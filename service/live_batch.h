#pragma once
// The events of the WebSocket stream between two sends. Every client gets at
// most one message per interval: a JSON array of the events of its scales.
// What only says how a scale stands now (Decode, ChangeVes, VesStatus) is
// kept as its latest text per scale; what happened once (StabVes, Port,
// PropertyChanged, Message, Beep, Error) is kept in order, up to a bound.
// The latest state of each scale outlives the interval, so a client that was
// skipped (it could not take a message) is brought up to date by the next.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <cstddef>
#include <set>
#include <vector>

namespace orva::service {

class LiveBatch {
public:
    // Happenings kept in one interval; more are dropped (and counted).
    static constexpr std::size_t kMaxHappenings = 4096;

    void add(const QString& scaleId, const QByteArray& json);
    bool empty() const { return events_.empty(); }
    // The message for a client following `scales` (empty: every scale): the
    // interval's events, or with `catchUp` the latest state of each of its
    // scales and the interval's happenings. Empty when there is nothing.
    QByteArray message(const std::set<QString>& scales, bool catchUp) const;
    // The scales whose Decode is in this interval.
    std::vector<QString> decodedScales() const;
    // Starts the next interval (the latest states are kept).
    void clear();
    // A scale removed from the configuration.
    void forget(const QString& scaleId);
    std::size_t dropped() const { return dropped_; }

    // "Decode" of {"t_ms":..,"time":..,"event":"Decode",...}.
    static QByteArray eventName(const QByteArray& json);
    static bool isState(const QByteArray& event);

private:
    struct Entry {
        QString scale;
        QByteArray event;
        QByteArray json;
    };
    std::vector<Entry> events_;
    QHash<QString, QHash<QByteArray, std::size_t>> stateAt_;  // scale, event: its place in events_
    QHash<QString, QHash<QByteArray, QByteArray>> latest_;    // scale, event: latest state or Port
    std::size_t happenings_ = 0;
    std::size_t dropped_ = 0;
};

}  // namespace orva::service
