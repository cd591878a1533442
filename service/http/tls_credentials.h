#pragma once
// The service's certificate and key for TLS, read from PEM files: the
// certificate file may hold the whole chain (the server's certificate first),
// and all of it is sent. Nothing is put in force that would fail a client:
// a file that cannot be read, holds no PEM, a key with a passphrase, or a
// key that is not the certificate's is refused with the reason. A key file
// that anyone but its owner may access, or that is not a regular file, is
// refused too, as database servers refuse theirs.

#include <QSslConfiguration>
#include <stdexcept>
#include <string>

namespace orva::service {

class TlsPairError : public std::runtime_error {
public:
    TlsPairError(bool keyFile, const std::string& reason) : std::runtime_error(reason), keyFile_(keyFile) {}
    // Whether the key file is at fault (else the certificate file).
    bool keyFile() const noexcept { return keyFile_; }

private:
    bool keyFile_;
};

struct TlsPair {
    QSslConfiguration configuration;  // TLS 1.2 or later, no client certificates
    std::string subject;              // of the server's certificate, for the log
    std::string expires;              // its notAfter, ISO 8601
    bool expired = false;             // clients will refuse it (logged, not refused)
};

// Throws TlsPairError.
TlsPair readTlsPair(const std::string& certFile, const std::string& keyFile);

}  // namespace orva::service
