#include "service/http/tls_credentials.h"

#include <fcntl.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDateTime>
#include <QList>
#include <QSslCertificate>
#include <QSslKey>
#include <QSslSocket>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

#include "hosts/file_descriptor.h"

namespace orva::service {
namespace {

constexpr std::size_t kMaxPemBytes = 1024 * 1024;

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using X509Ptr = std::unique_ptr<X509, Freer<X509, X509_free>>;
using KeyPtr = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;

std::string readPem(const std::string& path, bool key) {
    auto fail = [&](const std::string& why) { throw TlsPairError(key, path + ": " + why); };
    const host::FileDescriptor file(::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (file.get() < 0) fail(std::string("cannot read: ") + std::strerror(errno));
    struct stat st{};
    if (::fstat(file.get(), &st) != 0) fail(std::string("cannot read: ") + std::strerror(errno));
    if (!S_ISREG(st.st_mode)) fail("is not a regular file");
    if (key && (st.st_mode & 077) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        fail(std::string("group or others may access this private key (mode ") + mode +
             "): it must be the service's alone (chmod 600, owned by the service's user)");
    }
    std::string text;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(file.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) fail(std::string("cannot read: ") + std::strerror(errno));
        if (n == 0) break;
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.size() > kMaxPemBytes) fail("is larger than a PEM file may be here (1 MiB)");
    }
    return text;
}

// The reason of OpenSSL's last error, and its queue emptied.
std::string openSslReason() {
    const unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    const char* reason = code != 0 ? ERR_reason_error_string(code) : nullptr;
    return reason != nullptr ? reason : "not PEM";
}

int noPassphrase(char*, int, int, void*) { return -1; }

}  // namespace

TlsPair readTlsPair(const std::string& certFile, const std::string& keyFile) {
    const std::string certPem = readPem(certFile, false);
    const std::string keyPem = readPem(keyFile, true);
    ERR_clear_error();

    Bio certBio(BIO_new_mem_buf(certPem.data(), static_cast<int>(certPem.size())));
    std::vector<X509Ptr> chain;
    while (X509* one = PEM_read_bio_X509(certBio.get(), nullptr, noPassphrase, nullptr)) chain.emplace_back(one);
    if (chain.empty()) throw TlsPairError(false, certFile + ": holds no PEM certificate (" + openSslReason() + ")");
    ERR_clear_error();  // the end of the file read as one more certificate

    Bio keyBio(BIO_new_mem_buf(keyPem.data(), static_cast<int>(keyPem.size())));
    KeyPtr key(PEM_read_bio_PrivateKey(keyBio.get(), nullptr, noPassphrase, nullptr));
    if (!key) {
        const bool encrypted = keyPem.find("ENCRYPTED") != std::string::npos;
        throw TlsPairError(true, keyFile + ": " +
                                     (encrypted ? std::string("the key is protected by a passphrase; the service cannot ask for one")
                                                : "holds no PEM private key (" + openSslReason() + ")"));
    }
    if (X509_check_private_key(chain.front().get(), key.get()) != 1) {
        ERR_clear_error();
        throw TlsPairError(true, keyFile + ": the key is not the one of the certificate in " + certFile);
    }
    QSsl::KeyAlgorithm algorithm = QSsl::Opaque;
    switch (EVP_PKEY_base_id(key.get())) {
        case EVP_PKEY_RSA: algorithm = QSsl::Rsa; break;
        case EVP_PKEY_EC: algorithm = QSsl::Ec; break;
        case EVP_PKEY_DSA: algorithm = QSsl::Dsa; break;
        default: throw TlsPairError(true, keyFile + ": only RSA, EC and DSA keys are taken");
    }
    // Handed to Qt in the form it reads for every key type.
    unsigned char* der = nullptr;
    const int derSize = i2d_PrivateKey(key.get(), &der);
    if (derSize <= 0) throw TlsPairError(true, keyFile + ": the key cannot be used (" + openSslReason() + ")");
    const QByteArray derBytes(reinterpret_cast<const char*>(der), derSize);
    OPENSSL_clear_free(der, static_cast<std::size_t>(derSize));
    const QSslKey qtKey(derBytes, algorithm, QSsl::Der, QSsl::PrivateKey);
    if (qtKey.isNull()) throw TlsPairError(true, keyFile + ": the key cannot be used for TLS here");
    const QList<QSslCertificate> certificates = QSslCertificate::fromData(QByteArray::fromStdString(certPem), QSsl::Pem);
    if (certificates.isEmpty()) throw TlsPairError(false, certFile + ": the certificate cannot be used for TLS here");

    TlsPair pair;
    pair.configuration = QSslConfiguration::defaultConfiguration();
    pair.configuration.setLocalCertificateChain(certificates);
    pair.configuration.setPrivateKey(qtKey);
    pair.configuration.setProtocol(QSsl::TlsV1_2OrLater);
    pair.configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    pair.subject = certificates.front().subjectDisplayName().toStdString();
    pair.expires = certificates.front().expiryDate().toUTC().toString(Qt::ISODate).toStdString();
    pair.expired = certificates.front().expiryDate() < QDateTime::currentDateTimeUtc();
    return pair;
}

}  // namespace orva::service
