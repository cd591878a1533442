// The keys that secure the service as the configuration reads them, and who
// a request's credentials let read: the Bearer header, the login cookie,
// nothing from a query string.

#include <gtest/gtest.h>

#include <string>

#include "service/http/http_settings.h"
#include "service/http/read_access.h"
#include "service/service_config.h"

namespace orva::service {
namespace {

TEST(SecureConfig, ReadsTheKeysAndRefusesWhatCannotWork) {
    const ServiceConfig config = parseConfig(
        "[service]\nread_token = r\nallow_from = 10.0.0.0/8, ::1\ntrusted_proxy = 127.0.0.1\n"
        "tls_cert = /etc/orva/c.pem\ntls_key = /etc/orva/k.pem\n",
        "s.ini");
    const HttpSettings& c = httpSettingsOf(config.faces);
    EXPECT_EQ(c.readToken, "r");
    EXPECT_EQ(c.allowFrom.describe(), "10.0.0.0/8, ::1");
    ASSERT_TRUE(c.trustedProxies);
    EXPECT_EQ(c.trustedProxies->describe(), "127.0.0.1");
    EXPECT_EQ(c.tlsCert, "/etc/orva/c.pem");
    EXPECT_EQ(c.tlsKeyLine, 6);
    // The defaults: everyone may connect, no proxy is believed, no TLS.
    const ServiceConfig defaults = parseConfig("[service]\n", "s.ini");
    const HttpSettings& d = httpSettingsOf(defaults.faces);
    EXPECT_EQ(d.allowFrom, AllowList::everyone());
    EXPECT_FALSE(d.trustedProxies);
    EXPECT_TRUE(d.tlsCert.empty());

    const std::pair<const char*, const char*> refused[] = {
        {"[service]\ntls_cert = /c.pem\n", "s.ini:2: tls_cert needs tls_key beside it"},
        {"[service]\n\ntls_key = /k.pem\n", "s.ini:3: tls_key needs tls_cert beside it"},
        {"[service]\ntls_cert = c.pem\ntls_key = /k.pem\n", "s.ini:2: tls_cert must be an absolute path"},
        {"[service]\nallow_from = 10.0.0.1/8\n", "s.ini:2: allow_from: \"10.0.0.1/8\" has bits set past its prefix"},
        {"[service]\nallow_from =\n", "s.ini:2: allow_from: names no address"},
        {"[service]\ntrusted_proxy = proxy.local\n", "s.ini:2: trusted_proxy: \"proxy.local\" is not"},
    };
    for (const auto& [text, message] : refused) {
        try {
            parseConfig(text, "s.ini");
            ADD_FAILURE() << text << " was taken";
        } catch (const ConfigError& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

HttpRequest request(const char* method, const char* path, std::vector<std::pair<QByteArray, QByteArray>> headers = {}) {
    HttpRequest r;
    r.method = method;
    r.path = path;
    r.headers = std::move(headers);
    return r;
}

TEST(ReadAccess, TheReadOrWriteTokenOrTheLoginCookieAndNothingElse) {
    const std::string read = "read-token", write = "write-token", none;
    const Tokens tokens{read, write};
    const QByteArray readCookie = loginCookie("read-token", false).split(';').first();
    const QByteArray writeCookie = loginCookie("write-token", true).split(';').first();
    struct Case {
        std::vector<std::pair<QByteArray, QByteArray>> headers;
        Access expected;
    };
    const Case cases[] = {
        {{}, Access::NoToken},
        {{{"Authorization", "Bearer read-token"}}, Access::Granted},
        {{{"authorization", "bearer  write-token "}}, Access::Granted},
        {{{"Authorization", "Bearer read-toke"}}, Access::WrongToken},
        {{{"Authorization", "Bearer read-token2"}}, Access::WrongToken},
        {{{"Authorization", "Basic cmVhZC10b2tlbg=="}}, Access::NoToken},
        {{{"Cookie", readCookie}}, Access::Granted},
        {{{"Cookie", "a=1; " + writeCookie + "; b=2"}}, Access::Granted},
        {{{"Cookie", "orva_read=read-token"}}, Access::WrongToken},  // the token itself is no cookie
        {{{"Cookie", "orva_read="}}, Access::NoToken},
        // A wrong Bearer is not rescued by a good cookie.
        {{{"Authorization", "Bearer nope"}, {"Cookie", readCookie}}, Access::WrongToken},
    };
    for (const Case& c : cases) {
        const HttpRequest r = request("GET", "/api/scales", c.headers);
        EXPECT_EQ(readAccess(r, tokens), c.expected) << (c.headers.empty() ? "" : c.headers[0].second.constData());
    }
    // Without a read token every read is open; the cookie of a token that
    // is no longer configured lets nothing through.
    EXPECT_EQ(readAccess(request("GET", "/metrics"), Tokens{none, write}), Access::Granted);
    const std::string rotated = "rotated";
    EXPECT_EQ(readAccess(request("GET", "/metrics", {{"Cookie", readCookie}}), Tokens{rotated, write}), Access::WrongToken);
    // The cookie's attributes.
    EXPECT_TRUE(loginCookie("t", true).endsWith("; Path=/; HttpOnly; SameSite=Strict; Secure"));
    EXPECT_FALSE(loginCookie("t", false).contains("Secure"));
    EXPECT_TRUE(logoutCookie(false).contains("Max-Age=0"));
}

TEST(ReadAccess, WhichRequestsAreReads) {
    const std::pair<HttpRequest, bool> cases[] = {
        {request("GET", "/api/scales"), true},
        {request("HEAD", "/api/scales/bay-1/stable"), true},
        {request("GET", "/api/live"), true},
        {request("GET", "/api/unknown"), true},
        {request("GET", "/metrics"), true},
        {request("GET", "/"), false},
        {request("GET", "/dashboard.js"), false},
        {request("POST", "/api/login"), false},
        {request("GET", "/api/login"), false},
        {request("PUT", "/api/scales/bay-1/properties"), false},  // the write token's
        {request("OPTIONS", "/api/scales"), false},               // a preflight carries no credentials
    };
    for (const auto& [r, read] : cases) EXPECT_EQ(needsReadToken(r), read) << r.method.constData() << " " << r.path.constData();
    EXPECT_TRUE(sameToken("abc", "abc"));
    EXPECT_FALSE(sameToken("abc", "abd"));
    EXPECT_FALSE(sameToken("abc", "abcd"));
    EXPECT_FALSE(sameToken("", "x"));
}

}  // namespace
}  // namespace orva::service
