#pragma once
// The SSL driver's two OpenSSL contexts (server side for accepted
// connections, client side for outgoing ones), set up from the driver
// argument, and the factory of the TLS stream of each new connection.
//
// Protocol: TLS 1.2 or later on both sides (1.3 preferred).
// Without CIPHER: a server with a CERTIFICATE uses OpenSSL's default suites;
// a server without one runs anonymous Diffie-Hellman with AES-GCM under TLS
// 1.2 at security level 0, and a WARN says the server is not authenticated.
// A client that verifies the server uses the default suites; one that does
// not also offers the anonymous suites, so it reaches both kinds of server.
// With CIPHER: that list on both sides, at OpenSSL's default level.
//
// Threads: create() on one thread; afterwards open() and prepareAcceptor()
// may be called from any thread (OpenSSL contexts are safe to share).
//
// Lifetime: shared by the driver; the contexts are freed with the object.

#include "zephcomm/driver/ByteStream.h"
#include "zephcomm/driver/SslDriverArgument.h"

#include <openssl/types.h>

#include <memory>
#include <string>

namespace zephcommSslTcpDrv {

class SslContexts final : public zephcommTcpDrv::StreamFactory {
public:
    // Set-up results, as the factory reports them.
    static constexpr int kCertificateFailed = -1;
    static constexpr int kPrivateKeyFailed = -2;
    static constexpr int kTrustedCaFailed = -3;
    static constexpr int kRandomSeedFailed = -4;
    static constexpr int kCipherOrArgumentFailed = -5;

    static constexpr const char* kAnonymousCiphers = "ADH-AES256-GCM-SHA384:ADH-AES128-GCM-SHA256";

    // Sets both contexts up from `argument` (null: every default). On
    // failure the reason is logged and null returned with `result` set to
    // one of the set-up results.
    static std::shared_ptr<SslContexts> create(
        const char* argument, zephcommdrv::Logger* logger, int& result);
    ~SslContexts() override;
    SslContexts(const SslContexts&) = delete;
    SslContexts& operator=(const SslContexts&) = delete;

    // zephcommTcpDrv::StreamFactory
    std::unique_ptr<zephcommTcpDrv::ByteStream> open(
        int fd, zephcommTcpDrv::StreamRole role, const std::string& peerHost, int& error) override;

    // Readies the server context for a listening endpoint (Diffie-Hellman
    // parameters chosen by OpenSSL to match the key strength). False, logged,
    // on failure.
    bool prepareAcceptor();

    // The cipher list each side was given (empty: OpenSSL's defaults).
    const std::string& serverCipherList() const { return serverCiphers_; }
    const std::string& clientCipherList() const { return clientCiphers_; }
    // Whether the server side presents no certificate.
    bool anonymousServer() const { return argument_.certificate.empty(); }
    // Whether the client side checks the server's certificate and name.
    bool verifiesServer() const { return verify_ != Verify::None; }

private:
    enum class Verify { None, Host, Named };

    SslContexts(const SslDriverArgument& argument, zephcommdrv::Logger* logger);
    int setUp();
    // Kernel TLS where the machine offers it, else our gathering socket BIO; said once at INFO.
    void chooseRecordPath();
    int createContexts();
    int setCipherLists();
    int loadCertificate();
    int loadPrivateKey();
    int loadTrustedCa();
    int setServerAuth();
    int seedRandom();
    bool setList(SSL_CTX* context, const std::string& list);
    bool verifyNameOf(SSL* ssl, const std::string& peerHost);

    SslDriverArgument argument_;
    zephcommdrv::Logger* logger_;
    SSL_CTX* server_ = nullptr;
    SSL_CTX* client_ = nullptr;
    std::string serverCiphers_;
    std::string clientCiphers_;
    Verify verify_ = Verify::None;
    bool kernelTls_ = false;
    std::string verifyName_; // for Verify::Named
};

// The text of the thread's last OpenSSL error ("unknown" when none); clears
// the thread's error queue.
std::string lastSslErrorText();

} // namespace zephcommSslTcpDrv
