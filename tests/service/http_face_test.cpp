// The HTTP face's settings at a reload: what changes at once, what waits for
// a restart and is said so, and what the "reloaded" line adds.
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "service/http/http_reload.h"
#include "service/http/http_settings.h"
#include "service/service_config.h"

namespace orva::service {
namespace {

constexpr const char* kFile = "[service]\nlisten = 127.0.0.1:8650\ntoken = a\nallow_host = till.local\n";

TEST(HttpFace, AReloadChangesAtOnceWhatItCanAndSaysWhatTakesARestart) {
    const struct {
        const char* name;
        std::string next;             // the [service] section the reload reads
        const char* logged;           // a line that must be logged, or ""
        const char* added;            // what the "reloaded" line must add, or ""
        std::function<void(const HttpSettings&)> check;  // what runs afterwards
    } cases[] = {
        {"the token", "[service]\nlisten = 127.0.0.1:8650\ntoken = b\nallow_host = till.local\n", "", "; the token changed",
         [](const HttpSettings& r) { EXPECT_EQ(r.token, "b"); }},
        {"the read token", std::string(kFile) + "read_token = r\n", "", "; the read token changed",
         [](const HttpSettings& r) { EXPECT_EQ(r.readToken, "r"); }},
        {"allow_from", std::string(kFile) + "allow_from = 10.0.0.0/8\n", "", "; clients now allowed from 10.0.0.0/8",
         [](const HttpSettings& r) { EXPECT_EQ(r.allowFrom.describe(), "10.0.0.0/8"); }},
        {"allow_host", "[service]\nlisten = 127.0.0.1:8650\ntoken = a\nallow_host = pos.local\n", "", "",
         [](const HttpSettings& r) { EXPECT_EQ(r.limits.allowHosts, std::vector<std::string>{"pos.local"}); }},
        {"the address", "[service]\nlisten = 0.0.0.0:9000\ntoken = a\nallow_host = till.local\n",
         "reload: the listen address changed to 0.0.0.0:9000; it takes a restart", "",
         [](const HttpSettings& r) { EXPECT_EQ(r.listenPort, 8650); }},
        {"TLS turned on", std::string(kFile) + "tls_cert = /c.pem\ntls_key = /k.pem\n", "reload: TLS was turned on", "",
         [](const HttpSettings& r) { EXPECT_TRUE(r.tlsCert.empty()); }},
        {"a connection limit", std::string(kFile) + "max_connections = 10\n",
         "reload: the connection limits in [service] changed; they take a restart", "",
         [](const HttpSettings& r) { EXPECT_EQ(r.limits.maxConnections, 1024); }},
    };
    const ServiceConfig first = parseConfig(kFile, "s.ini");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        HttpSettings running = httpSettingsOf(first.faces);
        const ServiceConfig next = parseConfig(c.next, "s.ini");
        std::vector<std::string> log;
        const std::string added =
            reloadHttp(running, httpSettingsOf(next.faces), httpSettingsOf(first.faces), [&](const std::string& l) { log.push_back(l); });
        EXPECT_EQ(added, c.added);
        if (*c.logged == '\0') {
            EXPECT_TRUE(log.empty()) << log.front();
        } else {
            ASSERT_EQ(log.size(), 1u);
            EXPECT_EQ(log.front().rfind(c.logged, 0), 0u) << log.front();
        }
        c.check(running);
    }
}

// What runs may differ from the file (--listen, limits lowered to fit the
// descriptors): a reload of the same file changes nothing and says nothing.
TEST(HttpFace, WhatTheProgramOverrodeIsNoChangeOfTheFile) {
    const ServiceConfig file = parseConfig(std::string(kFile) + "max_connections = 5000\n", "s.ini");
    HttpSettings running = httpSettingsOf(file.faces);
    running.listenPort = 9999;             // --listen
    running.limits.maxConnections = 300;  // fitted into the descriptors
    std::vector<std::string> log;
    const std::string added =
        reloadHttp(running, httpSettingsOf(file.faces), httpSettingsOf(file.faces), [&](const std::string& l) { log.push_back(l); });
    EXPECT_TRUE(log.empty()) << log.front();
    EXPECT_EQ(added, "");
    EXPECT_EQ(running.listenPort, 9999);
    EXPECT_EQ(running.limits.maxConnections, 300);
}

}  // namespace
}  // namespace orva::service
