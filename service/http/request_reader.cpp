#include "service/http/request_reader.h"

#include <QList>

#include <algorithm>
#include <cctype>
#include <optional>

namespace orva::service {
namespace {

constexpr qsizetype kMaxChunkLine = 1024;  // a chunk's size with its extensions

bool isTokenChar(char c) {
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return true;
    return c != '\0' && QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView s) { return !s.isEmpty() && std::all_of(s.begin(), s.end(), isTokenChar); }

// Field values: visible characters, blanks and bytes of UTF-8 or Latin-1
// text; no control character but the tab.
bool isFieldValue(QByteArrayView s) {
    return std::none_of(s.begin(), s.end(), [](char c) {
        const auto u = static_cast<unsigned char>(c);
        return (u < 0x20 && u != '\t') || u == 0x7f;
    });
}

QByteArrayView trimmed(QByteArrayView s) {
    while (!s.isEmpty() && (s.front() == ' ' || s.front() == '\t')) s = s.sliced(1);
    while (!s.isEmpty() && (s.back() == ' ' || s.back() == '\t')) s.chop(1);
    return s;
}

bool sameName(QByteArrayView a, QByteArrayView b) { return a.compare(b, Qt::CaseInsensitive) == 0; }

// Whole decimal digits only: "+5", "5 5", "0x5" and an empty value are not lengths.
std::optional<qint64> decimal(QByteArrayView s) {
    if (s.isEmpty() || s.size() > 18) return std::nullopt;
    qint64 n = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        n = n * 10 + (c - '0');
    }
    return n;
}

}  // namespace

QByteArray HttpRequest::header(QByteArrayView name) const {
    for (const auto& [key, value] : headers)
        if (sameName(key, name)) return value;
    return {};
}

bool HttpRequest::hasHeader(QByteArrayView name) const {
    return std::any_of(headers.begin(), headers.end(), [&](const auto& h) { return sameName(h.first, name); });
}

RequestReader::Progress RequestReader::refuse(int status, const char* reason, qsizetype consumed) {
    phase_ = Phase::Refused;
    refusalStatus_ = status;
    refusalReason_ = reason;
    return {Step::Refused, consumed};
}

RequestReader::Progress RequestReader::read(QByteArrayView unread) {
    if (phase_ == Phase::Refused) return {Step::Refused, 0};
    if (phase_ == Phase::Done) return {Step::Complete, 0};
    qsizetype consumed = 0;
    if (phase_ == Phase::Head) {
        const Progress head = readHead(unread);
        if (head.step != Step::More || phase_ == Phase::Head || phase_ == Phase::Done) return head;
        consumed = head.consumed;
    }
    Progress body = readBody(unread.sliced(consumed));
    body.consumed += consumed;
    return body;
}

RequestReader::Progress RequestReader::readHead(QByteArrayView unread) {
    if (!unread.isEmpty()) sawBytes_ = true;
    // Find the blank line that ends the head; lines end in CRLF (a bare LF is
    // taken too). Blank lines before the request line are skipped.
    qsizetype end = -1;
    qsizetype lineStart = scanned_;
    while (true) {
        const qsizetype nl = unread.indexOf('\n', lineStart);
        if (nl < 0) break;
        const qsizetype length = nl - lineStart - (nl > lineStart && unread[nl - 1] == '\r' ? 1 : 0);
        if (length > 0) {
            seenLine_ = true;
        } else if (seenLine_) {
            end = nl + 1;
            break;
        }
        lineStart = nl + 1;
        if (lineStart > limits_.maxHeaderBytes) break;
    }
    if (end < 0) {
        scanned_ = lineStart;
        if (unread.size() > limits_.maxHeaderBytes)
            return refuse(431, "the request line and headers are over their limit");
        return {Step::More, 0};
    }
    if (end > limits_.maxHeaderBytes) return refuse(431, "the request line and headers are over their limit");
    scanned_ = 0;
    seenLine_ = false;
    if (!parseHead(unread.first(end))) return {Step::Refused, 0};
    request_.headBytes = end;
    return {phase_ == Phase::Done ? Step::Complete : Step::More, end};
}

bool RequestReader::parseHead(QByteArrayView head) {
    std::vector<QByteArrayView> lines;
    qsizetype start = 0;
    while (start < head.size()) {
        const qsizetype nl = head.indexOf('\n', start);
        QByteArrayView line = head.sliced(start, nl - start);
        if (line.endsWith('\r')) line.chop(1);
        else if (!lines.empty() || !line.isEmpty()) request_.bareLineFeeds = true;
        start = nl + 1;
        if (line.isEmpty() && lines.empty()) continue;  // before the request line
        if (line.isEmpty()) break;
        lines.push_back(line);
    }
    auto fail = [&](int status, const char* reason) {
        refuse(status, reason);
        return false;
    };
    // METHOD SP target SP HTTP/1.x, single spaces.
    const QByteArrayView requestLine = lines.front();
    const qsizetype sp1 = requestLine.indexOf(' ');
    const qsizetype sp2 = sp1 < 0 ? -1 : requestLine.indexOf(' ', sp1 + 1);
    if (sp1 <= 0 || sp2 < 0 || requestLine.indexOf(' ', sp2 + 1) >= 0) return fail(400, "a malformed request line");
    const QByteArrayView method = requestLine.first(sp1);
    const QByteArrayView target = requestLine.sliced(sp1 + 1, sp2 - sp1 - 1);
    const QByteArrayView version = requestLine.sliced(sp2 + 1);
    if (!isToken(method) || method.size() > 32) return fail(400, "a malformed method");
    if (target.isEmpty() || target.front() != '/' ||
        std::any_of(target.begin(), target.end(), [](char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7f; }))
        return fail(400, "a malformed request target");
    if (version == "HTTP/1.1") request_.http10 = false;
    else if (version == "HTTP/1.0") request_.http10 = true;
    else if (version.startsWith("HTTP/") && version.size() == 8) return fail(505, "only HTTP/1.1 and 1.0 are spoken");
    else return fail(400, "a malformed request line");
    request_.method = method.toByteArray();
    request_.target = target.toByteArray();
    const qsizetype question = target.indexOf('?');
    request_.path = (question < 0 ? target : target.first(question)).toByteArray();
    request_.query = question < 0 ? QByteArray() : target.sliced(question + 1).toByteArray();

    if (static_cast<int>(lines.size()) - 1 > limits_.maxHeaders) return fail(431, "more headers than allowed");
    std::optional<qint64> length;
    int transferEncodings = 0, hosts = 0;
    bool chunked = false, close = request_.http10, keepAlive = false;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        const QByteArrayView line = lines[i];
        if (line.front() == ' ' || line.front() == '\t') return fail(400, "a folded header line");
        const qsizetype colon = line.indexOf(':');
        if (colon <= 0 || !isToken(line.first(colon))) return fail(400, "a malformed header name");
        const QByteArrayView name = line.first(colon);
        const QByteArrayView value = trimmed(line.sliced(colon + 1));
        if (!isFieldValue(value)) return fail(400, "a control character in a header");
        request_.headers.emplace_back(name.toByteArray(), value.toByteArray());
        if (sameName(name, "Content-Length")) {
            const auto n = decimal(value);
            if (!n) return fail(400, "a malformed Content-Length");
            if (length && *length != *n) return fail(400, "two different Content-Length headers");
            length = n;
        } else if (sameName(name, "Transfer-Encoding")) {
            ++transferEncodings;
            if (value.compare("chunked", Qt::CaseInsensitive) != 0) return fail(501, "only the chunked transfer coding is taken");
            chunked = true;
        } else if (sameName(name, "Host")) {
            ++hosts;
        } else if (sameName(name, "Connection")) {
            for (const QByteArray& token : value.toByteArray().split(',')) {
                const QByteArrayView t = trimmed(token);
                if (sameName(t, "close")) close = true;
                if (sameName(t, "keep-alive")) keepAlive = true;
            }
        }
    }
    if (hosts > 1 || (hosts == 0 && !request_.http10)) return fail(400, "an HTTP/1.1 request needs exactly one Host");
    if (transferEncodings > 0 && (length || request_.http10 || transferEncodings > 1))
        return fail(400, "Transfer-Encoding with Content-Length, twice, or in HTTP/1.0");
    request_.keepAlive = request_.http10 ? keepAlive && !sameName(request_.header("Connection"), "close") : !close;
    if (chunked) {
        phase_ = Phase::ChunkSize;
    } else if (length && *length > limits_.maxBodyBytes) {
        return fail(413, "the body is over its limit");
    } else if (length && *length > 0) {
        phase_ = Phase::Body;
        remaining_ = *length;
        request_.body.reserve(static_cast<qsizetype>(*length));
    } else {
        phase_ = Phase::Done;
    }
    return true;
}

std::pair<qsizetype, bool> RequestReader::gatherLine(QByteArrayView unread) {
    const qsizetype nl = unread.indexOf('\n');
    const qsizetype take = nl < 0 ? unread.size() : nl + 1;
    line_.append(unread.first(nl < 0 ? take : nl));
    if (nl < 0) return {take, false};
    if (line_.endsWith('\r')) line_.chop(1);
    return {take, true};
}

RequestReader::Progress RequestReader::readBody(QByteArrayView unread) {
    qsizetype at = 0;
    while (phase_ != Phase::Done) {
        const QByteArrayView rest = unread.sliced(at);
        if (phase_ == Phase::Body || phase_ == Phase::ChunkData) {
            const qsizetype n = static_cast<qsizetype>(std::min<qint64>(remaining_, rest.size()));
            request_.body.append(rest.first(n));
            at += n;
            remaining_ -= n;
            if (remaining_ > 0) return {Step::More, at};
            phase_ = phase_ == Phase::Body ? Phase::Done : Phase::ChunkDataEnd;
            continue;
        }
        if (rest.isEmpty()) return {Step::More, at};
        const auto [taken, complete] = gatherLine(rest);
        at += taken;
        if (!complete) {
            if (line_.size() > (phase_ == Phase::Trailers ? limits_.maxHeaderBytes : kMaxChunkLine))
                return refuse(phase_ == Phase::Trailers ? 431 : 400, "a chunk line over its limit", at);
            return {Step::More, at};
        }
        const QByteArray line = std::exchange(line_, {});
        if (phase_ == Phase::ChunkDataEnd) {
            if (!line.isEmpty()) return refuse(400, "chunk data longer than its size", at);
            phase_ = Phase::ChunkSize;
        } else if (phase_ == Phase::ChunkSize) {
            // hex digits, then nothing or ";" extensions (ignored)
            qsizetype digits = 0;
            qint64 size = 0;
            while (digits < line.size() && std::isxdigit(static_cast<unsigned char>(line[digits]))) {
                if (digits == 15) return refuse(400, "a malformed chunk size", at);
                const char c = static_cast<char>(std::tolower(static_cast<unsigned char>(line[digits])));
                size = size * 16 + (c <= '9' ? c - '0' : c - 'a' + 10);
                ++digits;
            }
            const QByteArrayView extension = trimmed(QByteArrayView(line).sliced(digits));
            if (digits == 0 || (!extension.isEmpty() && extension.front() != ';') || !isFieldValue(extension))
                return refuse(400, "a malformed chunk size", at);
            if (size > limits_.maxBodyBytes - request_.body.size()) return refuse(413, "the body is over its limit", at);
            if (size == 0) {
                phase_ = Phase::Trailers;
                trailerBytes_ = 0;
            } else {
                phase_ = Phase::ChunkData;
                remaining_ = size;
            }
        } else {  // Trailers: read and dropped, up to the blank line
            trailerBytes_ += static_cast<int>(line.size()) + 2;
            if (trailerBytes_ > limits_.maxHeaderBytes) return refuse(431, "trailers over their limit", at);
            if (line.isEmpty()) phase_ = Phase::Done;
            else if (!isFieldValue(line) || line.indexOf(':') <= 0) return refuse(400, "a malformed trailer", at);
        }
    }
    return {Step::Complete, at};
}

HttpRequest RequestReader::take() {
    HttpRequest request = std::move(request_);
    request_ = HttpRequest{};
    phase_ = Phase::Head;
    sawBytes_ = false;
    seenLine_ = false;
    scanned_ = 0;
    remaining_ = 0;
    line_.clear();
    return request;
}

const char* statusText(int status) {
    switch (status) {
        case 101: return "Switching Protocols";
        case 200: return "OK";
        case 204: return "No Content";
        case 400: return "Bad Request";
        case 401: return "Unauthorized";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 405: return "Method Not Allowed";
        case 408: return "Request Timeout";
        case 413: return "Content Too Large";
        case 421: return "Misdirected Request";
        case 426: return "Upgrade Required";
        case 431: return "Request Header Fields Too Large";
        case 500: return "Internal Server Error";
        case 501: return "Not Implemented";
        case 503: return "Service Unavailable";
        case 504: return "Gateway Timeout";
        case 505: return "HTTP Version Not Supported";
        default: return "Unknown";
    }
}

}  // namespace orva::service
