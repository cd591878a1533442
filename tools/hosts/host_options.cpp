#include "tools/hosts/host_options.h"

#include <charconv>

#include "platform/qt/port_map.h"

namespace orva::host {
namespace {

std::int16_t int16Option(const std::string& name, const std::string& text, int min, int max) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < min || value > max)
        throw OptionError(name + " takes a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
                          ", not \"" + text + "\"");
    return static_cast<std::int16_t>(value);
}

}  // namespace

HostOptions parseHostOptions(const std::vector<std::string>& arguments) {
    HostOptions options;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> inlineValue;
        if (name.rfind("--", 0) == 0) {
            if (const auto equals = name.find('='); equals != std::string::npos) {
                inlineValue = name.substr(equals + 1);
                name.erase(equals);
            }
        }
        auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= arguments.size()) throw OptionError(name + " needs a value");
            return arguments[++i];
        };
        auto noValue = [&] {
            if (inlineValue) throw OptionError(name + " takes no value");
        };

        if (name == "--help" || name == "-h") {
            noValue();
            options.help = true;
        } else if (name == "--json") {
            noValue();
            options.json = true;
        } else if (name == "--list-ports") {
            noValue();
            options.listPorts = true;
        } else if (name == "--simulate") {
            // The format is optional, so it is only taken in the --simulate=F form.
            if (!inlineValue || *inlineValue == "orva1") options.simulate = sim::FrameFormat::Orva1;
            else if (*inlineValue == "orva2") options.simulate = sim::FrameFormat::Orva2;
            else throw OptionError("--simulate takes orva1 or orva2, not \"" + *inlineValue + "\"");
        } else if (name == "--port") {
            options.port = int16Option(name, value(), 1, 32767);
        } else if (name == "--settings") {
            options.settings = value();
        } else if (name == "--dec-point") {
            options.decPoint = int16Option(name, value(), -32768, 32767);
        } else if (name == "--min-fix") {
            options.minFix = int16Option(name, value(), -32768, 32767);
        } else if (name == "--properties") {
            options.propertiesPath = value();
            if (options.propertiesPath.empty()) throw OptionError("--properties needs a file name");
        } else if (name == "--trace") {
            options.tracePath = value();
            if (options.tracePath.empty()) throw OptionError("--trace needs a file name");
        } else if (name == "--com") {
            const std::string mapping = value();
            const auto parsed = qt::PortMap::parseMapping(mapping);
            if (!parsed) throw OptionError("--com takes N=PATH with N from 1 to 32767, not \"" + mapping + "\"");
            options.com.push_back(*parsed);
        } else if (name == "--snapshot") {
            options.snapshotPath = value();
            if (options.snapshotPath.empty()) throw OptionError("--snapshot needs a file name");
        } else if (name == "--cycles") {
            const std::string text = value();
            long n = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
            if (error != std::errc{} || end != text.data() + text.size() || n < 1)
                throw OptionError("--cycles takes a positive number, not \"" + text + "\"");
            options.cycles = n;
        } else {
            throw OptionError("unknown option \"" + arguments[i] + "\" (see --help)");
        }
    }
    return options;
}

std::string usageText(const std::string& program, bool window) {
    std::string text = "usage: " + program + " [options]\n\n";
    text += window ? "Shows the weighing terminal control's panel in a window.\n"
                   : "Runs one weighing terminal control and shows its panel on the terminal,\n"
                     "or its events as JSON lines (--json).\n";
    text += R"(
The control polls the terminal on serial port N about every 400 ms. Port N
is the device /dev/ttyS<N-1> unless --com maps it elsewhere.

options:
  --simulate[=orva1|orva2]  start a simulated terminal on a pseudo-terminal,
                            running a loading cycle, and use it as the port
  --port N                  ComNumber: the serial port number (default 1)
  --settings TEXT           ComSetting: "baud,parity,data,stop" (default 9600,n,8,1)
  --dec-point N             DecPoint: implied decimals of an ORVA-2 weight (default 1)
  --min-fix N               MinFixVes: minimum stable weight in thousandths (default 50)
  --properties FILE         load the properties from FILE at start and save
                            them there at exit (also on SIGINT and SIGTERM);
                            one "Name = value" line each, strings quoted
  --com N=PATH              port N is the device PATH (repeatable)
  --trace FILE              append the wire trace to FILE: every request and
                            reply, port operation, decode and event
  --list-ports              list the serial devices and exit
  --json                    print one JSON object per line on standard output
  --cycles N                stop after N decodes (for measurements and scripts)
)";
    if (window) text += "  --snapshot FILE           save a picture of the window (PNG) when it ends\n";
    text += R"(  --help                    this text

Property writes happen in this order, after the file is loaded:
--port, --settings, --dec-point, --min-fix. Each sends a change notification.

JSON lines, each with "t_ms" (milliseconds since the control was created):
  {"event":"ChangeVes","VesChange":12.5}
  {"event":"StabVes","VesBrutoNVT":12.5}
  {"event":"VesStatus","VesNul":0,"VesOk":1,"VesTara":0,"VesMax":0}
  {"event":"Decode","Frame1":...,"Label2":...,"Label3":...,"Shape1":[...],
   "Shape2":[...],"VesTerminal":...,"TipTerminal":...,"StatusTerminal":...,
   "UnitWeight":...}                      after every decode
  {"event":"PropertyChanged","name":"ComNumber"}
  {"event":"Message","text":"..."}       a message box of the control
  {"event":"Beep"}
  {"event":"Error","number":N,"description":"..."}

Exit status: 0 after an interrupt or --cycles, 2 for a usage error, 1 when
the properties file or the simulator cannot be used.
)";
    return text;
}

}  // namespace orva::host
