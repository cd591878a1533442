// orva-service: many weighing terminals in one process, one control each,
// served over HTTP and WebSocket with a live dashboard.

#include <QCoreApplication>
#include <QDateTime>
#include <QHostAddress>
#include <QJsonObject>
#include <QScopeGuard>
#include <charconv>
#include <csignal>
#include <cstdio>
#include <memory>
#include <string>
#include <string_view>

#include "orva/version.h"
#include "platform/qt/signal_quit.h"
#include "hosts/log_text.h"
#include "service/config_reload.h"
#include "service/face_registry.h"
#include "service/http/descriptor_limit.h"
#include "service/http/http_reload.h"
#include "service/http/http_settings.h"
#include "service/http/tls_credentials.h"
#include "service/http/web_service.h"
#include "service/write_path.h"
#include "service/scale_fleet.h"
#include "service/service_config.h"
#include "simulator/sim_script.h"
#include "simulator/terminal_simulator.h"

namespace {

using namespace orva::service;
using orva::host::escapeForLog;

constexpr const char* kUsage = R"(usage: orva-service --config FILE [options]
       orva-service --simulate N [options]

Runs one weighing-terminal control per configured scale and serves them:
  GET  /                           the live dashboard
  GET  /api/scales                 every scale's state
  GET  /api/scales/ID              one scale
  GET  /api/scales/ID/stable?timeout_ms=N    the next settled weight
  GET  /api/scales/ID/properties   the control's eight properties
  PUT  /api/scales/ID/properties   write MinFixVes, DecPoint, ComSetting,
                                   ComNumber (Authorization: Bearer TOKEN)
  GET  /api/live                   WebSocket: the events, a JSON array per 100 ms
  GET  /metrics                    Prometheus text format

options:
  --config FILE     the configuration (INI; see man orva-service)
  --simulate N      add N simulated terminals (sim-1 .. sim-N), 1..500
  --listen H:P      listen here instead of the configured address
  --poll-log FILE   write a line per poll and decode (measurements)
  --own-timers      one Qt timer per control timer instead of shared
                    wake-ups (measurements)
  --help            this text
  --version         the program's version

The first line on standard output is "listening on http://HOST:PORT/"
(https:// with tls_cert and tls_key). SIGHUP reads the configuration and the
TLS pair again (a file or pair that does not pass is refused and the running
one stays); SIGINT and SIGTERM stop the service.
)";

void logLine(const std::string& text) {
    const QByteArray stamp = QDateTime::currentDateTimeUtc().toString(Qt::ISODateWithMs).toUtf8();
    // One line per entry, whatever a client put into the text.
    std::fprintf(stderr, "%s %s\n", stamp.constData(), escapeForLog(text).c_str());
}

// A start that fails says why on one line; the reason may quote the
// configuration file or a device path, whatever bytes they hold.
int startFailed(const std::string& why) {
    std::fprintf(stderr, "orva-service: %s\n", escapeForLog(why).c_str());
    return 1;
}

std::string cannotListen(const HttpSettings& config) {
    return "cannot listen on " + config.listenHost + ":" + std::to_string(config.listenPort) + ": ";
}

// The TLS pair the configuration names; throws ConfigError naming the
// configuration's line of the file at fault.
TlsPair tlsPairOf(const HttpSettings& config, const std::string& configPath) {
    try {
        return readTlsPair(config.tlsCert, config.tlsKey);
    } catch (const TlsPairError& e) {
        throw ConfigError(configPath, e.keyFile() ? config.tlsKeyLine : config.tlsCertLine,
                          std::string(e.keyFile() ? "tls_key " : "tls_cert ") + e.what());
    }
}

int usage(const std::string& message) {
    std::fprintf(stderr, "orva-service: %s\n%s", escapeForLog(message).c_str(), kUsage);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    std::string configPath;
    std::string listen;
    std::string pollLogPath;
    int simulate = 0;
    bool sharedTicks = true;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(std::string(arg) + " needs a value");
            return argv[++i];
        };
        try {
            if (arg == "--help") {
                std::fputs(kUsage, stdout);
                return 0;
            } else if (arg == "--version") {
                std::printf("orva-service %s\n", ORVA_VERSION_STRING);
                return 0;
            } else if (arg == "--config") {
                configPath = value();
            } else if (arg == "--listen") {
                listen = value();
            } else if (arg == "--own-timers") {
                sharedTicks = false;
            } else if (arg == "--poll-log") {
                pollLogPath = value();
            } else if (arg == "--simulate") {
                const std::string n = value();
                const auto [end, ec] = std::from_chars(n.data(), n.data() + n.size(), simulate);
                if (ec != std::errc() || end != n.data() + n.size() || simulate < 1 || simulate > 500)
                    return usage("--simulate takes a number of terminals, 1 to 500");
            } else {
                return usage("unknown option " + std::string(arg));
            }
        } catch (const std::invalid_argument& e) {
            return usage(e.what());
        }
    }
    if (configPath.empty() && simulate == 0) return usage("give --config FILE or --simulate N");

    std::unique_ptr<ConfigFile> configFile;
    ServiceConfig config;
    // The HTTP face's settings as they run: --listen overrides the address,
    // a reload changes the tokens in place.
    HttpSettings http;
    try {
        if (!configPath.empty()) {
            configFile = std::make_unique<ConfigFile>(configPath);
            configFile->setLog(logLine);
            config = configFile->config();
        }
        http = httpSettingsOf(config.faces);
        if (!listen.empty()) std::tie(http.listenHost, http.listenPort) = parseListen(listen);
    } catch (const ConfigError& e) {
        return startFailed(e.what());
    } catch (const std::invalid_argument& e) {
        return usage(e.what());
    }

    // The HTTP port first, with the configuration already checked: a start
    // that fails here (the port is another service's) has opened no serial
    // port, has not touched the journal and has not been to the broker, so
    // a running instance loses no reply, no session and no retained status.
    // Every client and every port holds a descriptor: the service takes
    // what it may and keeps its connection limits within it.
    const DescriptorLimit descriptors = raiseDescriptorLimit();
    std::string lowered;
    http.limits = fitDescriptors(http.limits, descriptors.now, static_cast<int>(config.scales.size()) + simulate,
                                 faceDescriptors(config.faces), lowered);
    HttpServer server(http.limits, nullptr);
    server.setAllowList(http.allowFrom);
    // The TLS pair is read before anything listens: a pair that cannot be
    // used stops the start with the configuration's line and the reason.
    if (!http.tlsCert.empty()) {
        try {
            const TlsPair pair = tlsPairOf(http, configPath);
            server.setTls(pair.configuration);
            logLine("TLS with the certificate of " + pair.subject + " (" + http.tlsCert + "), valid until " + pair.expires +
                    (pair.expired ? "; it has expired: clients will refuse it" : ""));
        } catch (const ConfigError& e) {
            return startFailed(e.what());
        }
    }
    const char* scheme = server.tls() ? "https" : "http";
    // Hundreds of clients may connect at once (waiting requests, dashboards).
    server.setListenBacklogSize(512);
    QHostAddress address;
    try {
        address = QHostAddress(QString::fromStdString(listenAddress(http.listenHost)));
    } catch (const std::runtime_error& e) {
        return startFailed(cannotListen(http) + e.what());
    }
    if (address.isNull() || !server.listen(address, http.listenPort)) {
        return startFailed(cannotListen(http) + server.errorString().toStdString());
    }

    // The simulated terminals run on this event loop too, each on its own
    // pseudo-terminal, with the loading cycle at its own pace.
    std::vector<std::unique_ptr<orva::sim::TerminalSimulator>> simulators;
    std::vector<ScaleConfig> simulatedScales;
    for (int i = 1; i <= simulate; ++i) {
        orva::sim::SimulatorOptions options;
        options.seed = static_cast<std::uint32_t>(i);
        auto simulator = std::make_unique<orva::sim::TerminalSimulator>(options);
        try {
            simulator->addScript(orva::sim::parseScript(orva::sim::builtInLoadingScript()));
            simulator->start();
        } catch (const std::exception& e) {
            return startFailed("cannot start simulated terminal " + std::to_string(i) + ": " + e.what());
        }
        const std::string id = "sim-" + std::to_string(i);
        for (const ScaleConfig& s : config.scales)
            if (s.id == id) return usage("the configuration already has a scale " + id);
        config.scales.push_back(ScaleConfig{id, simulator->devicePath(), {}, {}, {}, {}, 0});
        simulatedScales.push_back(config.scales.back());
        simulators.push_back(std::move(simulator));
    }

    std::unique_ptr<std::FILE, int (*)(std::FILE*)> pollLog(nullptr, &std::fclose);
    if (!pollLogPath.empty()) {
        pollLog.reset(std::fopen(pollLogPath.c_str(), "w"));
        if (!pollLog) return usage("cannot write " + pollLogPath);
    }

    logLine("may use " + std::to_string(descriptors.now) + " file descriptors (soft limit was " +
            std::to_string(descriptors.before) + ", hard limit " + std::to_string(descriptors.hard) + ")" +
            (lowered.empty() ? std::string() : "; too few for the configured limits, lowered: " + lowered));

    // The other faces of service/program/faces.cpp that the file configures (MQTT,
    // Modbus ...) start before any port is opened (the broker's client reads
    // its certificate files and takes back the settled weights an earlier
    // run left in its journal), and serve once the scales are there.
    std::unique_ptr<FaceSet> faces;
    try {
        faces = std::make_unique<FaceSet>(config.faces, FaceStart{configPath, logLine});
    } catch (const std::runtime_error& e) {
        return startFailed(e.what());
    }

    ScaleFleet fleet(config, logLine, pollLog.get(), sharedTicks);
    const WritePath writePath(fleet, configFile.get());
    WebService web(server, fleet, http, writePath, logLine);
    web.setSentLog(pollLog.get());
    // The faces stop before the scales and the web service they stand beside.
    const auto stopFaces = qScopeGuard([&faces] { faces.reset(); });
    try {
        faces->serve(FaceContext{fleet, writePath, logLine});
    } catch (const std::runtime_error& e) {
        return startFailed(e.what());
    }
    web.addMetrics([&faces] { return QByteArray::fromStdString(faces->metrics()); });
    web.setScaleFields([&faces](const QString& id, QJsonObject& state) {
        if (faces) faces->describeScale(id, state);
    });
    const quint16 port = server.serverPort();
    const QString shown = address.protocol() == QAbstractSocket::IPv6Protocol ? "[" + address.toString() + "]" : address.toString();
    std::printf("listening on %s://%s:%u/\n", scheme, shown.toUtf8().constData(), port);
    std::fflush(stdout);
    logLine("serving " + std::to_string(config.scales.size()) + " scale(s) on " + scheme + "://" + shown.toStdString() + ":" +
            std::to_string(port) + "/" + (http.token.empty() ? "; writes are disabled (no token)" : "") +
            (http.readToken.empty() ? "" : "; reads need the read token") +
            (http.allowFrom == AllowList::everyone() ? "" : "; clients allowed from " + http.allowFrom.describe()));
    for (const auto& scale : fleet.scales()) logLine(scale->summary());
    // A freshly installed service starts with an empty list rather than fail.
    if (config.scales.empty())
        logLine("no scale is configured in " + configPath +
                ": add a section per scale, then reload (SIGHUP: systemctl reload orva-service)");

    // SIGHUP reloads the configuration; SIGINT and SIGTERM stop.
    std::unique_ptr<ConfigReload> reload;
    if (configFile) reload = std::make_unique<ConfigReload>(*configFile, config, fleet, simulatedScales, logLine);
    if (reload) {
        reload->setFaces(faces.get());
        reload->setOwnFace([&http](const FaceSettingsMap& next, const FaceSettingsMap& previous) {
            return reloadHttp(http, httpSettingsOf(next), httpSettingsOf(previous), logLine);
        });
    }
    orva::qt::SignalQuit quit([&](int signal) {
        if (signal != SIGHUP) return QCoreApplication::quit();
        if (!reload) return logLine("SIGHUP: there is no configuration file to reload");
        reload->reload();
        server.setAllowList(http.allowFrom);
        if (!server.tls() || http.tlsCert.empty()) return;
        // New connections get the new pair; open ones keep theirs. A pair
        // that cannot be used leaves the one in force.
        try {
            const TlsPair pair = tlsPairOf(http, configPath);
            server.setTls(pair.configuration);
            logLine("reload: TLS with the certificate of " + pair.subject + " (" + http.tlsCert + "), valid until " +
                    pair.expires + (pair.expired ? "; it has expired: clients will refuse it" : ""));
        } catch (const ConfigError& e) {
            logLine(std::string("reload: the TLS pair is refused, the one in force stays: ") + e.what());
        }
    });
    const int status = app.exec();
    logLine("stopped");
    return status;
}
