#pragma once
// Modbus TCP on the service's own event loop. Requests are framed here from
// the MBAP header, on non-blocking sockets, so a slow or trickling client
// holds up nothing; libmodbus builds the answers (registers, discrete
// inputs, exceptions) from one snapshot of the unit's scale per request.
// The face is read-only.
//
// What one client may cost: max_clients at once (the next is closed at
// once); a request whole within 2 s of its first byte; a bad MBAP header
// (protocol id not 0, length under 2 or over 254) closes; answers it does
// not read are held up to kMaxUnsentBytes, then it is closed; idle_timeout_ms
// without a byte from the client closes.

#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QTcpServer>
#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <memory>

#include "hosts/file_descriptor.h"
#include "service/modbus/modbus_settings.h"
#include "service/scale_hub.h"

struct _modbus;
struct _modbus_mapping_t;

namespace orva::modbus {

class ModbusClient;

// Why a connection ended (orva_modbus_closed_total{reason}).
enum class CloseReason { ClientLeft, TooMany, NotAllowed, BadHeader, RequestTimeout, Idle, UnreadAnswers, Failed };
inline constexpr int kCloseReasons = 8;

class ModbusServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kRequestTimeoutMs = 2000;
    static constexpr qint64 kMaxUnsentBytes = 64 * 1024;
    static constexpr int kMaxFrame = 7 + 253;  // MBAP header and the largest PDU

    using Log = std::function<void(const std::string&)>;
    // Listens at once; throws std::runtime_error saying why it cannot.
    ModbusServer(const ModbusSettings& settings, orva::service::ScaleHub& hub, Log log);
    ~ModbusServer() override;

    // A reload: units, decimals, word order, allow_from and the idle timeout
    // change at once (clients no longer allowed are closed). Returns what
    // takes a restart, empty for nothing.
    std::string reload(const ModbusSettings& next);
    quint16 port() const { return server_.serverPort(); }
    // The unit that reaches a scale, 0 for none.
    int unitOf(const QString& id) const;
    int clients() const { return static_cast<int>(clients_.size()); }

    // Its /metrics families, in Prometheus text format.
    std::string metrics() const;

    // One whole request (MBAP header and PDU); appends the answer to `out`,
    // or returns false when the client is to be closed.
    bool answer(const std::uint8_t* frame, int length, QByteArray& out);

private:
    void accept();
    void drop(ModbusClient* client, CloseReason why);
    void mapUnits();
    bool viaLibmodbus(const std::uint8_t* frame, int length, QByteArray& out);
    void exception(const std::uint8_t* frame, int code, QByteArray& out);
    void deviceIdentification(const std::uint8_t* frame, int length, QByteArray& out);

    ModbusSettings settings_;
    orva::service::ScaleHub& hub_;
    Log log_;
    QTcpServer server_;
    std::unique_ptr<_modbus, void (*)(_modbus*)> context_;
    std::unique_ptr<_modbus_mapping_t, void (*)(_modbus_mapping_t*)> mapping_;
    // libmodbus sends its answer into one end; it is read from the other.
    std::unique_ptr<host::FileDescriptor> answerIn_, answerOut_;
    std::array<QString, 248> units_;  // unit -> scale id; empty for none
    std::array<int, 248> decimals_{};
    std::map<ModbusClient*, std::unique_ptr<ModbusClient, void (*)(ModbusClient*)>> clients_;
    std::uint64_t requests_ = 0, exceptions_ = 0;
    std::array<std::uint64_t, kCloseReasons> closed_{};
};

}  // namespace orva::modbus
