#include "service/http/read_access.h"

#include <QCryptographicHash>
#include <QList>

namespace orva::service {
namespace {

constexpr const char* kCookie = "orva_read";

QByteArray digest(const QByteArray& token) {
    return QCryptographicHash::hash("orva-service read access\n" + token, QCryptographicHash::Sha256).toHex();
}

// The value of our cookie in the Cookie header(s), or empty.
QByteArray cookieValue(const HttpRequest& request) {
    for (const auto& [name, value] : request.headers) {
        if (name.compare("Cookie", Qt::CaseInsensitive) != 0) continue;
        for (const QByteArray& pair : value.split(';')) {
            const QByteArray one = pair.trimmed();
            const qsizetype eq = one.indexOf('=');
            if (eq > 0 && one.left(eq) == kCookie) return one.mid(eq + 1);
        }
    }
    return {};
}

QByteArray attributes(bool secure) {
    return QByteArray("; Path=/; HttpOnly; SameSite=Strict") + (secure ? "; Secure" : "");
}

}  // namespace

bool sameToken(const QByteArray& given, const QByteArray& expected) {
    // Digests of both, compared byte by byte without an early end: the time
    // taken says nothing about the token or how much of it was right.
    const QByteArray a = QCryptographicHash::hash(given, QCryptographicHash::Sha256);
    const QByteArray b = QCryptographicHash::hash(expected, QCryptographicHash::Sha256);
    unsigned char differ = 0;
    for (qsizetype i = 0; i < a.size() && i < b.size(); ++i) differ |= static_cast<unsigned char>(a[i] ^ b[i]);
    return differ == 0 && a.size() == b.size();
}

QByteArray bearerToken(const HttpRequest& request) {
    const QByteArray authorization = request.header("Authorization").trimmed();
    const qsizetype space = authorization.indexOf(' ');
    if (space < 0 || authorization.left(space).compare("Bearer", Qt::CaseInsensitive) != 0) return {};
    return authorization.mid(space + 1).trimmed();
}

bool needsReadToken(const HttpRequest& request) {
    if (request.method != "GET" && request.method != "HEAD") return false;
    if (request.path == "/metrics") return true;
    return request.path.startsWith("/api/") && request.path != "/api/login";
}

Access readAccess(const HttpRequest& request, const Tokens& tokens) {
    if (tokens.read.empty()) return Access::Granted;
    auto known = [&](const QByteArray& given, auto&& compare) {
        return compare(given, QByteArray::fromStdString(tokens.read)) ||
               (!tokens.write.empty() && compare(given, QByteArray::fromStdString(tokens.write)));
    };
    const QByteArray token = bearerToken(request);
    if (!token.isEmpty()) return known(token, sameToken) ? Access::Granted : Access::WrongToken;
    const QByteArray cookie = cookieValue(request);
    if (cookie.isEmpty()) return Access::NoToken;
    return known(cookie, [](const QByteArray& given, const QByteArray& t) { return sameToken(given, digest(t)); })
               ? Access::Granted
               : Access::WrongToken;
}

bool isLogin(const HttpRequest& request) {
    return request.path == "/api/login" && (request.method == "POST" || request.method == "DELETE");
}

QByteArray loginCookie(const QByteArray& token, bool secure) { return kCookie + ("=" + digest(token)) + attributes(secure); }

QByteArray logoutCookie(bool secure) { return kCookie + QByteArray("=; Max-Age=0") + attributes(secure); }

}  // namespace orva::service
