// The Modbus face in the process: its part of the configuration file, its
// register map, and its server read by libmodbus's own client (in a thread
// of its own, since that client blocks) while the event loop serves.
#include <gtest/gtest.h>
#include <modbus/modbus.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTimer>
#include <atomic>
#include <bit>
#include <cerrno>
#include <cstring>
#include <functional>
#include <thread>

#include <fcntl.h>
#include <sys/socket.h>

#include "orva/version.h"
#include "service/modbus/modbus_server.h"
#include "service/modbus/modbus_settings.h"
#include "service/modbus/register_map.h"
#include "service/service_config.h"

namespace orva::modbus {
namespace {

using orva::service::ConfigError;
using orva::service::ScaleFigures;

// ---- the file ---------------------------------------------------------

const char* kTwoScales =
    "[a]\nport = /dev/ttyS0\n"
    "[b]\nport = /dev/ttyS1\n";

const ModbusSettings& modbusOf(const orva::service::ServiceConfig& c) {
    return dynamic_cast<const ModbusSettings&>(*c.faces.at("modbus"));
}

TEST(ModbusSettingsTest, DefaultsGiveEachScaleItsPlaceAndLoopbackOnly) {
    const auto config = orva::service::parseConfig(std::string("[modbus]\nlisten = 127.0.0.1:1502\n") + kTwoScales, "f.ini");
    const ModbusSettings& m = modbusOf(config);
    EXPECT_EQ(m.port, 1502);
    EXPECT_EQ(m.maxClients, 16);
    EXPECT_EQ(m.idleTimeoutMs, 60000);
    EXPECT_FALSE(m.littleEndianWords);
    EXPECT_EQ(m.units, (std::map<int, std::string>{{1, "a"}, {2, "b"}}));
    EXPECT_EQ(m.decimals.at("a"), 3);
    EXPECT_TRUE(m.allowFrom.allows(QHostAddress("127.0.0.1")));
    EXPECT_TRUE(m.allowFrom.allows(QHostAddress("::1")));
    EXPECT_FALSE(m.allowFrom.allows(QHostAddress("192.168.1.20")));
    // No section: no Modbus, but the scales' keys are still checked.
    const auto none = orva::service::parseConfig("[a]\nport = /dev/ttyS0\nmodbus_unit = 9\n", "f.ini");
    EXPECT_EQ(none.faces.count("modbus"), 0u);
}

TEST(ModbusSettingsTest, ExplicitUnitsDecimalsAndWordOrder) {
    const auto config = orva::service::parseConfig(
        "[modbus]\nword_order = little\nmax_clients = 3\nidle_timeout_ms = 500\n"
        "[a]\nport = /dev/ttyS0\nmodbus_unit = 2\nmodbus_decimals = 0\n"
        "[b]\nport = /dev/ttyS1\nmodbus_unit = 1\nmodbus_decimals = 6\n",
        "f.ini");
    const ModbusSettings& m = modbusOf(config);
    EXPECT_TRUE(m.littleEndianWords);
    EXPECT_EQ(m.maxClients, 3);
    EXPECT_EQ(m.idleTimeoutMs, 500);
    EXPECT_EQ(m.units, (std::map<int, std::string>{{1, "b"}, {2, "a"}}));
    EXPECT_EQ(m.decimals.at("a"), 0);
    EXPECT_EQ(m.decimals.at("b"), 6);
    // Its clients and its listening socket count against the descriptors the
    // HTTP face's limits are fitted into.
    EXPECT_GE(orva::service::faceDescriptors(config.faces), m.maxClients + 1L);
    const auto listed = orva::service::parseConfig("[modbus]\nallow_from = 10.0.0.0/8, fd00::/8\n", "f.ini");
    EXPECT_TRUE(modbusOf(listed).allowFrom.allows(QHostAddress("10.1.2.3")));
    EXPECT_TRUE(modbusOf(listed).allowFrom.allows(QHostAddress("fd00::5")));
    EXPECT_FALSE(modbusOf(listed).allowFrom.allows(QHostAddress("127.0.0.1")));
}

// Every wrong file is refused with the line that is wrong and why.
TEST(ModbusSettingsTest, WrongFilesAreRefusedWithTheLineAndTheReason) {
    struct Case {
        const char* text;
        int line;
        const char* reason;
    } cases[] = {
        {"[modbus]\nlisten = nowhere\n", 2, "host:port"},
        {"[modbus]\nmax_clients = 0\n", 2, "max_clients must be"},
        {"[modbus]\nidle_timeout_ms = soon\n", 2, "idle_timeout_ms must be"},
        {"[modbus]\nword_order = middle\n", 2, "word_order must be big"},
        {"[modbus]\nunits = 3\n", 2, "unknown key \"units\" in [modbus]"},
        {"[modbus]\nmax_clients = 2\nallow_from = 10.0.0.0/33\n", 3, "allow_from: "},
        {"[modbus]\n[modbus]\n", 2, "appears twice"},
        {"[a]\nport = /dev/ttyS0\nmodbus_unit = 0\n", 3, "modbus_unit must be a unit identifier, 1 to 247"},
        {"[a]\nport = /dev/ttyS0\nmodbus_unit = 248\n", 3, "1 to 247"},
        {"[a]\nport = /dev/ttyS0\nmodbus_decimals = 7\n", 3, "modbus_decimals must be a number of decimals, 0 to 6"},
        {"[a]\nport = /dev/ttyS0\nmodbus_decimal = 2\n", 3, "unknown key \"modbus_decimal\""},
        // Two scales on one unit: written, or the second's place in the file.
        {"[modbus]\n[a]\nport = /dev/ttyS0\nmodbus_unit = 4\n[b]\nport = /dev/ttyS1\nmodbus_unit = 4\n", 7,
         "scales [a] and [b] are both on Modbus unit 4"},
        {"[modbus]\n[a]\nport = /dev/ttyS0\nmodbus_unit = 2\n[b]\nport = /dev/ttyS1\n", 5,
         "scales [a] and [b] are both on Modbus unit 2"},
    };
    for (const Case& c : cases) {
        try {
            orva::service::parseConfig(c.text, "scales.ini");
            ADD_FAILURE() << "accepted: " << c.text;
        } catch (const ConfigError& e) {
            EXPECT_EQ(e.line(), c.line) << c.text << " -> " << e.what();
            EXPECT_NE(std::string(e.what()).find(c.reason), std::string::npos) << c.text << " -> " << e.what();
            EXPECT_EQ(std::string(e.what()).rfind("scales.ini:" + std::to_string(c.line) + ": ", 0), 0u) << e.what();
        }
    }
}

// ---- the map ------------------------------------------------------------

std::uint32_t joined(std::uint16_t first, std::uint16_t second, bool lowWordFirst) {
    return lowWordFirst ? (std::uint32_t(second) << 16) | first : (std::uint32_t(first) << 16) | second;
}

float floatAt(const UnitImage& image, int at, bool lowWordFirst) {
    return std::bit_cast<float>(joined(image.registers[at], image.registers[at + 1], lowWordFirst));
}

ScaleFigures settledScale() {
    ScaleFigures f;
    f.present = true;
    f.showsWeight = true;
    f.weight = 12.5;
    f.stable = true;
    f.online = true;
    f.terminalKind = 1;
    f.statusLetter = 'B';
    f.VesOk = 1;
    f.portState = "open";
    f.decodes = 70000;
    f.settledCount = 0x100000003ULL;
    f.lastSettled = 12.5;
    f.ageMs = 120;
    return f;
}

TEST(RegisterMapTest, BothWordOrdersCarryTheSameValues) {
    for (const bool low : {false, true}) {
        const UnitImage image = unitImage(settledScale(), 3, low);
        EXPECT_EQ(floatAt(image, 0, low), 12.5f);
        EXPECT_EQ(std::int32_t(joined(image.registers[2], image.registers[3], low)), 12500);
        EXPECT_EQ(image.registers[4], 3);
        EXPECT_EQ(image.registers[5], status::kValid | status::kSettled | status::kPortOpen | status::kOrva1 | status::kVesOk);
        EXPECT_EQ(image.registers[6], 'B');
        EXPECT_EQ(floatAt(image, 7, low), 12.5f);
        EXPECT_EQ(std::int32_t(joined(image.registers[9], image.registers[10], low)), 12500);
        EXPECT_EQ(joined(image.registers[11], image.registers[12], low), 3u);  // modulo 2^32
        EXPECT_EQ(image.registers[13], 0);
        EXPECT_EQ(image.registers[14], 70000 % 65536);
        EXPECT_EQ(joined(image.registers[15], image.registers[16], low), 120u);
        EXPECT_EQ(image.inputs, (std::array<std::uint8_t, 4>{1, 1, 1, 0}));
    }
    // High word first is the float's bytes as written: 12.5 is 0x41480000.
    EXPECT_EQ(unitImage(settledScale(), 3, false).registers[0], 0x4148);
    EXPECT_EQ(unitImage(settledScale(), 3, true).registers[1], 0x4148);
}

TEST(RegisterMapTest, IntegersRoundAndSaturate) {
    struct Case {
        double weight;
        int decimals;
        std::int32_t value;
        bool saturated;
    } cases[] = {
        {12.5, 3, 12500, false},      {-0.0005, 3, -1, false},        {0.0004, 3, 0, false},
        {1.23456, 6, 1234560, false}, {2147.483647, 6, 2147483647, false}, {2147.483648, 6, 2147483647, true},
        {-3e9, 0, INT32_MIN, true},   {99999.9, 0, 100000, false},    {std::nan(""), 3, 0, true},
    };
    for (const Case& c : cases) {
        const ScaledWeight s = scaledWeight(c.weight, c.decimals);
        EXPECT_EQ(s.value, c.value) << c.weight << " x 10^" << c.decimals;
        EXPECT_EQ(s.saturated, c.saturated) << c.weight;
    }
    ScaleFigures f = settledScale();
    f.weight = 5e6;
    EXPECT_TRUE(unitImage(f, 3, false).registers[5] & status::kSaturated);
}

TEST(RegisterMapTest, AnOfflineScaleSaysWhy) {
    ScaleFigures f;
    f.present = true;
    f.portState = "permission_denied";
    const UnitImage image = unitImage(f, 2, false);
    EXPECT_EQ(image.registers[5], status::kStale);
    EXPECT_EQ(image.registers[6], 0);
    EXPECT_EQ(image.registers[13], 4);
    EXPECT_EQ(joined(image.registers[15], image.registers[16], false), 0xFFFFFFFFu);  // never a reading
    EXPECT_EQ(image.inputs, (std::array<std::uint8_t, 4>{0, 0, 0, 1}));
    const char* names[] = {"open", "waiting", "no_device", "not_serial", "permission_denied", "in_use", "unreachable", "lost", "failed"};
    for (std::uint16_t i = 0; i < 9; ++i) EXPECT_EQ(portStateNumber(names[i]), i);
}

// ---- the server, read by libmodbus ----------------------------------------

class FakeHub : public orva::service::ScaleHub {
public:
    QStringList ids() const override { return {"a", "b"}; }
    orva::service::ScaleSignals* signalsOf(const QString&) override { return nullptr; }
    orva::service::ScaleState stateOf(const QString&) const override { return {}; }
    ScaleFigures figuresOf(const QString& id) const override {
        ++reads;
        if (id == "a") return a;
        if (id == "b") return ScaleFigures{.present = true, .portState = "no_device"};
        return {};
    }
    QJsonObject propertiesOf(const QString&) const override { return {}; }
    std::optional<Settled> settledOf(const QString&) const override { return std::nullopt; }
    QByteArray scaleMetrics() const override { return {}; }
    QByteArray timerMetrics() const override { return {}; }
    ScaleFigures a = settledScale();
    mutable std::atomic<int> reads{0};
};

// Runs `client` in a thread of its own while the event loop serves.
void whileServing(const std::function<void()>& client) {
    std::atomic<bool> done{false};
    std::thread thread([&] {
        client();
        done = true;
    });
    QEventLoop loop;
    QTimer check;
    QObject::connect(&check, &QTimer::timeout, &loop, [&] {
        if (done) loop.quit();
    });
    check.start(2);
    loop.exec();
    thread.join();
}

struct Client {
    explicit Client(quint16 port) : ctx(modbus_new_tcp("127.0.0.1", port), &modbus_free) {
        modbus_set_response_timeout(ctx.get(), 5, 0);
        connected = modbus_connect(ctx.get()) == 0;
    }
    std::unique_ptr<modbus_t, void (*)(modbus_t*)> ctx;
    bool connected = false;
};

class ModbusServerTest : public ::testing::Test {
protected:
    ModbusSettings settings() {
        ModbusSettings s;
        s.port = 0;
        s.units = {{1, "a"}, {7, "b"}};
        s.decimals = {{"a", 2}, {"b", 3}};
        return s;
    }
    FakeHub hub;
    std::vector<std::string> logged;
    ModbusServer::Log log = [this](const std::string& line) { logged.push_back(line); };
};

TEST_F(ModbusServerTest, RegistersAndInputsInBothWordOrders) {
    for (const bool low : {false, true}) {
        ModbusSettings s = settings();
        s.littleEndianWords = low;
        ModbusServer server(s, hub, log);
        std::uint16_t input[17] = {}, holding[17] = {};
        std::uint8_t bits[4] = {};
        int ri = 0, rh = 0, rb = 0, r255 = 0, r0 = 0;
        whileServing([&] {
            Client c(server.port());
            ASSERT_TRUE(c.connected);
            modbus_set_slave(c.ctx.get(), 1);
            ri = modbus_read_input_registers(c.ctx.get(), 0, 17, input);
            rh = modbus_read_registers(c.ctx.get(), 0, 17, holding);
            rb = modbus_read_input_bits(c.ctx.get(), 0, 4, bits);
            std::uint16_t one = 0;
            // Units 255 and 0 reach unit 1.
            modbus_set_slave(c.ctx.get(), 255);
            r255 = modbus_read_registers(c.ctx.get(), 4, 1, &one);
            modbus_set_slave(c.ctx.get(), 0);
            r0 = modbus_read_input_registers(c.ctx.get(), 4, 1, &one);
        });
        EXPECT_EQ(ri, 17);
        EXPECT_EQ(rh, 17);
        EXPECT_EQ(rb, 4);
        EXPECT_EQ(r255, 1);
        EXPECT_EQ(r0, 1);
        EXPECT_EQ(std::memcmp(input, holding, sizeof input), 0);
        EXPECT_EQ(std::bit_cast<float>(joined(input[0], input[1], low)), 12.5f);
        EXPECT_EQ(std::int32_t(joined(input[2], input[3], low)), 1250);
        EXPECT_EQ(input[4], 2);
        EXPECT_EQ(input[6], 'B');
        EXPECT_EQ(bits[0], 1);
        EXPECT_EQ(bits[3], 0);
    }
}

// Every exception the face answers, and that writes change nothing.
// A request as bytes (unit, function, data), its answer whole as bytes:
// for what libmodbus's client will not send or cannot read.
std::vector<std::uint8_t> raw(modbus_t* m, std::vector<std::uint8_t> request) {
    if (modbus_send_raw_request(m, request.data(), static_cast<int>(request.size())) < 0) return {};
    const int fd = modbus_get_socket(m);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);  // its sockets are non-blocking
    timeval tv{5, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::vector<std::uint8_t> got;
    std::uint8_t chunk[MODBUS_TCP_MAX_ADU_LENGTH];
    while (got.size() < 6 || got.size() < 6u + ((got[4] << 8) | got[5])) {
        const ssize_t n = ::recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) break;
        got.insert(got.end(), chunk, chunk + n);
    }
    return got;
}

// The exception code of a raw answer, 0 for none.
int exceptionOf(const std::vector<std::uint8_t>& answer) {
    return answer.size() == 9 && (answer[7] & 0x80) ? answer[8] : 0;
}

TEST_F(ModbusServerTest, EveryExceptionAndNoWrite) {
    ModbusServer server(settings(), hub, log);
    struct Outcome {
        int result;
        int error;
    };
    std::vector<std::pair<std::string, Outcome>> seen;
    std::uint16_t after[17] = {};
    int zero = 0, over = 0, shortRead = 0;
    whileServing([&] {
        Client c(server.port());
        ASSERT_TRUE(c.connected);
        modbus_t* m = c.ctx.get();
        std::uint16_t regs[130] = {};
        std::uint8_t bits[8] = {};
        auto note = [&](const char* what, int r) { seen.push_back({what, {r, r < 0 ? errno : 0}}); };
        modbus_set_slave(m, 1);
        note("past the map", modbus_read_registers(m, 10, 8, regs));
        note("inputs past the map", modbus_read_input_bits(m, 2, 3, bits));
        note("coils", modbus_read_bits(m, 0, 1, bits));
        note("write register", modbus_write_register(m, 4, 9));
        note("write registers", modbus_write_registers(m, 0, 2, regs));
        note("write coil", modbus_write_bit(m, 0, 1));
        note("write coils", modbus_write_bits(m, 0, 2, bits));
        modbus_set_slave(m, 2);
        note("unit without a scale", modbus_read_registers(m, 0, 1, regs));
        modbus_set_slave(m, 248);
        note("unit 248", modbus_read_registers(m, 0, 1, regs));
        // Quantities of 0 and over 125 this client refuses to send: raw.
        zero = exceptionOf(raw(m, {1, MODBUS_FC_READ_HOLDING_REGISTERS, 0, 0, 0, 0}));
        over = exceptionOf(raw(m, {1, MODBUS_FC_READ_INPUT_REGISTERS, 0, 0, 0, 126}));
        shortRead = exceptionOf(raw(m, {1, MODBUS_FC_READ_INPUT_REGISTERS, 0, 0}));
        modbus_set_slave(m, 1);
        modbus_read_registers(m, 0, 17, after);
    });
    const std::map<std::string, int> expected{
        {"past the map", EMBXILADD},        {"inputs past the map", EMBXILADD},
        {"coils", EMBXILFUN},               {"write register", EMBXILFUN},  {"write registers", EMBXILFUN},
        {"write coil", EMBXILFUN},          {"write coils", EMBXILFUN},     {"unit without a scale", EMBXGPATH},
        {"unit 248", EMBXGPATH},
    };
    EXPECT_EQ(zero, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    EXPECT_EQ(over, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    EXPECT_EQ(shortRead, MODBUS_EXCEPTION_ILLEGAL_DATA_VALUE);
    for (const auto& [what, outcome] : seen) {
        ASSERT_TRUE(expected.count(what)) << what;
        EXPECT_EQ(outcome.result, -1) << what;
        EXPECT_EQ(outcome.error, expected.at(what)) << what << ": " << modbus_strerror(outcome.error);
    }
    EXPECT_EQ(seen.size(), expected.size());
    EXPECT_EQ(after[4], 2) << "a write changed a register";
}

TEST_F(ModbusServerTest, DeviceIdentificationNamesTheProgramAndItsVersion) {
    ModbusServer server(settings(), hub, log);
    std::vector<std::uint8_t> stream, single, missing;
    whileServing([&] {
        Client c(server.port());
        ASSERT_TRUE(c.connected);
        modbus_set_slave(c.ctx.get(), 1);
        auto ask = [&](std::uint8_t code, std::uint8_t object) { return raw(c.ctx.get(), {1, 0x2B, 0x0E, code, object}); };
        stream = ask(1, 0);
        single = ask(4, 1);
        missing = ask(4, 9);
    });
    ASSERT_GE(stream.size(), 14u);
    EXPECT_EQ(stream[7], 0x2B);
    EXPECT_EQ(stream[8], 0x0E);
    EXPECT_EQ(stream[13], 3);  // three objects
    const std::string text(stream.begin(), stream.end());
    EXPECT_NE(text.find("orva-service"), std::string::npos);
    EXPECT_NE(text.find(ORVA_VERSION_STRING), std::string::npos);
    ASSERT_GE(single.size(), 14u);
    EXPECT_EQ(single[13], 1);
    EXPECT_EQ(std::string(single.begin() + 16, single.end()), "orva-service");
    ASSERT_EQ(missing.size(), 9u);
    EXPECT_EQ(missing[7], 0x2B | 0x80);
    EXPECT_EQ(missing[8], MODBUS_EXCEPTION_ILLEGAL_DATA_ADDRESS);
}

// A reload moves units at once; what the listener holds waits for a restart.
TEST_F(ModbusServerTest, AReloadMovesUnitsAtOnce) {
    ModbusServer server(settings(), hub, log);
    ModbusSettings next = settings();
    next.units = {{3, "a"}};
    next.maxClients = 2;
    const std::string said = server.reload(next);
    EXPECT_NE(said.find("max_clients take a restart"), std::string::npos) << said;
    int onOne = 0, onThree = 0, error = 0;
    whileServing([&] {
        Client c(server.port());
        std::uint16_t r = 0;
        modbus_set_slave(c.ctx.get(), 1);
        onOne = modbus_read_registers(c.ctx.get(), 4, 1, &r);
        error = errno;
        modbus_set_slave(c.ctx.get(), 3);
        onThree = modbus_read_registers(c.ctx.get(), 4, 1, &r);
    });
    EXPECT_EQ(onOne, -1);
    EXPECT_EQ(error, EMBXGPATH);
    EXPECT_EQ(onThree, 1);
}

}  // namespace
}  // namespace orva::modbus

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
