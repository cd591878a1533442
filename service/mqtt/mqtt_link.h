#pragma once
// One connection to an MQTT broker, driven by the Qt event loop of the
// service's only thread: the client's socket is watched by two socket
// notifiers (readable, writable while the client has bytes to send) and a
// timer runs the client's housekeeping (keepalive pings, retries). No call
// here waits on the network: the connect is non-blocking (a host name is
// first resolved off the thread by QHostInfo), reads and writes take what
// the socket gives, and a broker that stops answering is noticed by the
// keepalive or the connect timeout, never by a blocked call.
//
// While the broker is away the link keeps trying with a capped exponential
// backoff (0.5 s doubling to 30 s), holds at most queueLimit QoS 1 messages
// (the oldest is dropped first when a new one does not fit; the first drop of
// an outage is logged at once, the count when the broker is back), holds
// replies to remote writes in a lane of their own (kReplyLimit), so that
// they never push out a settled weight, and drops QoS 0
// messages, which are all either refreshed on reconnect (retained readings)
// or live-only (events). The same holds while the socket is backed up by a
// slow broker: QoS 0 messages are not stacked behind it.
//
// The broker's last will, set at every connect, is the retained "offline" on
// willTopic; "online" replaces it once a connect is accepted.
//
// The link speaks MQTT 5 (3.1.1 with a broker that has no 5, said once in
// the log). Under 5 it tells the broker the largest packet it takes
// (kMaxIncomingPacket), so the broker drops a larger message for it rather
// than send it, and subscribes with "retain as published", so that a
// retained message published while connected is still seen as retained.
// Every incoming message is checked against the subscriptions: the broker
// may be hostile or impersonated, and a message on a topic that was not
// subscribed is dropped and counted. A broker that sends a larger packet
// all the same is cut off once kIncomingGuard bytes have been read since the
// last packet the client finished (a plain TCP connection: the library reads
// a packet whole, so this bounds what it holds to that and what the socket
// had buffered).
//
// A session taken over (a second client under the same client_id: the
// broker may say so under MQTT 5; otherwise it shows as connections lost
// within seconds of being accepted, again and again) is logged once with its
// likely cause, and the link then waits 30 s, doubling to 10 min, between
// attempts instead of taking the session back at once.

#include <QByteArray>
#include <QObject>
#include <QPointer>
#include <QSocketNotifier>
#include <QTimer>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <set>
#include <string>

#include "service/mqtt/folded_log.h"
#include "service/mqtt/mqtt_settings.h"
#include "service/mqtt/settled_journal.h"

struct mosquitto;
struct mosquitto_message;

namespace orva::mqtt {

class MqttLink : public QObject {
    Q_OBJECT
public:
    // One line of the log. Lines quote what peers sent (scale ids, broker
    // reasons) as it came: the sink escapes them, as the service's log does.
    using Log = std::function<void(const std::string&)>;

    // QoS 1 messages handed to the client and not yet acknowledged; more
    // wait in the bounded queue.
    static constexpr int kInFlightWindow = 20;
    static constexpr int kFirstRetryMs = 500;
    static constexpr int kMaxRetryMs = 30000;
    static constexpr std::size_t kReplyLimit = 100;
    // Retained messages to clear: topics held at most to this many bytes.
    static constexpr std::size_t kClearBytesLimit = 1024 * 1024;
    // The largest packet the broker may send us: a 64 KiB message and its topic.
    static constexpr std::uint32_t kMaxIncomingPacket = 64 * 1024 + 4096;
    // Read since the last finished packet before the link gives up on a
    // broker that ignores kMaxIncomingPacket (room for TLS records and pings).
    static constexpr std::uint64_t kIncomingGuard = kMaxIncomingPacket + 64 * 1024;
    // A connection lost this soon after it was accepted, kTakeoverRepeats
    // times in a row, is taken for a session taken over (MQTT 3.1.1).
    static constexpr int kTakeoverWindowMs = 5000;
    static constexpr int kTakeoverRepeats = 3;
    // A session kept this long ends a spell of takeovers.
    static constexpr int kSessionKeptMs = 2 * kMaxRetryMs;
    // While another client takes the session: kMaxRetryMs, doubling to this.
    static constexpr int kContestedMaxRetryMs = 10 * 60 * 1000;

    struct Counters {
        long long connects = 0;
        long long connectFailures = 0;
        long long published = 0;       // handed to the client, both QoS
        long long acknowledged = 0;    // QoS 1 acknowledged by the broker
        long long droppedQos0 = 0;     // away or backed up
        long long droppedQueued = 0;   // QoS 1 pushed out of a full queue
        long long droppedReplies = 0;  // replies pushed out of their full lane
        long long socketWakeUps = 0;   // readable or writable notifications
        long long unsubscribed = 0;    // messages on a topic that was not subscribed, dropped
        long long droppedClears = 0;   // retained messages left uncleared beyond their bound
        long long takeovers = 0;       // connections whose session another client took
        long long oversized = 0;       // connections cut for a packet over kIncomingGuard
    };

    MqttLink(MqttSettings settings, std::string willTopic, Log log, QObject* parent = nullptr);
    ~MqttLink() override;
    MqttLink(const MqttLink&) = delete;
    MqttLink& operator=(const MqttLink&) = delete;

    // Starts connecting; retries by itself from then on.
    void start();

    bool isConnected() const { return state_ == State::Connected; }
    // True while the socket has bytes the broker has not taken yet.
    bool backedUp() const;

    // QoS 0. Sent only while connected and not backed up; false when dropped.
    bool publishNow(const std::string& topic, const QByteArray& payload, bool retain);
    // Held messages are kept in this journal from now on, until the broker
    // acknowledges them or they are dropped; what an earlier run left in it
    // is held first, in its order. Call before start().
    void keepIn(std::unique_ptr<SettledJournal> journal);
    const SettledJournal* journal() const { return journal_.get(); }

    // QoS 1, not retained: sent now, or held (bounded) until the broker is
    // back; kept in the journal while it is not acknowledged. With a
    // journal it leaves once the event loop has finished the current
    // wake-up: every weight that settled in it is synced to the disk at
    // once, then sent.
    void publishHeld(const std::string& topic, const QByteArray& payload);
    // QoS 1 in the replies' own lane, taking turns with the held messages.
    void publishReply(const std::string& topic, const QByteArray& payload, bool retain = false);
    // An empty retained message on topic, which clears what the broker
    // retains there; in a lane of its own (bounded by kClearBytesLimit),
    // taking turns with the others, once per topic while it waits.
    void clearRetained(const std::string& topic);
    // Subscribed at every accepted connect, QoS 1.
    void subscribe(const std::string& filter);
    // A line a peer caused, folded with others of its kind (folded_log.h).
    void report(const std::string& kind, const std::string& line);

    // 5, or 4 (3.1.1) with a broker that refused 5.
    int protocolVersion() const { return protocol_; }
    // Another client has been taking this one's session.
    bool sessionContested() const { return contested_; }

    const Counters& counters() const { return counters_; }
    std::size_t held() const { return queue_.size() + inFlight_.size(); }
    std::size_t heldReplies() const { return replies_.size(); }
    std::size_t heldClears() const { return clears_.size(); }

signals:
    // A connect was accepted; retained state should be published again.
    void connected();
    void disconnected();
    // The socket took everything that was waiting.
    void drained();
    // retained: the broker kept it from before, rather than a live message.
    void messageArrived(const QString& topic, const QByteArray& payload, bool retained);

private:
    enum class State { Idle, Resolving, Connecting, Connected, Waiting };

    static void onConnect(mosquitto*, void* self, int rc);
    static void onDisconnect(mosquitto*, void* self, int rc);
    static void onPublish(mosquitto*, void* self, int mid);
    static void onMessage(mosquitto*, void* self, const mosquitto_message* message);
    static void onClientLog(mosquitto*, void* self, int level, const char* text);
    static void onSubscribe(mosquitto*, void* self, int mid, int count, const int* granted);
    void packetEnded();
    std::string withDetail(const std::string& why);

    void attempt();
    void connectTo(const std::string& address);
    void attachSocket();
    void detachSocket();
    void readable();
    void writable();
    void housekeeping();
    void afterIo(int rc);
    void lost(const std::string& why);
    void lostFor(const std::string& why, int reason);
    void scheduleRetry();
    void pump();
    void updateWriteWatch();
    bool applyProtocol();
    bool takenOver(int reason);
    void subscribeNow(const std::string& filter);

    struct ClientDeleter {
        void operator()(mosquitto* m) const;
    };
    struct Held {
        std::string topic;
        QByteArray payload;
        std::uint64_t tag = 0;
        bool retain = false;
    };
    bool send(const Held& message);
    void hold(Held message);
    void release(std::uint64_t tag);

    MqttSettings settings_;
    std::string willTopic_;
    Log log_;
    std::unique_ptr<mosquitto, ClientDeleter> client_;
    State state_ = State::Idle;
    int socket_ = -1;
    QPointer<QSocketNotifier> readWatch_;
    QPointer<QSocketNotifier> writeWatch_;
    QTimer housekeepingTimer_;
    QTimer retryTimer_;
    QTimer connectTimeout_;
    QTimer flushSoon_;  // the journal's sync for what settled in this wake-up
    int retryMs_ = kFirstRetryMs;
    bool refusalLogged_ = false;
    bool tcpConnected_ = false;  // the connect under way has reached the broker
    bool failureLogged_ = false;
    long long droppedThisOutage_ = 0;
    std::string clientError_;  // the client's own last error text (TLS reasons)
    std::set<std::string> subscriptions_;
    std::deque<Held> queue_;
    std::deque<Held> replies_;
    std::deque<Held> clears_;
    std::set<std::string> clearing_;  // the topics in clears_
    std::size_t clearBytes_ = 0;
    int turn_ = 0;  // the lane whose turn it is: held, replies, clears
    int protocol_ = 5;
    bool contested_ = false;      // in a spell of sessions taken over
    int contestedRetryMs_ = kMaxRetryMs;
    int quickLosses_ = 0;         // connections lost soon after they were accepted, in a row
    qint64 connectedAtMs_ = 0;    // when the present connection was accepted
    std::uint64_t packetStart_ = 0;  // socket bytes read when the last packet ended
    FoldedLog folded_;
    std::map<int, std::uint64_t> inFlight_;  // message id -> tag
    std::unique_ptr<SettledJournal> journal_;
    Counters counters_;
};

}  // namespace orva::mqtt
