#pragma once
// The events of the WebSocket stream between two sends. Every client gets at
// most one message per interval: a JSON array of the events of its scales.
// What only says how a scale stands now (Decode, ChangeVes, VesStatus) is
// kept as its latest text per scale, and a Decode that shows what the last
// one showed (only its time differs) is left out unless the last one kept
// is a second old (kHeartbeatIntervals), so a steady scale is still heard
// from; what happened once
// (StabVes, Port, PropertyChanged, Message, Beep, Error) is kept in order,
// up to a bound. The latest state of each scale outlives the interval, with
// the interval it last changed in, so a client that was skipped (it could
// not take a message) is brought up to date by its next: the latest state
// of each scale that changed since it was last served.

#include <QByteArray>
#include <QHash>
#include <QString>
#include <cstddef>
#include <cstdint>
#include <set>
#include <vector>

namespace orva::service {

class LiveBatch {
public:
    // Happenings kept in one interval; more are dropped (and counted).
    static constexpr std::size_t kMaxHappenings = 4096;
    // A steady scale's Decode goes out once in this many intervals.
    static constexpr std::uint64_t kHeartbeatIntervals = 10;

    void add(const QString& scaleId, const QByteArray& json);
    bool empty() const { return events_.empty(); }
    // The current interval's number (1, 2, ...).
    std::uint64_t interval() const { return interval_; }
    // The message for a client following `scales` (empty: every scale): the
    // interval's events; or, for a client last served in interval
    // `servedThrough` and skipped since, the latest state (and Port) of each
    // of its scales that changed after that, and this interval's other
    // happenings. Empty when there is nothing.
    QByteArray message(const std::set<QString>& scales) const;
    QByteArray catchUp(const std::set<QString>& scales, std::uint64_t servedThrough) const;
    // The scales whose Decode is in this interval.
    std::vector<QString> decodedScales() const;
    // Starts the next interval (the latest states are kept).
    void clear();
    // Forgets everything: no one follows the stream (what happens meanwhile
    // is not heard, so the latest states would grow stale).
    void reset() {
        clear();
        latest_.clear();
    }
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
    struct Latest {
        QHash<QByteArray, QByteArray> byEvent;  // latest state events and Port
        std::uint64_t changedIn = 0;
        std::uint64_t decodeIn = 0;  // the last Decode kept
    };
    std::vector<Entry> events_;
    QHash<QString, QHash<QByteArray, std::size_t>> stateAt_;  // scale, event: its place in events_
    QHash<QString, Latest> latest_;
    std::uint64_t interval_ = 1;
    std::size_t happenings_ = 0;
    std::size_t dropped_ = 0;
};

}  // namespace orva::service
