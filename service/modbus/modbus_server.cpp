#include "service/modbus/modbus_server.h"

#include <QTcpSocket>
#include <QTimer>
#include <modbus/modbus.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "orva/version.h"
#include "service/modbus/register_map.h"
#include "service/service_config.h"

namespace orva::modbus {

// One connected client: its socket, the bytes of the request under way and
// its two clocks (the request's, the idleness').
class ModbusClient : public QObject {
public:
    ModbusClient(QTcpSocket* socket, ModbusServer& server, int idleTimeoutMs, std::function<void(ModbusClient*, CloseReason)> drop)
        : socket_(socket), server_(server), drop_(std::move(drop)) {
        socket_->setParent(this);
        // What Qt takes from the kernel ahead of us; past it the client waits.
        socket_->setReadBufferSize(4096);
        requestClock_.setSingleShot(true);
        idleClock_.setSingleShot(true);
        requestClock_.setInterval(ModbusServer::kRequestTimeoutMs);
        setIdleTimeout(idleTimeoutMs);
        connect(&requestClock_, &QTimer::timeout, this, [this] { drop_(this, CloseReason::RequestTimeout); });
        connect(&idleClock_, &QTimer::timeout, this, [this] { drop_(this, CloseReason::Idle); });
        connect(socket_, &QTcpSocket::readyRead, this, [this] { read(); });
        connect(socket_, &QTcpSocket::disconnected, this, [this] { drop_(this, CloseReason::ClientLeft); });
        connect(socket_, &QTcpSocket::errorOccurred, this, [this] { drop_(this, CloseReason::ClientLeft); });
        idleClock_.start();
    }

    void setIdleTimeout(int ms) {
        idleClock_.setInterval(ms);
        if (idleClock_.isActive()) idleClock_.start();
    }
    QHostAddress peer() const { return socket_->peerAddress(); }

    // Stops everything it does; the server deletes it later.
    void close() {
        requestClock_.stop();
        idleClock_.stop();
        socket_->disconnect(this);
        socket_->abort();
    }

private:
    void read() {
        for (;;) {
            char chunk[1024];
            const qint64 n = socket_->read(chunk, sizeof chunk);
            if (n < 0) return drop_(this, CloseReason::ClientLeft);
            if (n == 0) break;
            in_.append(chunk, static_cast<qsizetype>(n));
            idleClock_.start();  // it is not idle while it sends
            if (!frames()) return;  // dropped
        }
        // The request under way must be whole within its time.
        if (in_.isEmpty()) requestClock_.stop();
        else if (!requestClock_.isActive()) requestClock_.start();
    }

    // Answers every whole request in in_; false when the client was dropped.
    bool frames() {
        QByteArray out;
        bool answered = false;
        while (in_.size() >= 7) {
            const auto* b = reinterpret_cast<const std::uint8_t*>(in_.constData());
            const int protocol = (b[2] << 8) | b[3];
            const int length = (b[4] << 8) | b[5];
            // The length counts the unit and the PDU: at least a function code.
            if (protocol != 0 || length < 2 || length > 254) {
                drop_(this, CloseReason::BadHeader);
                return false;
            }
            if (in_.size() < 6 + length) break;
            if (!server_.answer(b, 6 + length, out)) {
                drop_(this, CloseReason::Failed);
                return false;
            }
            in_.remove(0, 6 + length);
            answered = true;
            // The next request's first byte is here now, or still to come.
            requestClock_.stop();
        }
        if (answered) {
            if (socket_->write(out) != out.size() || socket_->bytesToWrite() > ModbusServer::kMaxUnsentBytes) {
                drop_(this, CloseReason::UnreadAnswers);
                return false;
            }
        }
        return true;
    }

    QTcpSocket* socket_;
    ModbusServer& server_;
    std::function<void(ModbusClient*, CloseReason)> drop_;
    QByteArray in_;
    QTimer requestClock_, idleClock_;
};

namespace {

void deleteClientLater(ModbusClient* client) { client->deleteLater(); }

}  // namespace

ModbusServer::ModbusServer(const ModbusSettings& settings, orva::service::ScaleHub& hub, Log log)
    : settings_(settings),
      hub_(hub),
      log_(std::move(log)),
      context_(modbus_new_tcp("127.0.0.1", 0), &modbus_free),
      mapping_(modbus_mapping_new(0, kDiscreteInputCount, kRegisterCount, kRegisterCount), &modbus_mapping_free) {
    if (!context_ || !mapping_) throw std::runtime_error("libmodbus could not be set up");
    int pair[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair) != 0)
        throw std::runtime_error(std::string("no socket pair for the answers: ") + std::strerror(errno));
    answerIn_ = std::make_unique<host::FileDescriptor>(pair[0]);
    answerOut_ = std::make_unique<host::FileDescriptor>(pair[1]);
    const int flags = ::fcntl(answerOut_->get(), F_GETFL);
    if (flags < 0 || ::fcntl(answerOut_->get(), F_SETFL, flags | O_NONBLOCK) != 0)
        throw std::runtime_error(std::string("the answers' socket: ") + std::strerror(errno));
    modbus_set_socket(context_.get(), answerIn_->get());
    mapUnits();

    const QHostAddress address(QString::fromStdString(orva::service::listenAddress(settings_.host)));
    if (address.isNull() || !server_.listen(address, settings_.port))
        throw std::runtime_error("cannot listen on " + settings_.host + ":" + std::to_string(settings_.port) + ": " +
                                 server_.errorString().toStdString() +
                                 (settings_.port < 1024 ? " (a port under 1024 needs CAP_NET_BIND_SERVICE)" : ""));
    connect(&server_, &QTcpServer::newConnection, this, [this] { accept(); });
    int units = 0;
    for (const QString& id : units_) units += id.isEmpty() ? 0 : 1;
    log_("Modbus TCP on " + settings_.host + ":" + std::to_string(server_.serverPort()) + ": " + std::to_string(units) +
         " unit(s), " + (settings_.littleEndianWords ? "low" : "high") + " word first, from " + settings_.allowFrom.describe());
}

ModbusServer::~ModbusServer() {
    for (auto& [client, owned] : clients_) client->close();
}

void ModbusServer::mapUnits() {
    units_.fill(QString());
    decimals_.fill(ModbusSettings::kDefaultDecimals);
    std::map<QString, bool> inFile;
    for (const auto& [unit, id] : settings_.units) {
        units_[unit] = QString::fromStdString(id);
        const auto d = settings_.decimals.find(id);
        if (d != settings_.decimals.end()) decimals_[unit] = d->second;
    }
    for (const auto& [id, d] : settings_.decimals) inFile[QString::fromStdString(id)] = true;
    // Scales the file does not hold (--simulate) take their place in the
    // list when no scale of the file is on that unit.
    const QStringList ids = hub_.ids();
    for (int i = 0; i < ids.size() && i < 247; ++i)
        if (!inFile.count(ids[i]) && units_[i + 1].isEmpty()) units_[i + 1] = ids[i];
}

int ModbusServer::unitOf(const QString& id) const {
    for (int unit = 1; unit <= 247; ++unit)
        if (units_[unit] == id) return unit;
    return 0;
}

void ModbusServer::accept() {
    while (QTcpSocket* socket = server_.nextPendingConnection()) {
        const bool allowed = settings_.allowFrom.allows(socket->peerAddress());
        if (!allowed || static_cast<int>(clients_.size()) >= settings_.maxClients) {
            ++closed_[static_cast<int>(allowed ? CloseReason::TooMany : CloseReason::NotAllowed)];
            socket->abort();
            socket->deleteLater();
            continue;
        }
        auto client = std::unique_ptr<ModbusClient, void (*)(ModbusClient*)>(
            new ModbusClient(socket, *this, settings_.idleTimeoutMs, [this](ModbusClient* c, CloseReason why) { drop(c, why); }), &deleteClientLater);
        ModbusClient* key = client.get();
        clients_.emplace(key, std::move(client));
    }
}

void ModbusServer::drop(ModbusClient* client, CloseReason why) {
    const auto found = clients_.find(client);
    if (found == clients_.end()) return;
    ++closed_[static_cast<int>(why)];
    client->close();
    clients_.erase(found);
}

std::string ModbusServer::reload(const ModbusSettings& next) {
    std::string restart;
    if (!next.sameListener(settings_))
        restart = "listen and max_clients take a restart (still " + settings_.host + ":" + std::to_string(settings_.port) + ", " +
                  std::to_string(settings_.maxClients) + " clients)";
    const std::string host = settings_.host;
    const std::uint16_t port = settings_.port;
    const int maxClients = settings_.maxClients;
    settings_ = next;
    settings_.host = host;
    settings_.port = port;
    settings_.maxClients = maxClients;
    mapUnits();
    std::vector<ModbusClient*> refused;
    for (auto& [client, owned] : clients_) {
        client->setIdleTimeout(settings_.idleTimeoutMs);
        if (!settings_.allowFrom.allows(client->peer())) refused.push_back(client);
    }
    for (ModbusClient* client : refused) drop(client, CloseReason::NotAllowed);
    return restart;
}

bool ModbusServer::answer(const std::uint8_t* frame, int length, QByteArray& out) {
    ++requests_;
    int unit = frame[6];
    if (unit == 0 || unit == 255) unit = 1;
    const QString& id = unit <= 247 ? units_[unit] : QString();
    orva::service::ScaleFigures figures;
    if (!id.isEmpty()) figures = hub_.figuresOf(id);
    if (!figures.present) {
        exception(frame, MODBUS_EXCEPTION_GATEWAY_PATH, out);
        return true;
    }
    switch (frame[7]) {
        case MODBUS_FC_READ_DISCRETE_INPUTS:
        case MODBUS_FC_READ_HOLDING_REGISTERS:
        case MODBUS_FC_READ_INPUT_REGISTERS: {
            if (length != 12) {
                exception(frame, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE, out);
                return true;
            }
            // One snapshot answers the whole request.
            const UnitImage image = unitImage(figures, decimals_[unit], settings_.littleEndianWords);
            std::copy(image.registers.begin(), image.registers.end(), mapping_->tab_registers);
            std::copy(image.registers.begin(), image.registers.end(), mapping_->tab_input_registers);
            std::copy(image.inputs.begin(), image.inputs.end(), mapping_->tab_input_bits);
            return viaLibmodbus(frame, length, out);
        }
        case 0x2B:
            deviceIdentification(frame, length, out);
            return true;
        default:
            // Read-only: coils, every write and whatever else.
            exception(frame, MODBUS_EXCEPTION_ILLEGAL_FUNCTION, out);
            return true;
    }
}

bool ModbusServer::viaLibmodbus(const std::uint8_t* frame, int length, QByteArray& out) {
    if (modbus_reply(context_.get(), frame, length, mapping_.get()) < 0) return false;
    char reply[MODBUS_TCP_MAX_ADU_LENGTH];
    const ssize_t n = ::recv(answerOut_->get(), reply, sizeof reply, 0);
    if (n <= 0) return false;
    out.append(reply, static_cast<qsizetype>(n));
    return true;
}

void ModbusServer::exception(const std::uint8_t* frame, int code, QByteArray& out) {
    ++exceptions_;
    if (modbus_reply_exception(context_.get(), frame, static_cast<unsigned>(code)) < 0) return;
    char reply[MODBUS_TCP_MAX_ADU_LENGTH];
    const ssize_t n = ::recv(answerOut_->get(), reply, sizeof reply, 0);
    if (n > 0) out.append(reply, static_cast<qsizetype>(n));
}

std::string ModbusServer::metrics() const {
    std::string out;
    auto family = [&](const char* name, const char* type, const char* help) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    };
    family("orva_modbus_clients", "gauge", "Modbus TCP clients connected now.");
    out += "orva_modbus_clients " + std::to_string(clients_.size()) + "\n";
    family("orva_modbus_requests_total", "counter", "Modbus TCP requests answered.");
    out += "orva_modbus_requests_total " + std::to_string(requests_) + "\n";
    family("orva_modbus_exceptions_total", "counter", "Modbus TCP requests answered with an exception.");
    out += "orva_modbus_exceptions_total " + std::to_string(exceptions_) + "\n";
    family("orva_modbus_closed_total", "counter", "Modbus TCP connections closed, by reason.");
    static constexpr const char* kReasons[] = {"client_left",     "max_clients", "not_allowed",   "bad_header",
                                               "request_timeout", "idle",        "unread_answers", "failed"};
    for (int i = 0; i < kCloseReasons; ++i)
        out += std::string("orva_modbus_closed_total{reason=\"") + kReasons[i] + "\"} " + std::to_string(closed_[i]) + "\n";
    return out;
}

// Read Device Identification (43 / 14), the basic objects: the product's
// name, the program, its version; by stream (codes 1 to 3) or one by one (4).
void ModbusServer::deviceIdentification(const std::uint8_t* frame, int length, QByteArray& out) {
    if (length != 11 || frame[8] != 0x0E) {
        exception(frame, length != 11 && frame[8] == 0x0E ? MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE : MODBUS_EXCEPTION_ILLEGAL_FUNCTION,
                  out);
        return;
    }
    static const QByteArray kObjects[] = {"ORVA weighing-terminal control", "orva-service", ORVA_VERSION_STRING};
    const int code = frame[9];
    int first = frame[10];
    int last = 2;
    if (code < 1 || code > 4) return exception(frame, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE, out);
    if (code == 4) {
        if (first > 2) return exception(frame, MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS, out);
        last = first;
    } else if (first > 2) {
        first = 0;  // an object it does not have: from the first
    }
    QByteArray pdu;
    pdu.append(char(0x2B)).append(char(0x0E)).append(char(code)).append(char(0x81)).append(char(0)).append(char(0));
    pdu.append(char(last - first + 1));
    for (int i = first; i <= last; ++i) pdu.append(char(i)).append(char(kObjects[i].size())).append(kObjects[i]);
    const int mbapLength = 1 + static_cast<int>(pdu.size());
    out.append(reinterpret_cast<const char*>(frame), 4);  // transaction and protocol ids
    out.append(char(mbapLength >> 8)).append(char(mbapLength & 0xFF)).append(char(frame[6]));
    out.append(pdu);
}

}  // namespace orva::modbus
