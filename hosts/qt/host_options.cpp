#include "hosts/qt/host_options.h"

#include <charconv>

#include "orva/version.h"
#include "platform/qt/port_map.h"
#include "platform/serial_settings.h"

namespace orva::host {
namespace {

// A device path where a port number belongs: the user meant --com.
std::string pathHint(const std::string& path) {
    return "a device is given as a port mapping: --com 1=" + path + " (port 1 is then " + path + ")";
}

bool looksLikePath(const std::string& text) { return text.find('/') != std::string::npos; }

std::int16_t int16Option(const std::string& name, const std::string& text, int min, int max) {
    int value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || value < min || value > max) {
        if (name == "--port" && looksLikePath(text)) throw OptionError(pathHint(text));
        throw OptionError(name + " takes a whole number from " + std::to_string(min) + " to " + std::to_string(max) +
                          ", not \"" + text + "\"");
    }
    return static_cast<std::int16_t>(value);
}

std::optional<sim::FrameFormat> frameFormat(const std::string& text) {
    if (text == "orva1") return sim::FrameFormat::Orva1;
    if (text == "orva2") return sim::FrameFormat::Orva2;
    return std::nullopt;
}

}  // namespace

HostOptions parseHostOptions(const std::vector<std::string>& arguments, Program program) {
    HostOptions options;
    bool timeoutGiven = false;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        std::string name = arguments[i];
        std::optional<std::string> inlineValue;
        if (name.rfind("--", 0) == 0) {
            if (const auto equals = name.find('='); equals != std::string::npos) {
                inlineValue = name.substr(equals + 1);
                name.erase(equals);
            }
        }
        // An option in the place of a value is a forgotten value, never a
        // file called "--cycles".
        auto value = [&]() -> std::string {
            if (inlineValue) return *inlineValue;
            if (i + 1 >= arguments.size()) throw OptionError(name + " needs a value");
            const std::string& next = arguments[i + 1];
            if (next.rfind("--", 0) == 0 && next.size() > 2)
                throw OptionError(name + " needs a value, not the option " + next);
            return arguments[++i];
        };
        auto noValue = [&] {
            if (inlineValue) throw OptionError(name + " takes no value");
        };
        auto fileName = [&] {
            std::string path = value();
            if (path.empty()) throw OptionError(name + " needs a file name");
            return path;
        };

        if (name == "--help" || name == "-h") {
            noValue();
            options.help = true;
        } else if (name == "--version") {
            noValue();
            options.version = true;
        } else if (name == "--json") {
            noValue();
            options.json = true;
        } else if (name == "--list-ports") {
            noValue();
            options.listPorts = true;
        } else if (name == "--simulate") {
            // The format is optional: --simulate=orva2, or orva1/orva2 as
            // the next word.
            std::string format = "orva1";
            if (inlineValue) format = *inlineValue;
            // A next word that is no option is the format, right or wrong
            // (--simulate orva3 is refused naming the valid ones).
            else if (i + 1 < arguments.size() && !arguments[i + 1].empty() && arguments[i + 1][0] != '-')
                format = arguments[++i];
            options.simulate = frameFormat(format);
            if (!options.simulate)
                throw OptionError("--simulate takes orva1 or orva2 (--simulate=orva2), not \"" + format + "\"");
        } else if (name == "--port") {
            options.port = int16Option(name, value(), 1, 32767);
        } else if (name == "--settings") {
            const std::string text = value();
            if (!parseSerialSettings(text))
                throw OptionError("--settings takes baud,parity,data,stop such as 9600,n,8,1 (parity n e o m s, data "
                                  "bits 4 to 8, stop bits 1, 1.5 or 2), not \"" + text + "\"");
            options.settings = text;
        } else if (name == "--dec-point") {
            options.decPoint = int16Option(name, value(), -32768, 32767);
        } else if (name == "--min-fix") {
            options.minFix = int16Option(name, value(), -32768, 32767);
        } else if (name == "--properties") {
            options.propertiesPath = fileName();
        } else if (name == "--trace") {
            options.tracePath = fileName();
        } else if (name == "--com") {
            const std::string mapping = value();
            const auto parsed = qt::PortMap::parseMapping(mapping);
            if (!parsed) {
                if (looksLikePath(mapping) && mapping.find('=') == std::string::npos) throw OptionError(pathHint(mapping));
                throw OptionError("--com takes N=PATH with N from 1 to 32767, not \"" + mapping + "\"");
            }
            options.com.push_back(*parsed);
        } else if (name == "--snapshot" && program == Program::Panel) {
            options.snapshotPath = fileName();
        } else if (name == "--log") {
            options.logPath = fileName();
        } else if (name == "--log-all") {
            noValue();
            options.logAll = true;
        } else if (name == "--once" && program == Program::Monitor) {
            noValue();
            options.once = true;
        } else if (name == "--now" && program == Program::Monitor) {
            noValue();
            options.now = true;
        } else if (name == "--timeout" && program == Program::Monitor) {
            const std::string text = value();
            double seconds = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), seconds);
            if (error != std::errc{} || end != text.data() + text.size() || !(seconds > 0) || seconds > 86400)
                throw OptionError("--timeout takes seconds, more than 0 and at most 86400, not \"" + text + "\"");
            options.timeoutSeconds = seconds;
            timeoutGiven = true;
        } else if (name == "--cycles") {
            const std::string text = value();
            long n = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), n);
            if (error != std::errc{} || end != text.data() + text.size() || n < 1)
                throw OptionError("--cycles takes a positive number, not \"" + text + "\"");
            options.cycles = n;
        } else if (name.rfind("-", 0) != 0 && looksLikePath(name)) {
            throw OptionError(pathHint(name));
        } else {
            throw OptionError("unknown option \"" + arguments[i] + "\" (see --help)");
        }
    }
    if ((options.now || timeoutGiven) && !options.once) throw OptionError("--now and --timeout go with --once");
    if (options.logAll && options.logPath.empty()) throw OptionError("--log-all goes with --log FILE");
    return options;
}

std::string versionText(const std::string& program) { return program + " " + ORVA_VERSION_STRING + "\n"; }

std::string usageText(const std::string& program, Program which) {
    const bool window = which == Program::Panel;
    std::string text = "usage: " + program + " [options]\n\n";
    text += window ? "Shows the weighing terminal control's panel in a window.\n"
                   : "Runs one weighing terminal control and shows its panel on the terminal,\n"
                     "or its events as JSON lines (--json), or reads one weight (--once).\n";
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
                            them there at exit (also on SIGINT, SIGTERM and
                            SIGHUP); one "Name = value" line each, strings
                            quoted; only a regular file of at most 1 MiB
  --com N=PATH              port N is the device PATH (repeatable)
  --trace FILE              append the wire trace to FILE: every request and
                            reply, port operation, decode and event
  --list-ports              list the serial devices, whether this user can
                            open each, and exit (with --json as JSON lines)
  --json                    print one JSON object per line on standard output
  --log FILE                append one CSV line per settled weight to FILE:
                            time,port,weight,unit,status (SIGHUP reopens it)
  --log-all                 with --log: a line for every recognised reading
  --cycles N                stop after N decodes (for measurements and scripts)
)";
    if (window) {
        text += "  --snapshot FILE           save a picture of the window when it ends; the\n"
                "                            format follows the extension (.png, .jpg, .bmp, ...)\n";
    } else {
        text += R"(  --once                    wait for the next settled weight, print it and exit
  --now                     with --once: the next recognised reading, settled or not
  --timeout S               with --once: give up after S seconds (default 10)
)";
    }
    text += R"(  --version                 the version
  --help                    this text

Property writes happen in this order, after the file is loaded:
--port, --settings, --dec-point, --min-fix. Each sends a change notification.

The panel: the frame caption is the terminal type (ORVA-1, ORVA-2, unknown);
the weight and its unit, or xxxx for a reply that is no frame. Status lamps:
  >0<   green: the weight is exactly zero
  Ok    green: at least one stability lamp is green (settling or settled)
  T     tare (never lit by these terminals)
  Max   over the maximum (never lit by these terminals)
Stability lamps (the column beside the weight): all red while the weight
changes or is below --min-fix; green one by one as equal readings come; all
three green: three equal readings in a row, the weight has settled (reported
once per loading as StabVes).
The status letter is @ plus 1 for >0< and 2 for Ok (@ A B C), X for no frame.

JSON lines, each with "t_ms" (milliseconds since the control was created)
and "time" (UTC, RFC 3339 with milliseconds):
  {"event":"ChangeVes","VesChange":12.5}
  {"event":"StabVes","VesBrutoNVT":12.5}
  {"event":"VesStatus","VesNul":0,"VesOk":1,"VesTara":0,"VesMax":0}
  {"event":"Decode","Frame1":...,"Label2":...,"Label3":...,"Shape1":[...],
   "Shape2":[...],"VesTerminal":...,"TipTerminal":...,"StatusTerminal":...,
   "UnitWeight":...}                      after every decode
  {"event":"Port","open":false,"reason":"no such device"}   each change
                                         ("reason":null while open)
  {"event":"PropertyChanged","name":"ComNumber"}
  {"event":"Message","text":"..."}       a message box of the control
  {"event":"Beep"}
  {"event":"Warning","text":"..."}       a likely mistake in the properties file
  {"event":"Error","number":N,"description":"..."}
)";
    if (!window)
        text += R"(With --once --json, one object instead:
  {"event":"Weight","port":1,"weight":12.5,"unit":"kg","status":"B",
   "settled":true}
  {"event":"NoWeight","reason":"..."}    none in time (exit status 1)
)";
    text += window ? R"(
Exit status: 0 after an interrupt, closing the window or --cycles, 2 for a
usage error, 1 when the properties file, the log, standard output, the
snapshot or the simulator cannot be used, or there is no display.
)"
                   : R"(
Exit status: 0 after an interrupt or --cycles, or a weight read by --once;
2 for a usage error; 1 when the properties file, the log, standard output or
the simulator cannot be used, or --once found no weight in time.
)";
    return text;
}

}  // namespace orva::host
