#include "service/mqtt/mqtt_link.h"

#include "service/mqtt/socket_reading.h"

#include <mosquitto.h>
#include <mqtt_protocol.h>

#include <QHostAddress>
#include <QHostInfo>
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <mutex>
#include <stdexcept>
#include <string_view>

namespace orva::mqtt {
namespace {

constexpr int kHousekeepingMs = 500;

qint64 nowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

void initialiseLibrary() {
    static std::once_flag once;
    std::call_once(once, [] { mosquitto_lib_init(); });
}

std::string failureText(int rc) {
    if (rc == MOSQ_ERR_ERRNO) return std::strerror(errno);
    return mosquitto_strerror(rc);
}

// Why a connection ended: the broker's reason (MQTT 5 DISCONNECT, 128 and
// up) or the client's own error.
std::string disconnectText(int rc) {
    if (rc >= 128) return std::string("the broker disconnected: ") + mosquitto_reason_string(rc);
    return failureText(rc);
}

// What a refused connect means to the person reading the log.
std::string refusalText(int rc) {
    switch (rc) {
    case 1: return "unacceptable protocol version";
    case 2: return "client_id rejected";
    case 3: return "broker unavailable";
    case 4: return "bad username or password";
    case 5: return "not authorised (check username/password or the client certificate)";
    case MQTT_RC_CLIENTID_NOT_VALID: return "client_id rejected";
    case MQTT_RC_BAD_USERNAME_OR_PASSWORD: return "bad username or password";
    case MQTT_RC_NOT_AUTHORIZED: return "not authorised (check username/password or the client certificate)";
    default: return rc >= 128 ? mosquitto_reason_string(rc) : mosquitto_connack_string(rc);
    }
}

}  // namespace

void MqttLink::ClientDeleter::operator()(mosquitto* m) const { mosquitto_destroy(m); }

bool MqttLink::applyProtocol() {
    mosquitto* m = client_.get();
    mosquitto_int_option(m, MOSQ_OPT_PROTOCOL_VERSION, protocol_ == 5 ? MQTT_PROTOCOL_V5 : MQTT_PROTOCOL_V311);
    // libmosquitto sends CONNECT properties only as its blocking connect
    // keeps them for every later connect, the non-blocking ones included;
    // it has no other way to set them. Without a host that connect stops at
    // once, after keeping them, and never touches the network.
    mosquitto_property* properties = nullptr;
    if (protocol_ == 5 &&
        mosquitto_property_add_int32(&properties, MQTT_PROP_MAXIMUM_PACKET_SIZE, kMaxIncomingPacket) != MOSQ_ERR_SUCCESS)
        return false;
    int rc = mosquitto_connect_bind_v5(m, nullptr, settings_.port, settings_.keepaliveSeconds, nullptr, properties);
    mosquitto_property_free_all(&properties);
    return rc == MOSQ_ERR_INVAL;
}

MqttLink::MqttLink(MqttSettings settings, std::string willTopic, Log log, QObject* parent)
    : QObject(parent),
      settings_(std::move(settings)),
      willTopic_(std::move(willTopic)),
      log_(std::move(log)),
      folded_([this](const std::string& line) { log_(line); }, "mqtt: ") {
    initialiseLibrary();
    client_.reset(mosquitto_new(settings_.clientId.c_str(), true, this));
    if (!client_) throw std::runtime_error("mqtt: cannot create a client: " + failureText(MOSQ_ERR_ERRNO));
    mosquitto* m = client_.get();
    mosquitto_connect_callback_set(m, &MqttLink::onConnect);
    mosquitto_disconnect_callback_set(m, &MqttLink::onDisconnect);
    mosquitto_publish_callback_set(m, &MqttLink::onPublish);
    mosquitto_message_callback_set(m, &MqttLink::onMessage);
    mosquitto_log_callback_set(m, &MqttLink::onClientLog);
    mosquitto_subscribe_callback_set(m, &MqttLink::onSubscribe);
    // A settled weight is one small packet; it should leave at once.
    mosquitto_int_option(m, MOSQ_OPT_TCP_NODELAY, 1);
    if (!applyProtocol()) throw std::runtime_error("mqtt: the client library took no CONNECT properties");
    if (!settings_.username.empty()) {
        int rc = mosquitto_username_pw_set(m, settings_.username.c_str(),
                                           settings_.password.empty() ? nullptr : settings_.password.c_str());
        if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error("mqtt: username: " + failureText(rc));
    }
    if (settings_.tls) {
        if (settings_.caFile.empty()) mosquitto_int_option(m, MOSQ_OPT_TLS_USE_OS_CERTS, 1);
        int rc = mosquitto_tls_set(m, settings_.caFile.empty() ? nullptr : settings_.caFile.c_str(), nullptr,
                                   settings_.certFile.empty() ? nullptr : settings_.certFile.c_str(),
                                   settings_.keyFile.empty() ? nullptr : settings_.keyFile.c_str(), nullptr);
        if (rc != MOSQ_ERR_SUCCESS)
            throw std::runtime_error("mqtt: the CA file, certificate or key cannot be used: " + failureText(rc));
    }
    static const char offline[] = "offline";
    int rc = mosquitto_will_set(m, willTopic_.c_str(), sizeof offline - 1, offline, 1, true);
    if (rc != MOSQ_ERR_SUCCESS) throw std::runtime_error("mqtt: last will on " + willTopic_ + ": " + failureText(rc));

    housekeepingTimer_.setInterval(kHousekeepingMs);
    connect(&housekeepingTimer_, &QTimer::timeout, this, &MqttLink::housekeeping);
    retryTimer_.setSingleShot(true);
    connect(&retryTimer_, &QTimer::timeout, this, &MqttLink::attempt);
    flushSoon_.setSingleShot(true);
    flushSoon_.setInterval(0);
    connect(&flushSoon_, &QTimer::timeout, this, [this] {
        if (journal_) journal_->sync();
        pump();
    });
    connectTimeout_.setSingleShot(true);
    connect(&connectTimeout_, &QTimer::timeout, this, [this] { lost("no answer to the connect"); });
}

MqttLink::~MqttLink() {
    // A deliberate stop says "offline" itself; the broker keeps the will for
    // a stop that could not.
    if (state_ == State::Connected) {
        state_ = State::Idle;  // the disconnect below is no loss to report
        static const char offline[] = "offline";
        mosquitto_publish(client_.get(), nullptr, willTopic_.c_str(), sizeof offline - 1, offline, 0, true);
        mosquitto_disconnect(client_.get());
    }
    if (droppedThisOutage_ > 0)
        log_("mqtt: " + std::to_string(droppedThisOutage_) + " held messages were dropped since the broker was last reached");
    detachSocket();
}

void MqttLink::start() {
    if (state_ != State::Idle) return;
    housekeepingTimer_.start();
    attempt();
}

bool MqttLink::backedUp() const { return state_ == State::Connected && mosquitto_want_write(client_.get()); }

void MqttLink::attempt() {
    state_ = State::Resolving;
    QHostAddress literal;
    if (literal.setAddress(QString::fromStdString(settings_.host))) {
        connectTo(settings_.host);
        return;
    }
    QHostInfo::lookupHost(QString::fromStdString(settings_.host), this, [this](const QHostInfo& info) {
        if (state_ != State::Resolving) return;
        if (info.error() != QHostInfo::NoError || info.addresses().isEmpty()) {
            ++counters_.connectFailures;
            if (!failureLogged_) {
                log_("mqtt: cannot resolve " + settings_.host + ": " + info.errorString().toStdString() +
                     "; retrying quietly");
                failureLogged_ = true;
            }
            scheduleRetry();
            return;
        }
        // A certificate names the host, so a TLS connect keeps the name (and
        // the client looks it up once more); plain MQTT goes to the address.
        connectTo(settings_.tls ? settings_.host : info.addresses().first().toString().toStdString());
    });
}

void MqttLink::connectTo(const std::string& address) {
    detachSocket();
    int rc = mosquitto_connect_async(client_.get(), address.c_str(), settings_.port, settings_.keepaliveSeconds);
    if (rc != MOSQ_ERR_SUCCESS) {
        ++counters_.connectFailures;
        if (!failureLogged_) {
            log_("mqtt: cannot reach " + brokerDescription(settings_) + ": " + withDetail(failureText(rc)) + "; retrying quietly");
            failureLogged_ = true;
        }
        scheduleRetry();
        return;
    }
    state_ = State::Connecting;
    tcpConnected_ = false;
    connectTimeout_.start(std::max(5, settings_.keepaliveSeconds) * 1000);
    attachSocket();
}

void MqttLink::attachSocket() {
    socket_ = mosquitto_socket(client_.get());
    packetStart_ = 0;
    if (socket_ < 0) return;
    auto* read = new QSocketNotifier(socket_, QSocketNotifier::Read, this);
    connect(read, &QSocketNotifier::activated, this, &MqttLink::readable);
    readWatch_ = read;
    auto* write = new QSocketNotifier(socket_, QSocketNotifier::Write, this);
    connect(write, &QSocketNotifier::activated, this, &MqttLink::writable);
    writeWatch_ = write;
    updateWriteWatch();
}

void MqttLink::detachSocket() {
    // The notifiers may be the ones whose signal is running: disable now,
    // delete later.
    for (QPointer<QSocketNotifier>* watch : {&readWatch_, &writeWatch_}) {
        if (*watch) {
            (*watch)->setEnabled(false);
            (*watch)->deleteLater();
        }
        *watch = nullptr;
    }
    socket_ = -1;
}

void MqttLink::updateWriteWatch() {
    if (writeWatch_) {
        // The socket becomes writable when the TCP connect completes, which
        // is when the client can send its CONNECT; after that, only while
        // the client has bytes to send (a writable socket is always ready).
        bool want = (state_ == State::Connecting && !tcpConnected_) || mosquitto_want_write(client_.get());
        writeWatch_->setEnabled(want);
    }
}

void MqttLink::readable() {
    ++counters_.socketWakeUps;
    afterIo(mosquitto_loop_read(client_.get(), 1));
    if ((state_ != State::Connecting && state_ != State::Connected) || settings_.tls) return;
    // A packet the broker was told not to send: the library would read it
    // whole, however large.
    const auto taken = bytesTaken(socket_);
    if (taken && *taken > packetStart_ + kIncomingGuard) {
        ++counters_.oversized;
        report("oversized", "mqtt: " + brokerDescription(settings_) + " sent a packet larger than the " +
                                std::to_string(kMaxIncomingPacket) + " bytes this service takes (" +
                                std::to_string(*taken - packetStart_) + " bytes read of it); connection closed");
        lost("a packet larger than the service takes");
    }
}

// A packet from the broker was read whole and handled: what is read from
// now on belongs to the next one.
void MqttLink::packetEnded() {
    if (socket_ < 0 || settings_.tls) return;
    if (const auto taken = bytesTaken(socket_)) packetStart_ = *taken;
}

void MqttLink::onSubscribe(mosquitto*, void* self, int, int, const int*) { static_cast<MqttLink*>(self)->packetEnded(); }

void MqttLink::writable() {
    ++counters_.socketWakeUps;
    tcpConnected_ = true;
    afterIo(mosquitto_loop_write(client_.get(), 1));
    if (state_ == State::Connected && !mosquitto_want_write(client_.get())) emit drained();
}

void MqttLink::housekeeping() {
    folded_.flush(nowMs());
    if (contested_ && state_ == State::Connected && nowMs() - connectedAtMs_ >= kSessionKeptMs) {
        contested_ = false;
        quickLosses_ = 0;
        log_("mqtt: the session of " + settings_.clientId + " has stayed with this service for " +
             std::to_string(kSessionKeptMs / 1000) + " s; connected to " + brokerDescription(settings_));
    }
    if (state_ != State::Connecting && state_ != State::Connected) return;
    afterIo(mosquitto_loop_misc(client_.get()));
}

void MqttLink::afterIo(int rc) {
    if (state_ != State::Connecting && state_ != State::Connected) return;  // a callback already dealt with it
    if (rc > MOSQ_ERR_SUCCESS) {  // negative codes (a connect under way) are no failure
        lost(failureText(rc));
        return;
    }
    if (mosquitto_socket(client_.get()) != socket_) {
        lost("connection closed");
        return;
    }
    updateWriteWatch();
}

void MqttLink::lost(const std::string& why) {
    lostFor(why, 0);
}

// reason: the broker's MQTT 5 reason for a DISCONNECT it sent, else 0.
void MqttLink::lostFor(const std::string& why, int reason) {
    bool wasConnected = state_ == State::Connected;
    connectTimeout_.stop();
    detachSocket();
    if (wasConnected) {
        if (takenOver(reason)) {
            emit disconnected();
            state_ = State::Waiting;
            detachSocket();
            // No tug of war over the session: less and less often.
            retryTimer_.start(contestedRetryMs_);
            contestedRetryMs_ = std::min(contestedRetryMs_ * 2, kContestedMaxRetryMs);
            retryMs_ = kMaxRetryMs;
            return;
        }
        if (!contested_)
            log_("mqtt: lost " + brokerDescription(settings_) + " (" + why + "); holding up to " +
                 std::to_string(settings_.queueLimit) + " QoS 1 messages while reconnecting");
        failureLogged_ = true;  // that line covers the attempts until the broker is back
        emit disconnected();
    } else if (state_ == State::Connecting) {
        ++counters_.connectFailures;
        if (!failureLogged_ && !refusalLogged_) {
            log_("mqtt: cannot reach " + brokerDescription(settings_) + " (" + withDetail(why) + "); retrying quietly");
            failureLogged_ = true;
        }
    }
    scheduleRetry();
}

// Whether the connection that just ended lost its session to another client
// with the same client_id; the first time in a spell, says so.
bool MqttLink::takenOver(int reason) {
    const bool quick = nowMs() - connectedAtMs_ < kTakeoverWindowMs;
    quickLosses_ = quick ? quickLosses_ + 1 : 0;
    const bool told = reason == MQTT_RC_SESSION_TAKEN_OVER;
    // A broker may say so (MQTT 5), or just close the connection (as
    // Mosquitto 2.0 does): then quick losses in a row are the sign.
    const bool guessed = quickLosses_ >= kTakeoverRepeats || (contested_ && quick);
    if (!told && !guessed) return false;
    ++counters_.takeovers;
    if (!contested_) {
        contested_ = true;
        contestedRetryMs_ = kMaxRetryMs;
        log_("mqtt: " + brokerDescription(settings_) + (told ? " gave" : " seems to give") + " the session of client_id " +
             settings_.clientId + " to another client" +
             (told ? std::string() : " (" + std::to_string(quickLosses_) + " connections lost within " +
                                         std::to_string(kTakeoverWindowMs / 1000) + " s of being accepted)") +
             ": another service or program uses the same client_id. Give each service its own client_id (the "
             "default, orva-<hostname>-<pid>, is unique). Retrying after " + std::to_string(kMaxRetryMs / 1000) +
             " s, then less often (at most every " + std::to_string(kContestedMaxRetryMs / 60000) +
             " min), without further messages until the session stays with this service");
    }
    return true;
}

void MqttLink::scheduleRetry() {
    state_ = State::Waiting;
    detachSocket();
    retryTimer_.start(retryMs_);
    retryMs_ = std::min(retryMs_ * 2, kMaxRetryMs);
}

void MqttLink::onConnect(mosquitto*, void* self, int rc) {
    auto* link = static_cast<MqttLink*>(self);
    link->packetEnded();
    link->connectTimeout_.stop();
    if (rc == MQTT_RC_UNSUPPORTED_PROTOCOL_VERSION && link->protocol_ == 5) {
        // A broker without MQTT 5: 3.1.1 from now on, at once.
        link->log_("mqtt: " + brokerDescription(link->settings_) +
                   " does not speak MQTT 5; using 3.1.1, under which the broker is not told the largest message the "
                   "service takes and a retained write published while connected looks like a live one");
        link->protocol_ = 4;
        if (!link->applyProtocol()) link->log_("mqtt: the client library kept its MQTT 5 CONNECT properties");
        link->state_ = State::Waiting;
        link->detachSocket();
        link->retryTimer_.start(0);
        return;
    }
    if (rc != 0) {
        ++link->counters_.connectFailures;
        if (!link->refusalLogged_) {
            link->log_("mqtt: " + brokerDescription(link->settings_) + " refused the connection as \"" +
                       (link->settings_.username.empty() ? link->settings_.clientId : link->settings_.username) +
                       "\": " + refusalText(rc) + "; retrying (at most every " + std::to_string(kMaxRetryMs / 1000) +
                       " s) without further messages");
            link->refusalLogged_ = true;
        }
        link->scheduleRetry();
        return;
    }
    link->state_ = State::Connected;
    link->connectedAtMs_ = nowMs();
    // While another client takes the session, the longest wait between attempts.
    link->retryMs_ = link->contested_ ? kMaxRetryMs : kFirstRetryMs;
    ++link->counters_.connects;
    if (!link->contested_)
        link->log_("mqtt: connected to " + brokerDescription(link->settings_) + " as " + link->settings_.clientId +
                   (link->droppedThisOutage_ > 0
                        ? "; " + std::to_string(link->droppedThisOutage_) + " held messages were dropped while away"
                        : std::string()));
    link->failureLogged_ = false;
    link->refusalLogged_ = false;
    link->clientError_.clear();
    link->droppedThisOutage_ = 0;
    for (const std::string& filter : link->subscriptions_) link->subscribeNow(filter);
    static const char online[] = "online";
    mosquitto_publish(link->client_.get(), nullptr, link->willTopic_.c_str(), sizeof online - 1, online, 1, true);
    emit link->connected();
    link->pump();
}

void MqttLink::onDisconnect(mosquitto*, void* self, int rc) {
    auto* link = static_cast<MqttLink*>(self);
    if (link->state_ == State::Connected || link->state_ == State::Connecting)
        link->lostFor(disconnectText(rc), rc >= 128 ? rc : 0);
}

void MqttLink::onPublish(mosquitto*, void* self, int mid) {
    auto* link = static_cast<MqttLink*>(self);
    auto it = link->inFlight_.find(mid);
    if (it != link->inFlight_.end()) {
        // The broker's acknowledgement was read (a QoS 0 message, never in
        // flight, is "published" when it is written).
        link->packetEnded();
        const std::uint64_t tag = it->second;
        link->inFlight_.erase(it);
        ++link->counters_.acknowledged;
        link->release(tag);
        link->pump();
    }
}

void MqttLink::onClientLog(mosquitto*, void* self, int level, const char* text) {
    if (text == nullptr) return;
    auto* link = static_cast<MqttLink*>(self);
    if ((level & MOSQ_LOG_ERR) != 0) link->clientError_ = text;
    // The one packet read whole with no callback of its own: the answer to a keepalive ping.
    static constexpr std::string_view kPingAnswer = " received PINGRESP";
    if ((level & MOSQ_LOG_DEBUG) != 0 && std::string_view(text).ends_with(kPingAnswer)) link->packetEnded();
}

// A failure with the client's own reason, when it gave one (a certificate
// that did not verify says so only there).
std::string MqttLink::withDetail(const std::string& why) {
    std::string text = why;
    if (!text.empty() && text.back() == '.') text.pop_back();
    if (!clientError_.empty()) text += ": " + clientError_;
    else if (settings_.tls && state_ == State::Connecting)
        text += "; check ca_file, cert_file and key_file against the broker's TLS settings";
    clientError_.clear();
    return text;
}

void MqttLink::onMessage(mosquitto*, void* self, const mosquitto_message* message) {
    auto* link = static_cast<MqttLink*>(self);
    link->packetEnded();
    if (message->topic == nullptr || message->payloadlen < 0) return;
    // Only what was subscribed: a broker may send anything.
    bool subscribed = false;
    for (const std::string& filter : link->subscriptions_) {
        bool matches = false;
        if (mosquitto_topic_matches_sub(filter.c_str(), message->topic, &matches) == MOSQ_ERR_SUCCESS && matches) {
            subscribed = true;
            break;
        }
    }
    if (!subscribed) {
        ++link->counters_.unsubscribed;
        link->report("unsubscribed", "mqtt: dropped a message from the broker on " + peerText(message->topic) +
                                         ", which this service did not subscribe to (" +
                                         std::to_string(message->payloadlen) + " bytes)");
        return;
    }
    emit link->messageArrived(QString::fromUtf8(message->topic),
                              QByteArray(static_cast<const char*>(message->payload), message->payloadlen),
                              message->retain);
}

bool MqttLink::publishNow(const std::string& topic, const QByteArray& payload, bool retain) {
    if (state_ != State::Connected || mosquitto_want_write(client_.get())) {
        ++counters_.droppedQos0;
        return false;
    }
    int rc = mosquitto_publish(client_.get(), nullptr, topic.c_str(), static_cast<int>(payload.size()),
                               payload.constData(), 0, retain);
    if (rc != MOSQ_ERR_SUCCESS) {
        ++counters_.droppedQos0;
        return false;
    }
    ++counters_.published;
    updateWriteWatch();
    return true;
}

void MqttLink::release(std::uint64_t tag) {
    if (tag != 0 && journal_) journal_->done(tag);
}

void MqttLink::keepIn(std::unique_ptr<SettledJournal> journal) {
    journal_ = std::move(journal);
    for (SettledJournal::Entry& e : journal_->replay())
        hold({std::move(e.topic), QByteArray::fromStdString(e.payload), e.id, false});
}

void MqttLink::publishHeld(const std::string& topic, const QByteArray& payload) {
    if (!journal_) {
        hold({topic, payload, 0, false});
        pump();
        return;
    }
    hold({topic, payload, journal_->append(topic, payload.toStdString(), true), false});
    flushSoon_.start();
}

void MqttLink::hold(Held message) {
    if (queue_.size() >= static_cast<std::size_t>(settings_.queueLimit)) {
        const std::uint64_t oldest = queue_.front().tag;
        queue_.pop_front();
        ++counters_.droppedQueued;
        if (droppedThisOutage_++ == 0)
            log_("mqtt: " + std::to_string(settings_.queueLimit) +
                 " messages are held (queue_limit); the oldest are dropped until the broker takes them");
        release(oldest);
    }
    queue_.push_back(std::move(message));
}

void MqttLink::publishReply(const std::string& topic, const QByteArray& payload, bool retain) {
    if (replies_.size() >= kReplyLimit) {
        replies_.pop_front();
        ++counters_.droppedReplies;
    }
    replies_.push_back({topic, payload, 0, retain});
    pump();
}

// Hands one QoS 1 message to the client; false when the client has no room
// now (the message stays where it is).
bool MqttLink::send(const Held& next) {
    int mid = 0;
    int rc = mosquitto_publish(client_.get(), &mid, next.topic.c_str(), static_cast<int>(next.payload.size()),
                               next.payload.constData(), 1, next.retain);
    if (rc == MOSQ_ERR_NOMEM) return false;  // kept; tried again after the next acknowledgement or connect
    if (rc == MOSQ_ERR_SUCCESS || rc == MOSQ_ERR_CONN_LOST || rc == MOSQ_ERR_ERRNO || rc == MOSQ_ERR_NO_CONN) {
        // A QoS 1 message the client has taken is its to deliver, even
        // when the write found the connection gone: it sends it again
        // after the next connect. Handing it over twice would send it twice.
        inFlight_[mid] = next.tag;
        ++counters_.published;
    } else {
        report("unpublishable", "mqtt: cannot publish on " + peerText(next.topic) + ": " + failureText(rc) + "; message dropped");
        ++counters_.droppedQueued;
        release(next.tag);
    }
    return true;
}

void MqttLink::pump() {
    // Nothing leaves before it is on the disk.
    if (journal_ && state_ == State::Connected && !queue_.empty()) journal_->sync();
    // Settled weights, replies and clearing messages take turns, so none
    // waits behind a backlog of another.
    std::deque<Held>* lanes[] = {&queue_, &replies_, &clears_};
    constexpr int kLanes = 3;
    while (state_ == State::Connected && inFlight_.size() < kInFlightWindow) {
        int next = -1;
        for (int i = 0; i < kLanes && next < 0; ++i)
            if (!lanes[(turn_ + i) % kLanes]->empty()) next = (turn_ + i) % kLanes;
        if (next < 0) break;
        std::deque<Held>& lane = *lanes[next];
        if (!send(lane.front())) break;
        if (&lane == &clears_) {
            clearing_.erase(lane.front().topic);
            clearBytes_ -= lane.front().topic.size();
        }
        lane.pop_front();
        turn_ = (next + 1) % kLanes;
    }
    updateWriteWatch();
}

void MqttLink::subscribe(const std::string& filter) {
    if (subscriptions_.insert(filter).second && state_ == State::Connected) {
        subscribeNow(filter);
        updateWriteWatch();
    }
}

void MqttLink::subscribeNow(const std::string& filter) {
    if (protocol_ == 5)
        // Retained messages keep their flag when they are published while we
        // are subscribed; our own messages (clearing ones) do not come back.
        mosquitto_subscribe_v5(client_.get(), nullptr, filter.c_str(), 1,
                               MQTT_SUB_OPT_RETAIN_AS_PUBLISHED | MQTT_SUB_OPT_NO_LOCAL, nullptr);
    else
        mosquitto_subscribe(client_.get(), nullptr, filter.c_str(), 1);
}

void MqttLink::clearRetained(const std::string& topic) {
    if (clearing_.count(topic) != 0) return;  // already waiting
    if (clearBytes_ + topic.size() > kClearBytesLimit) {
        ++counters_.droppedClears;
        report("clears dropped", "mqtt: too many retained messages wait to be cleared; " + peerText(topic) +
                                     " stays retained for now (cleared when the broker hands it over again)");
        return;
    }
    clearing_.insert(topic);
    clearBytes_ += topic.size();
    clears_.push_back({topic, QByteArray(), 0, true});
    pump();
}

void MqttLink::report(const std::string& kind, const std::string& line) { folded_.line(kind, line, nowMs()); }

}  // namespace orva::mqtt
