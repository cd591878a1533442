#pragma once
// What the service publishes about its scales, for every front end in the
// same process (HTTP, WebSocket, MQTT ...). A front end connects to the
// signals of the hub (all scales) or of one Scale; everything is emitted on
// the service's one thread, synchronously, inside the control's own tick, so
// a slot must return quickly and never block.
//
// The JSON texts are built only while someone is connected to eventJson (of
// the hub or of the scale), so connect when you need them and disconnect when
// you do not.
//
// Event messages are UTF-8 JSON objects, one per event, exactly the objects
// orva-monitor --json prints plus "scale": the scale's id, for instance
//   {"t_ms":1234,"event":"StabVes","VesBrutoNVT":12.5,"scale":"bay-1"}
// with "event" one of ChangeVes, StabVes, VesStatus, Decode,
// PropertyChanged, Message, Beep, Error, Port. "t_ms" counts from the start
// of the service. StabVes also carries "at" and "seq" (the settled weight's
// identity, as /stable and MQTT give it); Port carries "state" and
// "reason", once per change of the port's state.

#include <QByteArray>
#include <QDateTime>
#include <QJsonObject>
#include <QMetaMethod>
#include <QObject>
#include <QString>
#include <memory>
#include <optional>
#include <vector>

namespace orva::service {


// The state of one scale at a moment: the object of GET /api/scales/{id}.
struct ScaleState {
    QString id;
    QString port;
    bool online = false;      // a recognised reply in the last 2 s
    bool showsWeight = false; // false while the panel shows "xxxx" (weight is then null)
    double weight = 0;        // the shown weight
    bool stable = false;      // the last StabVes weight is still the shown weight
    QString VesTerminal, TipTerminal, StatusTerminal, UnitWeight;
    int VesNul = 0, VesOk = 0, VesTara = 0, VesMax = 0;
    QDateTime updated;        // UTC, the last decode
    QJsonObject panel;        // what the panel shows: Frame1, Label2, Label3, Shape1, Shape2
    QString portState = "waiting";  // open, no_device, not_serial, permission_denied, in_use, unreachable, lost, failed
    QString portReason;       // why the port is not open, in the operator's words; empty while open

    QJsonObject toJson() const;
};

// The figures of one scale at a moment, without text: what a face that
// answers many reads a second (Modbus) takes from a scale, cheaply.
struct ScaleFigures {
    bool present = false;       // false: no scale of that id
    bool showsWeight = false;   // the last decode showed a weight
    double weight = 0;          // the shown weight
    bool stable = false;        // the last settled weight is still the shown weight
    bool online = false;        // a weight shown in the last 2 s
    int terminalKind = 0;       // 0 none yet, 1 ORVA-1, 2 ORVA-2 (of the last decode)
    char statusLetter = 0;      // '@'..'O', 0 when the terminal shows none
    int VesNul = 0, VesOk = 0, VesTara = 0, VesMax = 0;
    const char* portState = "waiting";  // as ScaleState::portState
    quint64 decodes = 0;        // decodes since the scale started
    quint64 settledCount = 0;   // settled weights since the service started ("seq")
    double lastSettled = 0;     // the last settled weight, 0 before the first
    qint64 ageMs = -1;          // since the last decode that showed a weight; -1: none yet
};

// Signals of one scale. Owned by the hub; lives as long as the service.
class ScaleSignals : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    // Whether anyone follows decoded(): the state is only built for them.
    bool followsDecodes() const { return isSignalConnected(QMetaMethod::fromSignal(&ScaleSignals::decoded)); }
    bool followsEvents() const { return isSignalConnected(QMetaMethod::fromSignal(&ScaleSignals::eventJson)); }

signals:
    // Every event of the scale as one JSON text (see above).
    void eventJson(const QByteArray& json);
    // After every decode tick, with the state it left.
    void decoded(const orva::service::ScaleState& state);
    // A settled weight (StabVes), with the unit shown, the time it settled
    // and the scale's weighing number (1, 2, ... from the service's start):
    // the same weighing always comes with the same time and number.
    void stableWeight(double weight, const QString& unit, const QDateTime& at, quint64 sequence);
    // The scale went online or offline (a recognised reply in the last 2 s).
    void onlineChanged(bool online);
};

// All scales of the service, in the order of the configuration.
class ScaleHub : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;

    // Ids in configuration order.
    virtual QStringList ids() const = 0;
    // Null for an unknown id.
    virtual ScaleSignals* signalsOf(const QString& id) = 0;
    virtual ScaleState stateOf(const QString& id) const = 0;
    // Figures of an unknown id have present false.
    virtual ScaleFigures figuresOf(const QString& id) const = 0;
    // The control's properties as a JSON object (integers as numbers, texts
    // as strings); empty for an unknown id.
    virtual QJsonObject propertiesOf(const QString& id) const = 0;
    // The last settled weight while it is still the shown weight, with its
    // unit, time and number; none for an unknown id.
    struct Settled {
        double weight = 0;
        QString unit;
        QDateTime at;
        quint64 seq = 0;
    };
    virtual std::optional<Settled> settledOf(const QString& id) const = 0;
    // The scales' own lines of /metrics, in Prometheus text format: each
    // scale's counters and the ports' states; the shared timer's wake-ups.
    virtual QByteArray scaleMetrics() const = 0;
    virtual QByteArray timerMetrics() const = 0;
    // Whether anyone follows eventJson(): the scales build the JSON texts
    // only while someone does.
    bool followed() const { return isSignalConnected(QMetaMethod::fromSignal(&ScaleHub::eventJson)); }

signals:
    // Every event of every scale, in the order they happened; `decode` says
    // it is the Decode event (whose sending the measurements time).
    void eventJson(const QString& scaleId, const QByteArray& json, bool decode);
    // A scale a reload added: a face that follows every scale connects to it now.
    void scaleAdded(const QString& id);
    // A scale a reload removed: whoever waits on it is told it is gone.
    void scaleRemoved(const QString& id);
};

}  // namespace orva::service
