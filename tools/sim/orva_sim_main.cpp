// orva-sim: a weighing terminal on a pseudo-terminal, for hosts and tests
// without hardware. Prints the device path on the first line of standard
// output, then answers every line feed with a frame until interrupted.

#include <unistd.h>

#include <QCoreApplication>
#include <QFile>
#include <QSocketNotifier>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "platform/qt/signal_quit.h"
#include "orva/version.h"
#include "simulator/terminal_simulator.h"

namespace {

using namespace orva::sim;

constexpr const char* kUsage = R"(usage: orva-sim [options]

Simulates a weighing terminal on a pseudo-terminal. The device path is
printed on the first line of standard output; open it as a serial port.
Every line feed received is a request, answered with one frame.

options:
  --format orva1|orva2   reply format (default orva1)
  --decimals N           decimal places of the weight (default 1)
  --weight W             weight to answer before any script command (default 0)
  --prefix TEXT          ORVA-1 text before "WW" (default \x02; escapes \r \n \t \xHH \s)
  --suffix TEXT          ORVA-1 text after the weight (default kg\r\n)
  --delay MS             time from a request to its answer (default 40)
  --link PATH            also make PATH a symbolic link to the device; it
                         survives unplug and replug
  --script FILE          run the commands in FILE; "-" reads standard input
                         as it comes
  --loading              run the built-in loading cycle
  --seed N               seed of the noise and garbage (default 1)
  --version              the version
  --help                 this text

script commands (one per line, # starts a comment):
  format orva1|orva2     decimals N     prefix TEXT     suffix TEXT
  delay MS               weight W       settle W NOISE N    hold N
  silent N               garbage N      split [AT]      late MS
  flood BYTES            unplug         replug          sleep MS
  loop                   quit
)";

int fail(const std::string& message) {
    std::fprintf(stderr, "orva-sim: %s\n", message.c_str());
    return 2;
}

std::string unescapeArgument(const std::string& text) {
    // The script's escapes, through a one-line prefix command.
    return parseScript("prefix " + text).at(0).text;
}

// Reads a script from standard input line by line, as it is typed or piped.
class StdinScript {
public:
    explicit StdinScript(TerminalSimulator& simulator)
        : simulator_(simulator), notifier_(STDIN_FILENO, QSocketNotifier::Read) {
        QObject::connect(&notifier_, &QSocketNotifier::activated, &notifier_, [this] { readAvailable(); });
    }

private:
    void readAvailable() {
        char buffer[1024];
        const ssize_t n = ::read(STDIN_FILENO, buffer, sizeof buffer);
        if (n <= 0) {
            notifier_.setEnabled(false);  // end of input: the script so far goes on
            return;
        }
        pending_.append(buffer, static_cast<std::size_t>(n));
        for (auto eol = pending_.find('\n'); eol != std::string::npos; eol = pending_.find('\n')) {
            const std::string line = pending_.substr(0, eol);
            pending_.erase(0, eol + 1);
            ++lineNumber_;
            try {
                simulator_.addScript(parseScript(line, lineNumber_));
            } catch (const ScriptError& error) {
                std::fprintf(stderr, "orva-sim: stdin %s\n", error.what());
            }
        }
    }

    TerminalSimulator& simulator_;
    QSocketNotifier notifier_;
    std::string pending_;
    int lineNumber_ = 0;
};

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    SimulatorOptions options;
    std::string scriptPath;
    bool loading = false;
    double startWeight = 0;

    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
            const std::string next = argv[i + 1];
            if (next.rfind("--", 0) == 0 && next.size() > 2 && arg != "--prefix" && arg != "--suffix")
                throw std::invalid_argument(arg + " needs a value, not the option " + next);
            return argv[++i];
        };
        auto integer = [&](const std::string& text) {
            int v = 0;
            const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), v);
            if (error != std::errc{} || end != text.data() + text.size() || v < 0)
                throw std::invalid_argument(arg + ": not a count: " + text);
            return v;
        };
        try {
            if (arg == "--help" || arg == "-h" || arg == "--version") {
                const std::string text = arg == "--version" ? std::string("orva-sim ") + ORVA_VERSION_STRING + "\n" : kUsage;
                if (std::fputs(text.c_str(), stdout) < 0 || std::fflush(stdout) != 0) {
                    std::fprintf(stderr, "orva-sim: cannot write to standard output\n");
                    return 1;
                }
                return 0;
            } else if (arg == "--format") {
                const auto f = value();
                if (f != "orva1" && f != "orva2") throw std::invalid_argument("--format is orva1 or orva2");
                options.format = f == "orva1" ? FrameFormat::Orva1 : FrameFormat::Orva2;
            } else if (arg == "--decimals") {
                options.decimals = integer(value());
            } else if (arg == "--weight") {
                startWeight = parseScript("weight " + value()).at(0).value;
            } else if (arg == "--prefix") {
                options.prefix = unescapeArgument(value());
            } else if (arg == "--suffix") {
                options.suffix = unescapeArgument(value());
            } else if (arg == "--delay") {
                options.replyDelayMs = integer(value());
            } else if (arg == "--link") {
                options.linkPath = value();
            } else if (arg == "--script") {
                scriptPath = value();
            } else if (arg == "--loading") {
                loading = true;
            } else if (arg == "--seed") {
                options.seed = static_cast<std::uint32_t>(integer(value()));
            } else {
                return fail("unknown option " + arg + " (see --help)");
            }
        } catch (const std::exception& error) {
            return fail(error.what());
        }
    }

    TerminalSimulator simulator(options);
    simulator.setOnQuit([] { QCoreApplication::exit(0); });
    simulator.setOnLog([](const std::string& line) { std::fprintf(stderr, "orva-sim: %s\n", line.c_str()); });
    try {
        simulator.addScript(parseScript("weight " + std::to_string(startWeight)));
        if (loading) simulator.addScript(parseScript(builtInLoadingScript()));
        if (!scriptPath.empty() && scriptPath != "-") {
            QFile file(QString::fromStdString(scriptPath));
            if (!file.open(QIODevice::ReadOnly)) return fail("cannot read " + scriptPath);
            simulator.addScript(parseScript(file.readAll().toStdString()));
        }
        simulator.start();
    } catch (const ScriptError& error) {
        return fail(scriptPath + ": " + error.what());
    } catch (const std::exception& error) {
        return fail(error.what());
    }
    std::printf("%s\n", simulator.devicePath().c_str());
    if (std::fflush(stdout) != 0 || std::ferror(stdout)) {
        std::fprintf(stderr, "orva-sim: cannot write the device path to standard output\n");
        return 1;
    }

    std::unique_ptr<StdinScript> stdinScript;
    if (scriptPath == "-") stdinScript = std::make_unique<StdinScript>(simulator);
    orva::qt::SignalQuit quit([](int) { QCoreApplication::quit(); });
    return app.exec();
}
