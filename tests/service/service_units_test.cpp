// The service's parts alone: the configuration file and its writer, the
// request handling, the serial port on a raw descriptor (on a real
// pseudo-terminal) and the shared tick scheduler (on the real event loop).

#include <gtest/gtest.h>
#include <unistd.h>

#include <QTemporaryDir>
#include <QFile>
#include <memory>
#include <string>
#include <vector>

#include "platform/failure.h"
#include "service/http/api_request.h"
#include "service/fd_serial_port.h"
#include "service/http/http_settings.h"
#include "service/service_config.h"
#include "service/tick_scheduler.h"
#include "tests/support/event_loop.h"
#include "simulator/pseudo_terminal.h"

namespace orva::service {
namespace {

constexpr const char* kGoodConfig =
    "# the loading bay\n"
    "[service]\n"
    "listen = 0.0.0.0:9000\n"
    "token = \"s3cret token\"\n"
    "allow_origin = http://till.local, https://pos.example\n"
    "\n"
    "[ports]\n"
    "2 = /dev/ttyUSB1\n"
    "\n"
    "[bay-1]\n"
    "port = /dev/ttyUSB0\n"
    "ComSetting = 19200,e,7,1\n"
    "DecPoint = 2\n"
    "MinFixVes = 100\n"
    "\n"
    "; over the network\n"
    "[yard_2]\n"
    "port = tcp://192.0.2.7:4001\n"
    "ComNumber = 3\n";

TEST(ServiceConfig, ReadsEverySectionAndKey) {
    const ServiceConfig c = parseConfig(kGoodConfig, "scales.ini");
    const HttpSettings& h = httpSettingsOf(c.faces);
    EXPECT_EQ(h.listenHost, "0.0.0.0");
    EXPECT_EQ(h.listenPort, 9000);
    EXPECT_EQ(h.token, "s3cret token");
    EXPECT_EQ(h.allowOrigins, (std::vector<std::string>{"http://till.local", "https://pos.example"}));
    EXPECT_EQ(c.ports.at(2), "/dev/ttyUSB1");
    ASSERT_EQ(c.scales.size(), 2u);
    EXPECT_EQ(c.scales[0].id, "bay-1");
    EXPECT_EQ(c.scales[0].ComSetting, "19200,e,7,1");
    EXPECT_EQ(c.scales[0].DecPoint, 2);
    EXPECT_EQ(c.scales[0].MinFixVes, 100);
    EXPECT_FALSE(c.scales[0].ComNumber);
    EXPECT_EQ(c.scales[1].port, "tcp://192.0.2.7:4001");
    EXPECT_EQ(c.scales[1].ComNumber, "3");
}

TEST(ServiceConfig, CommentsAtTheEndOfALine) {
    const ServiceConfig c = parseConfig(
        "[service]   # the service\n"
        "listen = 127.0.0.1:8650   # default\n"
        "token = \"a #b;c\"  ; quoted, so kept whole\n"
        "[a] ; first scale\n"
        "port = /dev/x#1\n",
        "f");
    EXPECT_EQ(httpSettingsOf(c.faces).listenPort, 8650);
    EXPECT_EQ(httpSettingsOf(c.faces).token, "a #b;c");
    EXPECT_EQ(c.scales.at(0).port, "/dev/x#1");  // no blank before '#': part of the value
}

TEST(ServiceConfig, TheSameDeviceOverTheNetworkOrWithSettingsTheServerKeeps) {
    // A serial server's line is set on the server: its settings refuse nothing.
    EXPECT_EQ(parseConfig("[a]\nport=tcp://127.0.0.1:4001\nComSetting=9600,n,8,1.5\n", "f").scales.size(), 1u);
    // A [ports] number may name a scale's device: only the scales' own ports are exclusive.
    EXPECT_EQ(parseConfig("[ports]\n2 = /dev/x\n[a]\nport=/dev/x\n", "f").ports.at(2), "/dev/x");
}

TEST(ServiceConfig, AListenHostIsAnAddressOrAResolvedName) {
    EXPECT_EQ(listenAddress("localhost"), "127.0.0.1");
    EXPECT_EQ(listenAddress("::1"), "::1");
    try {
        listenAddress("myhost.invalid");
        ADD_FAILURE() << "resolved a name that resolves nowhere";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()).rfind("\"myhost.invalid\" is not an address and does not resolve as a host name (", 0), 0u)
            << e.what();
    }
}

TEST(ServiceConfig, DefaultsWhenTheServiceSectionIsMissing) {
    const ServiceConfig c = parseConfig("[a]\nport=/dev/x\n", "f");
    const HttpSettings& h = httpSettingsOf(c.faces);
    EXPECT_EQ(h.listenHost, "127.0.0.1");
    EXPECT_EQ(h.listenPort, 8650);
    EXPECT_TRUE(h.token.empty());
}

TEST(ServiceConfig, RefusesABadFileWithLineAndReason) {
    struct Case {
        const char* text;
        int line;
        const char* reason;
    };
    const Case cases[] = {
        {"[a]\nport=/dev/x\n[a b]\n", 3, "may hold only"},
        {"[a]\nport=/dev/x\n[a]\nport=/dev/y\n", 3, "appears twice"},
        {"[a]\nport=/dev/x\nBaud = 9600\n", 3, "unknown key"},
        {"port=/dev/x\n", 1, "outside a section"},
        {"[a]\nport /dev/x\n", 2, "expected"},
        {"[a]\nport=/dev/x\nDecPoint = abc\n", 3, "DecPoint"},
        {"[a]\nport=/dev/x\nMinFixVes = 40000\n", 3, "MinFixVes"},
        {"[service]\ntoken=x\n\n[a]\nComSetting=9600,n,8,1\n", 4, "has no port"},
        {"[service]\nlisten = localhost\n", 2, "host:port"},
        {"[service]\nlisten = 127.0.0.1:70000\n", 2, "port"},
        {"[a]\nport=/dev/x\nport=/dev/y\n", 3, "appears twice"},
        {"[a]\nport=tcp://host\n", 2, "tcp://host:port"},
        {"[a]\nport=/dev/x\nComNumber = 0\n", 3, "1 or more"},
        {"[a]\nport=\"/dev/x\n", 2, "quotes"},
        {"[ports]\nCOM2 = /dev/x\n", 2, "COM2"},
        // What a terminal cannot take is refused here, not replaced at the first poll.
        {"[a]\nport=/dev/x\nComSetting = 9600,x,8,1\n", 3, "ComSetting \"9600,x,8,1\" is not line settings"},
        {"[a]\nport=/dev/x\n\nComSetting = 9600,n,8,1.5\n", 4, "cannot be used: no terminal driver here takes 1.5 stop bits"},
        {"[a]\nport=/dev/x\n[b]\nport=/dev/y\n[c]\nport=/dev/x\n", 5, "scales [a] and [c] are both on /dev/x"},
        {"[a]\nport=COM3\n", 2, "port: \"COM3\" names no device"},
        {"[ports]\n2 = ttyUSB1\n", 2, "port 2: \"ttyUSB1\" names no device"},
        {"\xEF\xBB\xBF[a]\nport=/dev/x\nbaud = 1\n", 3, "unknown key"},  // a byte order mark counts as nothing
        {"[a]\nport=/dev/x\x1b[2J\n", 2, "a control character in the line"},
    };
    for (const Case& c : cases) {
        try {
            parseConfig(c.text, "scales.ini");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ConfigError& e) {
            EXPECT_EQ(e.line(), c.line) << c.text;
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("scales.ini:" + std::to_string(c.line) + ": ", 0), 0u) << e.what();
        }
    }
}

TEST(ServiceConfig, WritingAValueKeepsEveryOtherLine) {
    // Replaces the line that holds the key.
    std::string text = withValue(kGoodConfig, "bay-1", "DecPoint", "3");
    EXPECT_NE(text.find("DecPoint = 3\n"), std::string::npos);
    EXPECT_EQ(text.find("DecPoint = 2"), std::string::npos);
    EXPECT_NE(text.find("# the loading bay\n"), std::string::npos);
    EXPECT_NE(text.find("; over the network\n"), std::string::npos);
    // Adds a missing key at the end of its own section, not the next one's.
    text = withValue(text, "bay-1", "ComNumber", "2");
    const ServiceConfig c = parseConfig(text, "f");
    EXPECT_EQ(c.scales[0].ComNumber, "2");
    EXPECT_EQ(c.scales[1].ComNumber, "3");
    EXPECT_EQ(c.scales[0].DecPoint, 3);
    // Texts that need quoting read back unchanged.
    for (const std::string v : {" s3cret", "a \"b\" \\c\\", "", "#x;y"}) {
        const ServiceConfig again = parseConfig(withValue(kGoodConfig, "service", "token", v), "f");
        EXPECT_EQ(httpSettingsOf(again.faces).token, v);
    }
}

TEST(ServiceConfig, SaveReplacesTheFileAndReadsBack) {
    QTemporaryDir dir;
    const QString path = dir.filePath("scales.ini");
    {
        QFile f(path);
        ASSERT_TRUE(f.open(QIODevice::WriteOnly));
        f.write(kGoodConfig);
    }
    ConfigFile file(path.toStdString());
    file.save("yard_2", {{"MinFixVes", "70"}, {"ComSetting", "4800,o,8,2"}});
    ConfigFile again(path.toStdString());
    EXPECT_EQ(again.config().scales[1].MinFixVes, 70);
    EXPECT_EQ(again.config().scales[1].ComSetting, "4800,o,8,2");
    EXPECT_EQ(again.config().scales[0].ComSetting, "19200,e,7,1");
}

TEST(ServiceRequests, RoutesMethodsAndPaths) {
    auto resource = [](const char* method, const char* path) {
        const auto r = route(method, path);
        return std::holds_alternative<Route>(r) ? static_cast<int>(std::get<Route>(r).resource) : -std::get<Refusal>(r).status;
    };
    EXPECT_EQ(resource("GET", "/"), static_cast<int>(Resource::Dashboard));
    EXPECT_EQ(resource("GET", "/api/scales"), static_cast<int>(Resource::Scales));
    EXPECT_EQ(resource("GET", "/api/scales/bay-1"), static_cast<int>(Resource::Scale));
    EXPECT_EQ(resource("GET", "/api/scales/bay-1/stable"), static_cast<int>(Resource::Stable));
    EXPECT_EQ(resource("PUT", "/api/scales/bay-1/properties"), static_cast<int>(Resource::Properties));
    EXPECT_EQ(resource("GET", "/api/live"), static_cast<int>(Resource::Live));
    EXPECT_EQ(resource("GET", "/metrics"), static_cast<int>(Resource::Metrics));
    EXPECT_EQ(resource("PUT", "/api/scales/bay-1"), -405);
    EXPECT_EQ(resource("POST", "/api/scales/bay-1/properties"), -405);
    EXPECT_EQ(resource("DELETE", "/"), -405);
    EXPECT_EQ(resource("GET", "/api/scales/bay-1/tare"), -404);
    EXPECT_EQ(resource("GET", "/api/scales/a%2Fb"), -404);
    EXPECT_EQ(resource("GET", "/api/scales/bay-1/stable/x"), -404);
    EXPECT_EQ(resource("GET", "/etc/passwd"), -404);
    EXPECT_EQ(std::get<Route>(route("GET", "/api/scales/bay%2D1")).scaleId, "bay-1");
}

TEST(ServiceRequests, StableTimeoutIsBounded) {
    EXPECT_EQ(std::get<int>(stableTimeout("")), 5000);
    EXPECT_EQ(std::get<int>(stableTimeout("timeout_ms=0")), 0);
    EXPECT_EQ(std::get<int>(stableTimeout("timeout_ms=60000")), 60000);
    for (const char* bad : {"timeout_ms=60001", "timeout_ms=-1", "timeout_ms=1e3", "timeout_ms=", "wait=5", "timeout_ms=99999999999999999999"})
        EXPECT_EQ(std::get<Refusal>(stableTimeout(bad)).status, 400) << bad;
}

TEST(ServiceRequests, PropertyWritesAreCheckedAsAWhole) {
    const auto ok = propertyWrites(R"({"MinFixVes": 60, "DecPoint": -2, "ComSetting": "4800,o,8,2", "ComNumber": 3})");
    ASSERT_TRUE(std::holds_alternative<std::vector<PropertyWrite>>(ok));
    const auto& writes = std::get<std::vector<PropertyWrite>>(ok);
    ASSERT_EQ(writes.size(), 4u);
    for (const PropertyWrite& w : writes) {
        if (w.name == "DecPoint") {
            EXPECT_EQ(std::get<std::int16_t>(w.value), -2);
        }
        if (w.name == "ComNumber") {
            EXPECT_EQ(std::get<QString>(w.value), "3");
        }
    }
    for (const char* bad : {R"({"MinFixVes": 1.5})", R"({"MinFixVes": 32768})", R"({"DecPoint": "2"})", R"({"ComNumber": 0})",
                            R"({"ComNumber": "COM2"})", R"({"ComSetting": 9600})", R"({"ComSetting": "9600\n[x]"})",
                            R"({"ComSetting": "9600,x,8,1"})", R"({"MinFixVes": 60, "ComSetting": "9600,n,9,1"})",
                            R"({"VesTerminal": " 1"})", R"({"Colour": 1})", R"({})", R"([1])", R"({"MinFixVes": 60,})",
                            R"({"MinFixVes": 60, "Bogus": 1})"}) {
        const auto r = propertyWrites(bad);
        ASSERT_TRUE(std::holds_alternative<Refusal>(r)) << bad;
        EXPECT_EQ(std::get<Refusal>(r).status, 400);
    }
}

TEST(ServiceRequests, Subscriptions) {
    EXPECT_EQ(std::get<QStringList>(subscription(R"({"subscribe": ["a", "b-2"]})")), (QStringList{"a", "b-2"}));
    EXPECT_TRUE(std::get<QStringList>(subscription(R"({"subscribe": []})")).isEmpty());
    for (const char* bad : {R"({"subscribe": "a"})", R"({"subscribe": [1]})", R"({"subscribe": ["a/b"]})", "hello", R"({"x": []})"})
        EXPECT_TRUE(std::holds_alternative<QString>(subscription(bad))) << bad;
}

TEST(FdSerialPort, PollsAPseudoTerminalAndNoticesItGoing) {
    auto pty = std::make_unique<sim::PseudoTerminal>();
    int failures = 0;
    FdSerialPort port({{4, pty->slavePath()}}, 4, {nullptr, [&] { ++failures; }, nullptr});
    EXPECT_EQ(port.CommPort(), 4);
    EXPECT_FALSE(port.PortOpen());
    port.setPortOpen(true);
    port.setSettings("19200,e,7,2");
    EXPECT_EQ(port.Settings(), "19200,e,7,2");
    port.Output("\n");
    char request = 0;
    for (int i = 0; i < 100 && ::read(pty->master(), &request, 1) != 1; ++i) ::usleep(2000);
    EXPECT_EQ(request, '\n');
    ASSERT_EQ(::write(pty->master(), "WW0012.5", 8), 8);
    std::string reply;
    for (int i = 0; i < 100 && reply.size() < 8; ++i, ::usleep(2000)) reply += port.Input();
    EXPECT_EQ(reply, "WW0012.5");
    // A text the line cannot take leaves the settings in force.
    EXPECT_THROW(port.setSettings("9600,n,8,1.5"), Failure);
    EXPECT_THROW(port.setSettings("fast"), Failure);
    EXPECT_EQ(port.Settings(), "19200,e,7,2");
    EXPECT_THROW(port.setCommPort(5), Failure);  // only while closed

    pty.reset();  // unplugged
    try {
        port.Input();
        ADD_FAILURE() << "a vanished device still reads";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), static_cast<int>(FailureNumber::DeviceFailure));
    }
    EXPECT_FALSE(port.PortOpen());
    EXPECT_EQ(failures, 1);
    // A number without a device is refused, not guessed.
    port.setCommPort(1);
    try {
        port.setPortOpen(true);
        ADD_FAILURE() << "opened an unmapped port";
    } catch (const Failure& f) {
        EXPECT_EQ(f.number(), static_cast<int>(FailureNumber::NoSuchDevice));
    }
}

// A port opened through a name follows the name: when the link moves to
// another live terminal (an adapter back as another node), the old line, still
// open and silent, is given up and the next open reaches the new one.
TEST(FdSerialPort, FollowsItsNameWhenItLeadsToAnotherDevice) {
    QTemporaryDir dir;
    auto first = std::make_unique<sim::PseudoTerminal>();
    auto second = std::make_unique<sim::PseudoTerminal>();
    sim::DeviceLink link(dir.filePath("scale").toStdString());
    link.pointTo(first->slavePath());
    std::vector<std::string> conditions;
    FdSerialPort port({{1, link.path()}}, 1,
                      {nullptr, nullptr, [&](PortCondition c, const std::string&, const std::string& why) {
                           conditions.push_back(std::string(conditionName(c)) + (why.empty() ? "" : ": " + why));
                       }});
    port.setPortOpen(true);
    ASSERT_EQ(::write(first->master(), "WW0001.0", 8), 8);
    std::string reply;
    for (int i = 0; i < 100 && reply.size() < 8; ++i, ::usleep(2000)) reply += port.Input();
    EXPECT_EQ(reply, "WW0001.0");

    link.pointTo(second->slavePath());
    EXPECT_THROW(port.Input(), Failure);
    EXPECT_FALSE(port.PortOpen());
    ASSERT_FALSE(conditions.empty());
    EXPECT_NE(conditions.back().find("now leads to another device"), std::string::npos) << conditions.back();
    port.setPortOpen(true);
    ASSERT_EQ(::write(second->master(), "WW0002.0", 8), 8);
    reply.clear();
    for (int i = 0; i < 100 && reply.size() < 8; ++i, ::usleep(2000)) reply += port.Input();
    EXPECT_EQ(reply, "WW0002.0");

    // A name that leads nowhere now: the open line is given up too.
    link.remove();
    EXPECT_THROW(port.Input(), Failure);
    EXPECT_FALSE(port.PortOpen());
    EXPECT_NE(conditions.back().find("is gone"), std::string::npos) << conditions.back();
}

TEST(FdSerialPort, ReadsTcpEndpoints) {
    EXPECT_EQ(parseTcpEndpoint("tcp://10.1.2.3:4001")->port, 4001);
    EXPECT_EQ(parseTcpEndpoint("tcp://[::1]:23")->host, "::1");
    EXPECT_FALSE(parseTcpEndpoint("/dev/ttyS0"));
    EXPECT_FALSE(parseTcpEndpoint("tcp://host"));
    EXPECT_FALSE(parseTcpEndpoint("tcp://host:0"));
    EXPECT_FALSE(parseTcpEndpoint("tcp://host:65536"));
}

// Scales whose ticks chain like the control's (100 ms then 300 ms, each
// enabled inside the other's tick) and start together share every wake-up.
TEST(TickScheduler, ScalesStartedTogetherShareWakeUps) {
    auto run = [](int scales) {
        TickScheduler scheduler;
        struct Chain {
            std::unique_ptr<IntervalTimer> poll, decode;
            int cycles = 0;
        };
        std::vector<Chain> chains(static_cast<std::size_t>(scales));
        for (Chain& c : chains) {
            c.poll = scheduler.makeTimer([&c] { c.poll->setEnabled(false); c.decode->setEnabled(true); });
            c.decode = scheduler.makeTimer([&c] { c.decode->setEnabled(false); ++c.cycles; c.poll->setEnabled(true); });
            c.poll->setInterval(300);
            c.decode->setInterval(100);
        }
        for (Chain& c : chains) c.poll->setEnabled(true);
        orva::testing::runUntil([&] { return chains.front().cycles >= 3; }, 5000);
        for (const Chain& c : chains) EXPECT_GE(c.cycles, 3);
        return scheduler.wakeUps();
    };
    const auto one = run(1);
    const auto fifty = run(50);
    EXPECT_EQ(one, 6u);
    EXPECT_EQ(fifty, one);
}

TEST(TickScheduler, DisabledTimersNeverTickAndIntervalTimersRepeat) {
    TickScheduler scheduler;
    int a = 0, b = 0;
    auto ta = scheduler.makeTimer([&] { ++a; });
    auto tb = scheduler.makeTimer([&] { ++b; });
    ta->setInterval(20);
    tb->setInterval(20);
    ta->setEnabled(true);
    tb->setEnabled(true);
    tb->setEnabled(false);
    orva::testing::runUntil([&] { return a >= 3; }, 2000);
    EXPECT_GE(a, 3);
    EXPECT_EQ(b, 0);
    ta.reset();  // a destroyed timer leaves the queue
    orva::testing::runFor(50);
}

}  // namespace
}  // namespace orva::service

// The serial port contract every port keeps, on a pseudo-terminal with the
// terminal simulator at the other end.
#include <QTemporaryDir>

#include "tests/support/serial_port_contract.h"
#include "simulator/terminal_simulator.h"

namespace orva::contract {
namespace {

struct FdPortRig {
    QTemporaryDir dir;
    std::unique_ptr<sim::TerminalSimulator> simulator;

    FdPortRig() {
        sim::SimulatorOptions options;
        options.linkPath = (dir.path() + "/tty").toStdString();
        options.replyDelayMs = 5;
        simulator = std::make_unique<sim::TerminalSimulator>(options);
        simulator->addScript(sim::parseScript("weight 2.5\n"));
        simulator->setOnWrite([this](std::string_view bytes) { written += bytes.size(); });
        simulator->start();
    }
    std::size_t written = 0;
    std::size_t floodEnd = 0;
    std::string unavailable() { return {}; }
    std::unique_ptr<SerialPort> makePort() {
        return std::make_unique<service::FdSerialPort>(
            std::map<std::int16_t, std::string>{{1, simulator->devicePath()}, {2, (dir.path() + "/absent").toStdString()}}, 1,
            service::FdSerialPort::Observer{});
    }
    std::int16_t missingPort() { return 2; }
    std::string refusedSettings() { return "9600,n,8,1.5"; }
    std::string frame() { return "\x02WW    2.5kg\r\n"; }
    void floodNext(std::size_t bytes) {
        simulator->addScript(sim::parseScript("flood " + std::to_string(bytes) + "\n"));
        floodEnd = written + bytes;
    }
    void hangUp(SerialPort&) {
        simulator->addScript(sim::parseScript("unplug\n"));
        testing::runUntil([&] { return !simulator->plugged(); }, 1000);
        testing::runFor(20);
    }
    // This port takes what waits in the device at the read, so a flood must
    // have reached the device by then; on a busy machine the simulator may
    // still be writing it when the time is up.
    void wait(int ms) {
        testing::runFor(ms);
        testing::runUntil([&] { return written >= floodEnd; }, 2000);
    }
};

INSTANTIATE_TYPED_TEST_SUITE_P(ServiceDescriptorPort, SerialPortContract, ::testing::Types<FdPortRig>);

}  // namespace
}  // namespace orva::contract
