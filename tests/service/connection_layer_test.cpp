// The connection layer's pure parts: the request reader against framing
// that is ambiguous, oversized or split anyhow; the log's escaping and its
// once-per-window refusals; the limits fitted into the descriptors.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/http/descriptor_limit.h"
#include "hosts/log_text.h"
#include "service/http/refusal_log.h"
#include "service/http/request_reader.h"

namespace orva::service {
using host::escapeForLog;
namespace {

ConnectionLimits smallLimits() {
    ConnectionLimits l;
    l.maxHeaderBytes = 256;
    l.maxHeaders = 4;
    l.maxBodyBytes = 16;
    return l;
}

struct Outcome {
    int status = 0;  // 0: complete
    HttpRequest request;
    qsizetype consumed = 0;
    qsizetype maxBuffered = 0;  // the most the reader held at once
};

// Feeds `bytes` in pieces of `piece` bytes, keeping the unread rest the way a
// connection does.
Outcome feed(const QByteArray& bytes, qsizetype piece, const ConnectionLimits& limits = smallLimits()) {
    RequestReader reader(limits);
    QByteArray unread;
    Outcome out;
    for (qsizetype at = 0; at < bytes.size() || !unread.isEmpty();) {
        const qsizetype n = std::min(piece, bytes.size() - at);
        unread += bytes.mid(at, n);
        at += n;
        const auto p = reader.read(unread);
        out.consumed += p.consumed;
        unread.remove(0, p.consumed);
        out.maxBuffered = std::max(out.maxBuffered, unread.size());
        if (p.step == RequestReader::Step::Refused) {
            out.status = reader.refusalStatus();
            return out;
        }
        if (p.step == RequestReader::Step::Complete) {
            out.request = reader.take();
            return out;
        }
        if (n == 0) break;
    }
    out.status = -1;  // still waiting for more
    return out;
}

TEST(RequestReader, FramingAndLimitsHoldHoweverTheBytesAreSplit) {
    const QByteArray big(1000, 'a');
    struct Case {
        const char* name;
        QByteArray bytes;
        int status;          // 0 complete, -1 waiting, else the refusal
        const char* body;    // when complete
    };
    const std::vector<Case> cases{
        {"plain GET", "GET /api/scales HTTP/1.1\r\nHost: h\r\n\r\n", 0, ""},
        {"bare LF lines", "GET / HTTP/1.1\nHost: h\n\n", 0, ""},
        {"blank lines before the request", "\r\n\r\nGET / HTTP/1.1\r\nHost: h\r\n\r\n", 0, ""},
        {"body by length", "PUT /p HTTP/1.1\r\nHost: h\r\nContent-Length: 5\r\n\r\nhello", 0, "hello"},
        {"same length twice", "PUT /p HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\ncontent-length: 2\r\n\r\nhi", 0, "hi"},
        {"chunked", "PUT /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n3;x=y\r\nabc\r\n2\r\nde\r\n0\r\nT: v\r\n\r\n", 0, "abcde"},
        {"two different lengths", "PUT /p HTTP/1.1\r\nHost: h\r\nContent-Length: 2\r\nContent-Length: 3\r\n\r\nabc", 400, ""},
        {"length and chunked", "PUT /p HTTP/1.1\r\nHost: h\r\nContent-Length: 3\r\nTransfer-Encoding: chunked\r\n\r\n0\r\n\r\n", 400, ""},
        {"chunked and length", "PUT /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\nContent-Length: 3\r\n\r\n", 400, ""},
        {"a length that is not a number", "PUT /p HTTP/1.1\r\nHost: h\r\nContent-Length: +3\r\n\r\nabc", 400, ""},
        {"a list of lengths", "PUT /p HTTP/1.1\r\nHost: h\r\nContent-Length: 3, 3\r\n\r\nabc", 400, ""},
        {"a bad chunk size", "PUT /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nzz\r\n", 400, ""},
        {"chunk data over its size", "PUT /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n1\r\nab\r\n0\r\n\r\n", 400, ""},
        {"a chunk size of 16 hex digits", "PUT /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n10000000000000000\r\n", 400, ""},
        {"another coding", "PUT /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: gzip\r\n\r\n", 501, ""},
        {"a folded header", "GET / HTTP/1.1\r\nHost: h\r\n continued\r\n\r\n", 400, ""},
        {"a blank before the colon", "GET / HTTP/1.1\r\nHost : h\r\n\r\n", 400, ""},
        {"a control character in a value", QByteArray("GET / HTTP/1.1\r\nHost: h\r\nX: a\x01" "b\r\n\r\n"), 400, ""},
        {"no host in 1.1", "GET / HTTP/1.1\r\n\r\n", 400, ""},
        {"two hosts", "GET / HTTP/1.1\r\nHost: a\r\nHost: b\r\n\r\n", 400, ""},
        {"HTTP/1.0 without host", "GET / HTTP/1.0\r\n\r\n", 0, ""},
        {"HTTP/2 preface", "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n", 400, ""},
        {"HTTP/1.2", "GET / HTTP/1.2\r\nHost: h\r\n\r\n", 505, ""},
        {"two spaces", "GET  / HTTP/1.1\r\nHost: h\r\n\r\n", 400, ""},
        {"absolute target", "GET http://h/ HTTP/1.1\r\nHost: h\r\n\r\n", 400, ""},
        {"more headers than allowed", "GET / HTTP/1.1\r\nHost: h\r\nA: 1\r\nB: 2\r\nC: 3\r\nD: 4\r\n\r\n", 431, ""},
        {"a head over its bytes, unfinished", "GET /" + big, 431, ""},
        {"a head over its bytes, finished", "GET / HTTP/1.1\r\nHost: h\r\nX: " + big + "\r\n\r\n", 431, ""},
        {"a length over the body limit, late", "PUT /p HTTP/1.1\r\nHost: h\r\nX: " + QByteArray(150, 'x') + "\r\nContent-Length: 17\r\n\r\n", 413, ""},
        {"chunks over the body limit", "PUT /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n9\r\n123456789\r\n9\r\n123456789\r\n", 413, ""},
        {"one chunk over the limit", "PUT /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\nffffff\r\n", 413, ""},
        {"a chunk line without end", "PUT /p HTTP/1.1\r\nHost: h\r\nTransfer-Encoding: chunked\r\n\r\n1;" + QByteArray(2000, 'e'), 400, ""},
        {"half a head", "GET / HTTP/1.1\r\nHost:", -1, ""},
        {"half a body", "PUT /p HTTP/1.1\r\nHost: h\r\nContent-Length: 9\r\n\r\nabc", -1, ""},
    };
    for (const Case& c : cases) {
        for (const qsizetype piece : {qsizetype{1}, qsizetype{7}, qsizetype{100000}}) {
            SCOPED_TRACE(std::string(c.name) + ", pieces of " + std::to_string(piece));
            const Outcome out = feed(c.bytes, piece);
            EXPECT_EQ(out.status, c.status);
            if (c.status == 0) {
                EXPECT_EQ(out.request.body, QByteArray(c.body));
            }
            // Never more held than the head limit and what one arrival brought.
            EXPECT_LE(out.maxBuffered, smallLimits().maxHeaderBytes + piece);
        }
    }
}

TEST(RequestReader, TakesOneRequestAndLeavesTheNextUnread) {
    const QByteArray first = "GET /a?x=1 HTTP/1.1\r\nHost: h\r\nConnection: close\r\n\r\n";
    const QByteArray both = first + "GET /b HTTP/1.1\r\nHost: h\r\n\r\n";
    RequestReader reader(smallLimits());
    const auto p = reader.read(both);
    ASSERT_EQ(p.step, RequestReader::Step::Complete);
    EXPECT_EQ(p.consumed, first.size());
    const HttpRequest r = reader.take();
    EXPECT_EQ(r.path, "/a");
    EXPECT_EQ(r.query, "x=1");
    EXPECT_FALSE(r.keepAlive);
    EXPECT_EQ(r.header("connection"), "close");
    const auto q = reader.read(QByteArrayView(both).sliced(p.consumed));
    ASSERT_EQ(q.step, RequestReader::Step::Complete);
    EXPECT_EQ(reader.take().path, "/b");
}

TEST(RequestReader, KeepAliveByVersionAndConnection) {
    const struct {
        const char* bytes;
        bool keepAlive;
    } cases[] = {
        {"GET / HTTP/1.1\r\nHost: h\r\n\r\n", true},
        {"GET / HTTP/1.1\r\nHost: h\r\nConnection: keep-alive, Close\r\n\r\n", false},
        {"GET / HTTP/1.0\r\n\r\n", false},
        {"GET / HTTP/1.0\r\nConnection: Keep-Alive\r\n\r\n", true},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.bytes);
        EXPECT_EQ(feed(c.bytes, 1000).request.keepAlive, c.keepAlive);
    }
}

TEST(RequestReader, TheDefaultsAreTheDocumentedOnes) {
    const ConnectionLimits d;
    // 16 KiB head: a head of 16 KiB is read, one byte more is refused.
    const QByteArray start = "GET / HTTP/1.1\r\nHost: h\r\nX: ";
    const QByteArray fits = start + QByteArray(16 * 1024 - start.size() - 4, 'x') + "\r\n\r\n";
    EXPECT_EQ(feed(fits, 4096, d).status, 0);
    EXPECT_EQ(feed(start + QByteArray(16 * 1024 - start.size() - 3, 'x') + "\r\n\r\n", 4096, d).status, 431);
    QByteArray headers = "GET / HTTP/1.1\r\nHost: h\r\n";
    for (int i = 0; i < 99; ++i) headers += "X" + QByteArray::number(i) + ": v\r\n";
    EXPECT_EQ(feed(headers + "\r\n", 4096, d).status, 0);
    EXPECT_EQ(feed(headers + "Y: v\r\n\r\n", 4096, d).status, 431);
    const QByteArray put = "PUT /p HTTP/1.1\r\nHost: h\r\nContent-Length: ";
    EXPECT_EQ(feed(put + "65536\r\n\r\n" + QByteArray(65536, '{'), 4096, d).status, 0);
    EXPECT_EQ(feed(put + "65537\r\n\r\n", 4096, d).status, 413);
}

TEST(LogText, ClientTextCannotMakeALineOfItsOwn) {
    const struct {
        std::string in, out;
    } cases[] = {
        {"plain text", "plain text"},
        {"a\nforged line", "a\\x0aforged line"},
        {"cr\r\x1b[2J", "cr\\x0d\\x1b[2J"},
        {"back\\slash", "back\\x5cslash"},
        {"Gewicht \xc3\xa4", "Gewicht \xc3\xa4"},          // UTF-8 text stays
        {"\xc3", "\\xc3"},                                   // a cut sequence does not
        {"\xc0\x8a", "\\xc0\\x8a"},                          // nor an overlong newline
        {"next\xc2\x85line", "next\\xc2\\x85line"},          // nor C1 NEL
        {"sep\xe2\x80\xa8", "sep\\xe2\\x80\\xa8"},           // nor U+2028
        {std::string("nul\0x", 5), "nul\\x00x"},
    };
    for (const auto& c : cases) EXPECT_EQ(escapeForLog(c.in), c.out) << c.in;
}

TEST(RefusalLog, OneLinePerAddressPerWindowWithTheCount) {
    std::vector<std::string> lines;
    RefusalLog log([&](const std::string& l) { lines.push_back(l); });
    for (int i = 0; i < 20000; ++i) log.refused("10.0.0.1", "refused a write", i / 100);  // 200 ms
    log.refused("10.0.0.2", "refused another", 500);
    ASSERT_EQ(lines.size(), 2u);
    log.refused("10.0.0.1", "refused again", 10'000);
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[2], "refused again (19999 more refusals from 10.0.0.1 not logged since the last line)");
    log.refused("10.0.0.1", "refused later", 20'001);
    EXPECT_EQ(lines.back(), "refused later");
    // A burst that stops is counted once its window has passed.
    EXPECT_TRUE(log.refused("10.0.0.1", "left out", 20'002));
    EXPECT_TRUE(log.flush(25'000));
    EXPECT_EQ(lines.back(), "refused later");
    EXPECT_FALSE(log.flush(30'001));
    EXPECT_EQ(lines.back(), "1 more refusals from 10.0.0.1 not logged since the last line");
    EXPECT_FALSE(log.flush(40'000));
    EXPECT_EQ(lines.size(), 5u);
}

TEST(RefusalLog, ManyAddressesShareOneEntryPastTheBound) {
    std::vector<std::string> lines;
    RefusalLog log([&](const std::string& l) { lines.push_back(l); });
    for (std::size_t i = 0; i < RefusalLog::kMaxAddresses + 1000; ++i) log.refused("a" + std::to_string(i), "x", 1);
    EXPECT_EQ(lines.size(), RefusalLog::kMaxAddresses + 1);  // the rest counted under "other addresses"
}

TEST(DescriptorLimit, LimitsFitTheDescriptors) {
    const struct {
        long descriptors;
        int scales;
        long otherFaces;  // what Modbus clients, the broker ... hold at most
        bool lowered;
    } cases[] = {{65536, 100, 0, false}, {1024, 100, 0, true}, {1024, 0, 0, true}, {2000, 10, 0, false}, {100, 500, 0, true},
                 // Fits alone, not beside 1024 Modbus clients and the broker.
                 {2000, 10, 1027 + 5, true}, {4096, 10, 1027 + 5, false}, {1500, 0, 1200, true}};
    for (const auto& c : cases) {
        std::string note;
        const ConnectionLimits l = fitDescriptors(ConnectionLimits{}, c.descriptors, c.scales, c.otherFaces, note);
        SCOPED_TRACE(std::to_string(c.descriptors) + " descriptors, " + std::to_string(c.scales) + " scales, " +
                     std::to_string(c.otherFaces) + " for other faces");
        EXPECT_EQ(!note.empty(), c.lowered);
        EXPECT_GE(l.maxConnections, 1);
        EXPECT_GE(l.maxWebSocketClients, 1);
        const long needed = 64 + 2L * c.scales + c.otherFaces;
        if (c.descriptors > needed + 2) {
            EXPECT_LE(l.maxConnections + l.maxWebSocketClients + needed, c.descriptors);
            EXPECT_EQ(note.find("too few"), std::string::npos) << note;
        } else {
            EXPECT_NE(note.find("too few"), std::string::npos) << note;
        }
    }
}

}  // namespace
}  // namespace orva::service
