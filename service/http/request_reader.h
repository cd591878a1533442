#pragma once
// Reads one HTTP/1.1 request from the bytes of a connection, strictly and
// within limits: the request line and headers are taken only once complete
// and never beyond their limit; a body (by Content-Length or chunked) is taken
// as it arrives and refused as soon as it would pass its limit, so nothing
// beyond the limits is ever held. Anything ambiguous about where a request
// ends (two lengths, a length beside a transfer coding, a bad chunk) is
// refused: the connection is then closed, so no byte of it is read as a
// request of its own.
//
// The caller keeps the unread bytes of the connection: it hands them all to
// read(), drops the `consumed` bytes, and calls again when more arrive. While
// the head is incomplete nothing is consumed, so the head of a request that
// is handed elsewhere (a WebSocket handshake) is still unread.

#include <QByteArray>
#include <QByteArrayView>
#include <utility>
#include <vector>

#include "service/http/connection_limits.h"

namespace orva::service {

struct HttpRequest {
    QByteArray method;
    QByteArray target;  // as sent: path and query
    QByteArray path;    // without the query, still percent-encoded
    QByteArray query;
    bool http10 = false;
    std::vector<std::pair<QByteArray, QByteArray>> headers;  // names as sent
    QByteArray body;
    qsizetype headBytes = 0;  // the request line and headers, with the blank line
    bool bareLineFeeds = false;  // a line of the head ended in LF alone
    bool keepAlive = true;

    // The first header of that name (any letter case), or empty.
    QByteArray header(QByteArrayView name) const;
    bool hasHeader(QByteArrayView name) const;
};

class RequestReader {
public:
    enum class Step { More, Complete, Refused };
    struct Progress {
        Step step;
        qsizetype consumed;
    };

    explicit RequestReader(const ConnectionLimits& limits) : limits_(limits) {}

    // `unread`: every unread byte of the connection, from the first byte of
    // the current request on (less what earlier calls consumed).
    Progress read(QByteArrayView unread);

    // After Complete: the request. Taking it starts the next one.
    HttpRequest take();
    // After Refused: the status (400, 413, 431, 501, 505) and why.
    int refusalStatus() const { return refusalStatus_; }
    const char* refusalReason() const { return refusalReason_; }
    // The head is read and its body is still to come: the head so far.
    bool inBody() const { return phase_ != Phase::Head && phase_ != Phase::Done && phase_ != Phase::Refused; }
    const HttpRequest& head() const { return request_; }
    // Whether any byte of a request has arrived (the header timer runs).
    bool started() const { return phase_ != Phase::Head || sawBytes_; }

private:
    enum class Phase { Head, Body, ChunkSize, ChunkData, ChunkDataEnd, Trailers, Done, Refused };

    Progress refuse(int status, const char* reason, qsizetype consumed = 0);
    Progress readHead(QByteArrayView unread);
    bool parseHead(QByteArrayView head);
    Progress readBody(QByteArrayView unread);
    // A line of the chunked framing (size or trailer) gathered across reads.
    // Returns the consumed bytes, and whether the line is complete.
    std::pair<qsizetype, bool> gatherLine(QByteArrayView unread);

    ConnectionLimits limits_;
    Phase phase_ = Phase::Head;
    bool sawBytes_ = false;
    qsizetype scanned_ = 0;  // of the head: no end of it before here
    bool seenLine_ = false;  // the request line has begun
    HttpRequest request_;
    qint64 remaining_ = 0;   // of the body or of the current chunk
    QByteArray line_;
    int trailerBytes_ = 0;
    int refusalStatus_ = 0;
    const char* refusalReason_ = "";
};

// Names the status for the status line.
const char* statusText(int status);

}  // namespace orva::service
