#include "service/http/handshake_check.h"

#include <QUrl>

namespace orva::service {

const char* handshakeRefusal(const HttpRequest& request, qsizetype maxLineBytes) {
    // The WebSocket server waits for CRLF CRLF: a head of bare line feeds
    // would never be read there, and its socket would wait for nothing.
    if (request.bareLineFeeds) return "a WebSocket handshake's lines end in CR LF";
    if (request.http10) return "a WebSocket handshake is HTTP/1.1";
    // The first Connection header must name the upgrade.
    bool upgrade = false;
    for (const QByteArray& token : request.header("Connection").split(','))
        if (token.trimmed().compare("upgrade", Qt::CaseInsensitive) == 0) upgrade = true;
    if (!upgrade) return "a WebSocket handshake needs Connection: Upgrade";
    // Its URL is built from Host as an authority: it must give a host, and no user.
    QUrl url;
    url.setAuthority(QString::fromLatin1(request.header("Host")));
    if (url.host().isEmpty() || !url.userName().isNull()) return "a WebSocket handshake needs a Host it can read";
    for (const auto& [name, value] : request.headers) {
        if (name.size() + 2 + value.size() > maxLineBytes) return "a WebSocket handshake's header line is over 8 KiB";
        if (name.compare("Sec-WebSocket-Version", Qt::CaseInsensitive) == 0 && value.trimmed() != "13")
            return "the WebSocket version spoken is 13";
    }
    return nullptr;
}

}  // namespace orva::service
