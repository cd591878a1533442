// The MQTT tests run on a Qt event loop. Started with --child-publisher
// URL PREFIX, this program is instead the second process of the last-will
// test: a publisher that says "connected" once the broker took it and then
// runs until it is killed or its standard input ends.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "service/mqtt/scale_publisher.h"

namespace {

int runChildPublisher(const char* url, const char* prefix) {
    using namespace orva::mqtt;
    MqttSettings settings = parseMqttSettings({{"url", url, 1}, {"topic_prefix", prefix, 2}, {"keepalive", "5", 3}},
                                              "child", QCoreApplication::applicationPid());
    ScalePublisher publisher(settings, [](const std::string& line) { std::fprintf(stderr, "%s\n", line.c_str()); });
    QObject::connect(&publisher.link(), &MqttLink::connected, [] {
        std::printf("connected\n");
        std::fflush(stdout);
    });
    publisher.reading("s1", QJsonObject{{"id", "s1"}, {"weight", 1.5}, {"online", true}});
    publisher.start();
    QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
    QObject::connect(&input, &QSocketNotifier::activated, [&] {
        char buffer[64];
        if (::read(STDIN_FILENO, buffer, sizeof buffer) <= 0) QCoreApplication::quit();
    });
    return QCoreApplication::exec();
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    if (argc == 4 && std::strcmp(argv[1], "--child-publisher") == 0) return runChildPublisher(argv[2], argv[3]);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
