// A /stable request parked in the service, whose client is gone with a reset
// by the time the settled weight comes: the answer's write fails and closes
// the connection at once, inside the loop that answers the waiters.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QHostAddress>
#include <string>
#include <vector>

#include "service/http/http_server.h"
#include "service/scale_fleet.h"
#include "service/http/web_service.h"
#include "tests/support/event_loop.h"

using namespace orva::service;
using orva::testing::runFor;
using orva::testing::runUntil;

namespace {

int connectedClient(quint16 port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

void closeWithReset(int fd) {
    const linger reset{1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_LINGER, &reset, sizeof reset);
    ::close(fd);
}

}  // namespace

TEST(WaitingRequest, AClientResetBeforeItsAnswerIsForgottenOnceAndOthersAreAnswered) {
    ServiceConfig config;
    config.scales.push_back(ScaleConfig{"x", "/nonexistent/orva-test-device", {}, {}, {}, {}, 0});
    std::vector<std::string> log;
    auto sink = [&log](const std::string& line) { log.push_back(line); };
    ScaleFleet fleet(config, sink);
    const HttpSettings settings;
    HttpServer server(settings.limits, nullptr);
    ASSERT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    const WritePath write(fleet, nullptr);
    WebService web(server, fleet, settings, write, sink);

    const std::string request = "GET /api/scales/x/stable?timeout_ms=10000 HTTP/1.1\r\nHost: 127.0.0.1\r\n\r\n";
    std::vector<int> clients;
    for (int i = 0; i < 3; ++i) {
        clients.push_back(connectedClient(server.serverPort()));
        ASSERT_GE(clients.back(), 0);
        ASSERT_EQ(::write(clients.back(), request.data(), request.size()), static_cast<ssize_t>(request.size()));
    }
    ASSERT_TRUE(runUntil([&] { return web.waitingRequests() == 3; }, 5000));

    // The middle one resets; no event runs before the weight settles, so the
    // service learns of it only when it writes the answer.
    closeWithReset(clients[1]);
    ::usleep(100'000);
    emit fleet.signalsOf("x")->stableWeight(12.5, "kg", QDateTime::currentDateTimeUtc(), 1);
    EXPECT_EQ(web.waitingRequests(), 0);

    runFor(200);
    for (int i : {0, 2}) {
        char reply[512] = {};
        const ssize_t n = ::recv(clients[i], reply, sizeof reply - 1, MSG_DONTWAIT);
        ASSERT_GT(n, 0) << "client " << i;
        EXPECT_EQ(std::string(reply, 12), "HTTP/1.1 200") << reply;
        EXPECT_NE(std::string(reply).find("\"weight\":12.5"), std::string::npos) << reply;
        ::close(clients[i]);
    }
}
