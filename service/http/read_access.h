#pragma once
// Who may read: with a read token configured, every GET and HEAD of /api/...
// and /metrics, and the event stream /api/live, need it, or the write token
// (which may do everything), as "Authorization: Bearer <token>". A browser's
// WebSocket cannot send that header: the dashboard's login (POST /api/login
// with the header) sets a same-origin cookie instead, HttpOnly and
// SameSite=Strict (and Secure over HTTPS), which lets reads through, never
// writes. The cookie holds a digest of the token, not the token, so it is
// no write token even when the write token logged in, and changing the
// tokens ends every login. A token in a query string is never looked at.

#include <QByteArray>
#include <string>

#include "service/http/request_reader.h"

namespace orva::service {

enum class Access { Granted, NoToken, WrongToken };

struct Tokens {
    const std::string& read;   // empty: reads need nothing
    const std::string& write;  // empty: writes are refused
};

// Compares in a time that depends only on the lengths of the digests.
bool sameToken(const QByteArray& given, const QByteArray& expected);

// The token of "Authorization: Bearer <token>" (the scheme in any letter
// case), or empty.
QByteArray bearerToken(const HttpRequest& request);

// Whether the request is a read that needs the read token when one is set.
bool needsReadToken(const HttpRequest& request);

// A read: the Bearer token (read or write), else the login cookie.
Access readAccess(const HttpRequest& request, const Tokens& tokens);

// POST /api/login and DELETE /api/login.
bool isLogin(const HttpRequest& request);
// The Set-Cookie value that logs a browser in with `token`, or out.
QByteArray loginCookie(const QByteArray& token, bool secure);
QByteArray logoutCookie(bool secure);

}  // namespace orva::service
