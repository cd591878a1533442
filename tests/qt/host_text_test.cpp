// The hosts' command line, their JSON lines and the simulator's frames and
// script: the text a user or a reading program relies on.

#include <gtest/gtest.h>

#include <clocale>
#include <cstdio>
#include <regex>

#include "platform/qt/console_notice.h"
#include "platform/qt/port_map.h"
#include "platform/qt/qt_locale.h"
#include "hosts/qt/host_options.h"
#include "hosts/qt/json_lines.h"
#include "simulator/frame_encoding.h"
#include "simulator/sim_script.h"

namespace orva {
namespace {

TEST(HostOptions, EveryOptionIsReadAndMistakesAreRefused) {
    const auto o = host::parseHostOptions({"--port", "3", "--settings", "4800,e,7,1", "--dec-point=2", "--min-fix",
                                           "-5", "--com", "3=/dev/ttyUSB0", "--com=4=/tmp/x", "--simulate=orva2",
                                           "--json", "--properties", "a.props", "--cycles", "9"});
    EXPECT_EQ(o.port, 3);
    EXPECT_EQ(o.settings, "4800,e,7,1");
    EXPECT_EQ(o.decPoint, 2);
    EXPECT_EQ(o.minFix, -5);
    ASSERT_EQ(o.com.size(), 2u);
    EXPECT_EQ(o.com[1], (std::pair<std::int16_t, std::string>{4, "/tmp/x"}));
    EXPECT_EQ(o.simulate, sim::FrameFormat::Orva2);
    EXPECT_TRUE(o.json);
    EXPECT_EQ(o.propertiesPath, "a.props");
    EXPECT_EQ(o.cycles, 9);
    EXPECT_EQ(host::parseHostOptions({"--simulate"}).simulate, sim::FrameFormat::Orva1);
    EXPECT_FALSE(host::parseHostOptions({}).simulate.has_value());

    for (const std::vector<std::string>& bad : std::vector<std::vector<std::string>>{
             {"--port", "0"}, {"--port", "COM2"}, {"--port"}, {"--dec-point", "40000"}, {"--com", "3"},
             {"--com", "x=/dev/a"}, {"--com", "2="}, {"--simulate=orva3"}, {"--json=1"}, {"--frobnicate"},
             {"--cycles", "0"}}) {
        EXPECT_THROW(host::parseHostOptions(bad), host::OptionError) << bad[0];
    }
}

TEST(QtLocale, TheDecimalSeparatorIsTheLocales) {
    EXPECT_EQ(qt::QtLocale(QLocale(QLocale::German, QLocale::Germany)).decimalSeparator(), ",");
    EXPECT_EQ(qt::QtLocale(QLocale::c()).decimalSeparator(), ".");
}

TEST(HostOptions, PortNumbersMapToDevices) {
    qt::PortMap map;
    EXPECT_EQ(map.pathOf(1), "/dev/ttyS0");
    EXPECT_EQ(map.pathOf(12), "/dev/ttyS11");
    map.map(1, "/dev/ttyUSB0");
    EXPECT_EQ(map.pathOf(1), "/dev/ttyUSB0");
}

TEST(JsonLines, StringsAreValidJsonWhateverTheBytes) {
    EXPECT_EQ(host::jsonString("сом порт: 9600,n,8,1"), "\"сом порт: 9600,n,8,1\"");
    EXPECT_EQ(host::jsonString("a\"b\\c\n\t\x01"), "\"a\\\"b\\\\c\\n\\t\\u0001\"");
    EXPECT_EQ(host::jsonString("\xff" "ab\xc3"), "\"\\ufffdab\\ufffd\"");
    EXPECT_EQ(host::jsonString("\xed\xa0\x80"), "\"\\ufffd\\ufffd\\ufffd\"");  // a surrogate is no character
}

TEST(JsonLines, WeightsAreTheShortestNumberThatReadsBack) {
    EXPECT_EQ(host::jsonNumber(12.5), "12.5");
    EXPECT_EQ(host::jsonNumber(0.1), "0.1");
    EXPECT_EQ(host::jsonNumber(999999), "999999");
    EXPECT_EQ(host::jsonNumber(-1.75), "-1.75");
    EXPECT_EQ(host::jsonNumber(-0.0), "0");
    EXPECT_EQ(host::jsonNumber(1e300 * 1e300), "null");
    EXPECT_EQ(std::stod(host::jsonNumber(123.456789012345)), 123.456789012345);
}

TEST(JsonLines, EventsAreWrittenOneObjectPerLine) {
    std::FILE* out = std::tmpfile();
    ASSERT_NE(out, nullptr);
    host::JsonEventWriter writer(out, [] { return 42LL; });
    writer.ChangeVes(12.5);
    std::int16_t ok = 1, tara = 0, max = 0;
    writer.VesStatus(0, ok, tara, max);
    writer.propertyChanged("ComNumber");
    writer.beep();
    writer.messageBox("x");
    writer.error(7006, "No such device: /dev/ttyS9");
    std::rewind(out);
    char buffer[1024] = {};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, out);
    std::fclose(out);
    // Every line carries the wall clock beside t_ms, in RFC 3339 UTC with milliseconds.
    const std::regex time(R"re(,"time":"\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d\.\d{3}Z")re");
    const std::string text(buffer, n);
    EXPECT_EQ(std::distance(std::sregex_iterator(text.begin(), text.end(), time), std::sregex_iterator()), 6) << text;
    EXPECT_EQ(std::regex_replace(text, time, ""),
              "{\"t_ms\":42,\"event\":\"ChangeVes\",\"VesChange\":12.5}\n"
              "{\"t_ms\":42,\"event\":\"VesStatus\",\"VesNul\":0,\"VesOk\":1,\"VesTara\":0,\"VesMax\":0}\n"
              "{\"t_ms\":42,\"event\":\"PropertyChanged\",\"name\":\"ComNumber\"}\n"
              "{\"t_ms\":42,\"event\":\"Beep\"}\n"
              "{\"t_ms\":42,\"event\":\"Message\",\"text\":\"x\"}\n"
              "{\"t_ms\":42,\"event\":\"Error\",\"number\":7006,\"description\":\"No such device: /dev/ttyS9\"}\n");
}

TEST(ConsoleNotice, MessagesGoToTheirStreamAndTheBellOnlyToATerminal) {
    std::FILE* messages = std::tmpfile();
    std::FILE* bell = std::tmpfile();
    qt::ConsoleNotice notice(messages, bell);
    notice.messageBox("сом порт: 9600,n,8,1");
    notice.beep();
    EXPECT_EQ(std::ftell(bell), 0L);
    std::rewind(messages);
    char buffer[128] = {};
    const std::size_t n = std::fread(buffer, 1, sizeof buffer - 1, messages);
    EXPECT_EQ(std::string(buffer, n), "сом порт: 9600,n,8,1\n");
    std::fclose(messages);
    std::fclose(bell);
}

TEST(SimulatorFrames, Orva1AndOrva2AreWrittenAsTheTerminalSendsThem) {
    EXPECT_EQ(sim::orva1Frame(12.5, 1, "\x02", "kg\r\n"), "\x02WW   12.5kg\r\n");
    EXPECT_EQ(sim::orva1Frame(-1.75, 2, "", ""), "WW  -1.75");
    EXPECT_EQ(sim::orva2Frame(123.45, 2), std::string("\x05\x04\x03\x02\x01\x00", 6));
    EXPECT_EQ(sim::orva2Frame(-3, 1), std::string(6, '\0'));
    EXPECT_EQ(sim::orva2Frame(5e9, 0), std::string(6, '\x09'));

    // A comma locale on the simulating machine does not change the frame.
    const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
    if (std::setlocale(LC_NUMERIC, "de_DE.UTF-8") != nullptr || std::setlocale(LC_NUMERIC, "fr_FR.UTF-8") != nullptr) {
        EXPECT_EQ(sim::orva1Frame(12.5, 1, "", ""), "WW   12.5");
        std::setlocale(LC_NUMERIC, previous.c_str());
    }
}

TEST(SimulatorScript, CommandsAreParsedAndMistakesNamed) {
    const auto commands = sim::parseScript("# load\nweight 12.5\nsettle 20 0.5 4\nprefix \\x02ST,\nsplit\nquit\n");
    ASSERT_EQ(commands.size(), 5u);
    EXPECT_EQ(commands[0].value, 12.5);
    EXPECT_EQ(commands[1].noise, 0.5);
    EXPECT_EQ(commands[1].count, 4);
    EXPECT_EQ(commands[2].text, "\x02ST,");
    EXPECT_EQ(commands[3].count, -1);
    EXPECT_EQ(commands[4].line, 6);

    auto errorOf = [](const char* text) {
        try {
            sim::parseScript(text);
        } catch (const sim::ScriptError& e) {
            return std::string(e.what());
        }
        return std::string();
    };
    EXPECT_EQ(errorOf("hold 2\njump 3\n"), "line 2: unknown command jump");
    EXPECT_EQ(errorOf("weight heavy"), "line 1: not a number: heavy");
    EXPECT_EQ(errorOf("hold -1"), "line 1: not a count: -1");
    EXPECT_EQ(errorOf("settle 1 2"), "line 1: settle: wrong number of arguments");
    EXPECT_NO_THROW(sim::parseScript(sim::builtInLoadingScript()));
}

}  // namespace
}  // namespace orva
