// Fuzz target for the service's own request handling: routing, the query of
// a "stable" wait, property-write bodies, WebSocket subscriptions, the
// configuration file with its line-keeping writer, and the connection layer's
// request reader (bytes of a connection in, requests, refusals and closes
// out). The first byte picks the part (250 and above: the connection); the
// rest is its input. Every answer must keep its documented shape.

#include <QByteArray>
#include <QString>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <variant>
#include <vector>
#include <algorithm>

#include "platform/serial_settings.h"
#include "service/http/api_request.h"
#include "service/fd_serial_port.h"
#include "service/http/request_reader.h"
#include "service/service_config.h"

namespace {

using namespace orva::service;

void check(bool holds, const char* what) {
    if (holds) return;
    std::fprintf(stderr, "invariant broken: %s\n", what);
    std::abort();
}

void fuzzRoute(const QByteArray& input) {
    const auto split = input.indexOf('\n');
    const QByteArray method = split < 0 ? QByteArray("GET") : input.left(split);
    const QByteArray path = split < 0 ? input : input.mid(split + 1);
    const auto routed = route(method, path);
    if (const auto* r = std::get_if<Route>(&routed)) {
        check(method == "GET" || method == "PUT" || method == "OPTIONS", "only GET, PUT and OPTIONS reach a resource");
        check(method != "PUT" || r->resource == Resource::Properties, "PUT reaches only the properties");
        const bool perScale = r->resource == Resource::Scale || r->resource == Resource::Stable || r->resource == Resource::Properties;
        check(perScale == !r->scaleId.isEmpty(), "a scale resource names a scale");
        if (perScale) check(validScaleId(r->scaleId.toStdString()), "a routed scale id is valid");
    } else {
        const Refusal& f = std::get<Refusal>(routed);
        check(f.status == 404 || f.status == 405, "routing refuses with 404 or 405");
        check(!f.error.isEmpty(), "a refusal says why");
    }
}

void fuzzQuery(const QByteArray& input) {
    const auto timeout = stableTimeout(input);
    if (const int* ms = std::get_if<int>(&timeout)) check(*ms >= 0 && *ms <= kMaxStableTimeoutMs, "timeout within 0..60000");
    else check(std::get<Refusal>(timeout).status == 400, "a bad query is a 400");
}

void fuzzBody(const QByteArray& input) {
    const auto writes = propertyWrites(input);
    if (const auto* list = std::get_if<std::vector<PropertyWrite>>(&writes)) {
        check(!list->empty(), "a write names at least one property");
        for (const PropertyWrite& w : *list) {
            const bool number = std::holds_alternative<std::int16_t>(w.value);
            check(number == (w.name == "MinFixVes" || w.name == "DecPoint"), "integers for MinFixVes and DecPoint only");
            check(number || w.name == "ComSetting" || w.name == "ComNumber", "only writable properties");
            if (!number)
                for (QChar c : std::get<QString>(w.value)) check(c.unicode() >= 0x20 && c.unicode() != 0x7f, "texts fit on one line");
        }
    } else {
        check(std::get<Refusal>(writes).status == 400, "a bad body is a 400");
    }
}

void fuzzSubscription(const QByteArray& input) {
    const auto ids = subscription(input);
    if (const auto* list = std::get_if<QStringList>(&ids))
        for (const QString& id : *list) check(validScaleId(id.toStdString()), "subscribed ids are valid");
}

void fuzzConfig(const QByteArray& input) {
    // "value\0file": a value to write into the first scale of the file.
    const auto nul = input.indexOf('\0');
    const std::string value = nul < 0 ? std::string("19200,e,7,2") : input.left(nul).toStdString();
    const std::string text = nul < 0 ? input.toStdString() : input.mid(nul + 1).toStdString();
    ServiceConfig config;
    try {
        config = parseConfig(text, "fuzz.ini");
    } catch (const ConfigError& e) {
        check(e.line() >= 0, "errors carry a line");
        return;
    }
    for (const ScaleConfig& s : config.scales) {
        check(validScaleId(s.id), "scale ids are valid");
        check(!s.port.empty(), "every scale has a port");
    }
    if (config.scales.empty()) return;
    const std::string& id = config.scales.front().id;
    const bool oneLine = value.find_first_of(std::string("\r\n\0", 3)) == std::string::npos;
    if (!oneLine) return;  // the service never writes such a text
    // Nor settings that a terminal cannot take: the write refuses them first.
    const auto settings = orva::parseSerialSettings(value);
    if (!settings) return;
    if (!parseTcpEndpoint(config.scales.front().port) && !terminalSettingsRefusal(*settings).empty()) return;
    const std::string written = withValue(text, id, "ComSetting", value);
    ServiceConfig again;
    try {
        again = parseConfig(written, "fuzz.ini");
    } catch (const ConfigError&) {
        check(false, "a written file reads back");
    }
    check(again.scales.size() == config.scales.size(), "writing keeps every scale");
    const std::string trimmed = [&] {
        std::string v = value;
        while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.erase(v.begin());
        while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.pop_back();
        return v;
    }();
    check(again.scales.front().ComSetting.value_or("\x01") == value, "the written value reads back unchanged");
    (void)trimmed;
}

// What a connection makes of its bytes: each request (method, target, body)
// or the refusal that closes it, in order.
struct Served {
    std::vector<std::string> events;
    qsizetype maxHeld = 0;
};

Served serve(const QByteArray& bytes, qsizetype piece, const ConnectionLimits& limits) {
    Served out;
    RequestReader reader(limits);
    QByteArray unread;
    qsizetype at = 0;
    while (true) {
        const RequestReader::Progress p = reader.read(unread);
        check(p.consumed >= 0 && p.consumed <= unread.size(), "consumes only what it was given");
        unread.remove(0, p.consumed);
        out.maxHeld = std::max(out.maxHeld, unread.size());
        if (p.step == RequestReader::Step::Refused) {
            const int s = reader.refusalStatus();
            check(s == 400 || s == 413 || s == 431 || s == 501 || s == 505, "refusals are 400, 413, 431, 501 or 505");
            out.events.push_back("refused " + std::to_string(s));
            return out;  // and closed
        }
        if (p.step == RequestReader::Step::Complete) {
            const HttpRequest r = reader.take();
            check(r.body.size() <= limits.maxBodyBytes, "a body within its limit");
            check(r.headBytes <= limits.maxHeaderBytes, "a head within its limit");
            check(static_cast<int>(r.headers.size()) <= limits.maxHeaders, "headers within their number");
            check(r.path.startsWith('/'), "a target is a path");
            for (const auto& [name, value] : r.headers)
                for (char c : name + value) check(c != '\r' && c != '\n' && c != '\0', "no line break in a header");
            out.events.push_back(r.method.toStdString() + " " + r.target.toStdString() + " " + r.body.toStdString());
            if (!r.keepAlive) return out;
            continue;
        }
        if (at >= bytes.size()) return out;  // the client stops sending
        const qsizetype n = std::min(piece, bytes.size() - at);
        unread += bytes.mid(at, n);
        at += n;
    }
}

void fuzzConnection(const QByteArray& input) {
    ConnectionLimits limits;
    limits.maxHeaderBytes = 512;
    limits.maxHeaders = 8;
    limits.maxBodyBytes = 64;
    const Served whole = serve(input, input.size() + 1, limits);
    // However the bytes are cut into segments, a connection serves the same.
    for (const qsizetype piece : {qsizetype{1}, qsizetype{3}, qsizetype{64}}) {
        const Served cut = serve(input, piece, limits);
        check(cut.events == whole.events, "the same requests however the bytes arrive");
        check(cut.maxHeld <= limits.maxHeaderBytes + piece, "never more held than a head and one arrival");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const QByteArray input(reinterpret_cast<const char*>(data + 1), static_cast<qsizetype>(size - 1));
    if (data[0] >= 250) {
        fuzzConnection(input);
        return 0;
    }
    switch (data[0] % 5) {
        case 0: fuzzRoute(input); break;
        case 1: fuzzQuery(input); break;
        case 2: fuzzBody(input); break;
        case 3: fuzzSubscription(input); break;
        default: fuzzConfig(input); break;
    }
    return 0;
}
