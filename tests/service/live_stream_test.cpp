// The event stream's parts on their own: the mask watch over frames split
// anyhow (and the WebSocket server reading some of them between looks), the
// handshake checks, and the batch of an interval with its catch-ups.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "service/http/handshake_check.h"
#include "service/http/live_batch.h"
#include "service/http/mask_watch.h"

namespace orva::service {
namespace {

QByteArray frame(unsigned char first, const QByteArray& payload, bool masked) {
    QByteArray out(1, char(first));
    const auto n = payload.size();
    const char mask = masked ? char(0x80) : char(0);
    if (n < 126) {
        out += char(mask | char(n));
    } else if (n < 65536) {
        out += char(mask | 126);
        out += char(n >> 8);
        out += char(n & 0xff);
    } else {
        out += char(mask | 127);
        for (int shift = 56; shift >= 0; shift -= 8) out += char((quint64(n) >> shift) & 0xff);
    }
    if (masked) out += QByteArray(4, '\0');
    return out + payload;
}

// Feeds the stream in pieces; after each look the reader takes `taken`
// bytes (as the WebSocket server would) of what is unread.
bool watchSaysMasked(const QByteArray& stream, qsizetype headBytes, qsizetype piece, qsizetype taken) {
    MaskWatch watch(headBytes);
    QByteArray unread;
    for (qsizetype at = 0; at < stream.size(); at += piece) {
        unread += stream.mid(at, piece);
        if (!watch.look(unread)) return false;
        unread.remove(0, std::min(taken, unread.size()));
        watch.leftUnread(unread.size());
    }
    return true;
}

TEST(MaskWatch, AnUnmaskedFrameIsFoundHoweverTheBytesAreSplit) {
    const QByteArray head = "GET /api/live HTTP/1.1\r\nHost: x\r\n\r\n";
    const QByteArray masked = frame(0x81, "{\"subscribe\":[]}", true) + frame(0x89, "p", true) +
                              frame(0x81, QByteArray(300, ' '), true) + frame(0x82, QByteArray(70000, 'b'), true);
    const QByteArray unmasked = frame(0x81, "{}", false);
    const QByteArray oddHead = "GET /\x01\x01 HTTP/1.1\r\n\r\n";
    struct Case {
        const char* name;
        QByteArray stream;
        qsizetype headBytes;
        bool ok;
    } cases[] = {
        {"masked frames of every length form", head + masked, head.size(), true},
        {"an unmasked frame after them", head + masked + unmasked, head.size(), false},
        {"an unmasked frame first", head + unmasked + masked, head.size(), false},
        {"an unmasked ping", head + frame(0x89, "p", false), head.size(), false},
        // Its head's bytes are not a frame, whatever they hold.
        {"a head of bytes that look unmasked", oddHead + masked, oddHead.size(), true},
    };
    for (const Case& c : cases)
        for (qsizetype piece : {1, 3, 7, 100, 4096, 1 << 20})
            for (qsizetype taken : {0, 1, 5, 64, 1 << 20})
                EXPECT_EQ(watchSaysMasked(c.stream, c.headBytes, piece, taken), c.ok)
                    << c.name << ", pieces of " << piece << ", " << taken << " taken";
}

HttpRequest handshake(const std::vector<std::pair<QByteArray, QByteArray>>& headers, bool http10 = false,
                      bool bareLineFeeds = false) {
    HttpRequest r;
    r.method = "GET";
    r.path = "/api/live";
    r.http10 = http10;
    r.bareLineFeeds = bareLineFeeds;
    r.headers = headers;
    return r;
}

TEST(HandshakeCheck, WhatTheWebSocketServerWouldNotTakeIsNamed) {
    const std::pair<QByteArray, QByteArray> host{"Host", "127.0.0.1:8650"}, upgrade{"Connection", "keep-alive, Upgrade"},
        version{"Sec-WebSocket-Version", "13"};
    struct Case {
        const char* name;
        HttpRequest request;
        const char* refusal;  // a part of it, or null
    } cases[] = {
        {"a good one", handshake({host, upgrade, version}), nullptr},
        {"an IPv6 host", handshake({{"Host", "[::1]:8650"}, upgrade, version}), nullptr},
        {"bare line feeds", handshake({host, upgrade, version}, false, true), "CR LF"},
        {"HTTP/1.0", handshake({host, upgrade, version}, true), "HTTP/1.1"},
        {"no upgrade token", handshake({host, {"Connection", "keep-alive"}, version}), "Connection: Upgrade"},
        {"upgrade only in a second Connection", handshake({host, {"Connection", "close"}, upgrade, version}), "Connection: Upgrade"},
        {"a host with a user", handshake({{"Host", "me@127.0.0.1"}, upgrade, version}), "Host"},
        {"an IPv6 host without brackets", handshake({{"Host", "::1"}, upgrade, version}), "Host"},
        {"a long header line", handshake({host, upgrade, version, {"X-Pad", QByteArray(9000, 'p')}}), "8 KiB"},
        {"a second version", handshake({host, upgrade, version, {"Sec-WebSocket-Version", "x"}}), "13"},
    };
    for (const Case& c : cases) {
        const char* got = handshakeRefusal(c.request);
        if (c.refusal == nullptr) {
            EXPECT_EQ(got, nullptr) << c.name << ": " << got;
        } else {
            ASSERT_NE(got, nullptr) << c.name;
            EXPECT_NE(std::string(got).find(c.refusal), std::string::npos) << c.name << ": " << got;
        }
    }
}

QByteArray event(const char* scale, const char* name, const char* rest = "", int t = 1) {
    return QByteArray("{\"t_ms\":") + QByteArray::number(t) + ",\"time\":\"T" + QByteArray::number(t) + "\",\"event\":\"" + name +
           "\"" + rest + ",\"scale\":\"" + scale + "\"}";
}

TEST(LiveBatch, LatestStatesPerScaleHappeningsInOrderAndCatchUpsOfWhatChanged) {
    LiveBatch batch;
    batch.add("a", event("a", "Decode", ",\"w\":1", 1));
    batch.add("a", event("a", "StabVes", "", 2));
    batch.add("a", event("a", "Decode", ",\"w\":2", 3));  // replaces the first, in its place
    batch.add("b", event("b", "Port", ",\"state\":\"lost\"", 4));
    batch.add("b", event("b", "Port", ",\"state\":\"open\"", 5));  // both kept
    EXPECT_EQ(batch.message({}), "[" + event("a", "Decode", ",\"w\":2", 3) + "," + event("a", "StabVes", "", 2) + "," +
                                     event("b", "Port", ",\"state\":\"lost\"", 4) + "," + event("b", "Port", ",\"state\":\"open\"", 5) + "]");
    EXPECT_EQ(batch.message({"b"}), "[" + event("b", "Port", ",\"state\":\"lost\"", 4) + "," + event("b", "Port", ",\"state\":\"open\"", 5) + "]");
    EXPECT_EQ(batch.message({"c"}), "");
    const std::uint64_t first = batch.interval();
    batch.clear();
    EXPECT_TRUE(batch.empty());

    // The same panel again is no news, until a second of intervals has passed.
    batch.add("a", event("a", "Decode", ",\"w\":2", 6));
    EXPECT_TRUE(batch.empty());
    batch.add("c", event("c", "Decode", ",\"w\":9", 7));
    // Served through the first interval: only c changed since.
    EXPECT_EQ(batch.catchUp({}, first), "[" + event("c", "Decode", ",\"w\":9", 7) + "]");
    // Never served: every scale's latest state and Port; happenings of now only.
    const QByteArray all = batch.catchUp({}, 0);
    for (const QByteArray& e : {event("a", "Decode", ",\"w\":2", 3), event("b", "Port", ",\"state\":\"open\"", 5),
                                event("c", "Decode", ",\"w\":9", 7)})
        EXPECT_TRUE(all.contains(e)) << all.toStdString();
    EXPECT_FALSE(all.contains("StabVes"));
    EXPECT_FALSE(all.contains("lost"));
    for (std::uint64_t i = 0; i < LiveBatch::kHeartbeatIntervals; ++i) batch.clear();
    batch.add("a", event("a", "Decode", ",\"w\":2", 8));
    EXPECT_EQ(batch.message({}), "[" + event("a", "Decode", ",\"w\":2", 8) + "]");

    // Happenings are bounded per interval.
    batch.reset();
    for (std::size_t i = 0; i < LiveBatch::kMaxHappenings + 10; ++i) batch.add("a", event("a", "Beep"));
    EXPECT_EQ(batch.dropped(), 10u);
    EXPECT_EQ(batch.catchUp({}, 0).count("Beep"), static_cast<qsizetype>(LiveBatch::kMaxHappenings));
}

}  // namespace
}  // namespace orva::service
