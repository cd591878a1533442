#pragma once
// The listening socket of the HTTP service. Each connection is looked at
// before the HTTP machinery reads it: a request that announces a body over
// the limit is answered 413 and the connection closed at once, so such a body
// is never read into memory.

#include <QTcpServer>
#include <optional>

namespace orva::service {

class LimitedTcpServer final : public QTcpServer {
    Q_OBJECT
public:
    LimitedTcpServer(qint64 maxBodyBytes, QObject* parent) : QTcpServer(parent), maxBodyBytes_(maxBodyBytes) {}

    // The announced length of the request at the head of `buffered`, when its
    // headers are complete: Content-Length, -1 without one, or nothing yet.
    static std::optional<qint64> announcedLength(const QByteArray& buffered);

protected:
    void incomingConnection(qintptr descriptor) override;

private:
    qint64 maxBodyBytes_;
};

}  // namespace orva::service
