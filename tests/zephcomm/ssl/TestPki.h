#pragma once
// Certificates for the SSL driver tests, made at test time in a temporary
// directory: a certificate authority, and a server certificate it signs for
// "localhost" and 127.0.0.1, as PEM and as DER files.

#include <string>

namespace ssltest {

// A temporary directory removed with the object.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

struct TestPki {
    std::string caFile; // the CA certificate (PEM)
    std::string serverCertificate; // PEM
    std::string serverKey; // PEM
    std::string serverCertificateDer;
    std::string serverKeyDer;
    std::string otherKey; // PEM, matches no certificate
};

// Makes a CA named `caName` and a server certificate signed by it, with
// files named after `caName` in `dir`. Throws std::runtime_error on failure.
TestPki makeTestPki(const std::string& dir, const std::string& caName);

} // namespace ssltest
