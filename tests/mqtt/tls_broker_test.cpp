// mqtts://: the broker's certificate checked against the configured CA, and
// a client certificate where the broker asks for one. The CA and the
// certificates are made for the test with openssl.
#include <gtest/gtest.h>

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include "service/mqtt/scale_publisher.h"
#include "tests/mqtt/broker.h"
#include "tests/support/event_loop.h"

namespace orva::mqtt {
namespace {

using testing::Broker;
using orva::testing::runFor;
using orva::testing::runUntil;

// A CA, a broker certificate for 127.0.0.1 and a client certificate, all
// signed by it, and a second CA that signed nothing here.
class Certificates {
public:
    Certificates() {
        ok_ = makeCa("ca") && makeCa("other-ca") && makeSigned("server", "/CN=127.0.0.1", "subjectAltName=IP:127.0.0.1") &&
              makeSigned("client", "/CN=scale-service", "extendedKeyUsage=clientAuth");
    }
    bool ok() const { return ok_; }
    std::string path(const char* name) const { return dir_.filePath(name).toStdString(); }
    QByteArray brokerLines() const {
        return "cafile " + dir_.filePath("ca.pem").toUtf8() + "\ncertfile " + dir_.filePath("server.pem").toUtf8() +
               "\nkeyfile " + dir_.filePath("server.key").toUtf8() + "\nrequire_certificate true\n";
    }

private:
    bool openssl(const QStringList& args) {
        QProcess p;
        p.setWorkingDirectory(dir_.path());
        p.start("openssl", args);
        return p.waitForFinished(20000) && p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0;
    }
    bool makeCa(const QString& name) {
        return openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                        name + ".key", "-out", name + ".pem", "-days", "2", "-subj", "/CN=" + name});
    }
    bool makeSigned(const QString& name, const QString& subject, const QByteArray& extension) {
        QFile ext(dir_.filePath(name + ".ext"));
        ext.open(QIODevice::WriteOnly);
        ext.write(extension + "\n");
        ext.close();
        return openssl({"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
                        name + ".key", "-out", name + ".csr", "-subj", subject}) &&
               openssl({"x509", "-req", "-in", name + ".csr", "-CA", "ca.pem", "-CAkey", "ca.key", "-CAcreateserial",
                        "-out", name + ".pem", "-days", "2", "-extfile", name + ".ext"});
    }

    QTemporaryDir dir_;
    bool ok_ = false;
};

struct Log {
    std::vector<std::string> lines;
    MqttLink::Log sink() {
        return [this](const std::string& line) { lines.push_back(line); };
    }
};

MqttSettings tlsSettings(const Broker& broker, std::vector<SettingLine> extra) {
    static int publishers = 0;
    extra.push_back({"url", "mqtts://127.0.0.1:" + std::to_string(broker.port()), 1});
    extra.push_back({"topic_prefix", "site/tls", 2});
    return parseMqttSettings(extra, "tls", ++publishers);
}

TEST(TlsBroker, CheckedBrokerAndClientCertificate) {
    Certificates certs;
    ASSERT_TRUE(certs.ok());
    Broker broker({}, {}, certs.brokerLines());
    ASSERT_TRUE(broker.start());

    Log good;
    ScalePublisher withCert(tlsSettings(broker, {{"ca_file", certs.path("ca.pem"), 3},
                                                 {"cert_file", certs.path("client.pem"), 4},
                                                 {"key_file", certs.path("client.key"), 5}}),
                            good.sink());
    withCert.start();
    EXPECT_TRUE(runUntil([&] { return withCert.link().isConnected(); }, 10000));

    // A broker whose certificate the configured CA did not sign is not
    // talked to; the broker does not talk to a client without a certificate.
    Log wrongCa;
    ScalePublisher untrusting(tlsSettings(broker, {{"ca_file", certs.path("other-ca.pem"), 3},
                                                   {"cert_file", certs.path("client.pem"), 4},
                                                   {"key_file", certs.path("client.key"), 5}}),
                              wrongCa.sink());
    Log noCert;
    ScalePublisher anonymous(tlsSettings(broker, {{"ca_file", certs.path("ca.pem"), 3}}), noCert.sink());
    untrusting.start();
    anonymous.start();
    runFor(3000);
    EXPECT_FALSE(untrusting.link().isConnected());
    EXPECT_FALSE(anonymous.link().isConnected());
    EXPECT_GE(untrusting.link().counters().connectFailures, 2);
    ASSERT_EQ(wrongCa.lines.size(), 1u) << "one line, not one per attempt";
    ASSERT_EQ(noCert.lines.size(), 1u);
    EXPECT_NE(wrongCa.lines[0].find("certificate verify failed"), std::string::npos) << wrongCa.lines[0];
    EXPECT_TRUE(withCert.link().isConnected());
}

TEST(TlsBroker, UnusableCaFileIsRefusedAtStart) {
    Certificates certs;
    ASSERT_TRUE(certs.ok());
    Broker broker({}, {}, certs.brokerLines());
    Log log;
    EXPECT_THROW(ScalePublisher(tlsSettings(broker, {{"ca_file", certs.path("no-such-ca.pem"), 3}}), log.sink()),
                 std::runtime_error);
}

}  // namespace
}  // namespace orva::mqtt
