#include "zephcomm/driver/SslContexts.h"

#include "zephcomm/driver/DriverLog.h"
#include "zephcomm/driver/KernelTls.h"
#include "zephcomm/driver/TlsStream.h"

#include <log4cxx/logger.h>
#include <openssl/err.h>
#include <openssl/rand.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <mutex>

namespace zephcommSslTcpDrv {

namespace {

// Read-ahead room: about eight full records per socket read.
constexpr size_t kReadBufferBytes = 128 * 1024;

std::optional<std::string> braced(const std::string& text)
{
    if (text.size() > 2 && text.front() == '{' && text.back() == '}')
        return text.substr(1, text.size() - 2);
    return std::nullopt;
}

bool validServerAuth(const std::string& text)
{
    return text.empty() || text == "NONE" || text == "HOST" || braced(text);
}

bool isIpAddress(const std::string& host)
{
    in_addr v4 {};
    in6_addr v6 {};
    return ::inet_pton(AF_INET, host.c_str(), &v4) == 1 || ::inet_pton(AF_INET6, host.c_str(), &v6) == 1;
}

} // namespace

std::string lastSslErrorText()
{
    const unsigned long code = ERR_peek_last_error();
    char text[256] = "unknown";
    if (code != 0)
        ERR_error_string_n(code, text, sizeof text);
    ERR_clear_error();
    return text;
}

std::shared_ptr<SslContexts> SslContexts::create(
    const char* argument, zephcommdrv::Logger* logger, int& result)
{
    std::optional<SslDriverArgument> parsed = parseSslDriverArgument(argument);
    if (!parsed || !validServerAuth(parsed->serverAuth)) {
        TCPDRV_LOG(logger, "Driver argument parameter's format incorrect : '%s'.", argument ? argument : "");
        result = kCipherOrArgumentFailed;
        return nullptr;
    }
    std::shared_ptr<SslContexts> contexts(new SslContexts(*parsed, logger));
    result = contexts->setUp();
    if (result != 0)
        return nullptr;
    return contexts;
}

SslContexts::SslContexts(const SslDriverArgument& argument, zephcommdrv::Logger* logger)
    : argument_(argument)
    , logger_(logger)
{
    if (argument_.serverAuth == "HOST") {
        verify_ = Verify::Host;
    } else if (std::optional<std::string> name = braced(argument_.serverAuth)) {
        verify_ = Verify::Named;
        verifyName_ = *name;
    }
}

SslContexts::~SslContexts()
{
    SSL_CTX_free(server_);
    SSL_CTX_free(client_);
}

int SslContexts::setUp()
{
    ERR_clear_error();
    int rc = createContexts();
    if (rc == 0)
        rc = setCipherLists();
    if (rc == 0)
        rc = loadCertificate();
    if (rc == 0)
        rc = loadPrivateKey();
    if (rc == 0)
        rc = loadTrustedCa();
    if (rc == 0)
        rc = setServerAuth();
    if (rc == 0)
        rc = seedRandom();
    return rc;
}

void SslContexts::chooseRecordPath()
{
    kernelTls_ = kernelTlsOffered();
    if (kernelTls_) {
        // OpenSSL's socket BIO, which kernel TLS needs, writes with write():
        // a peer that is gone must not end the process.
        struct sigaction current { };
        if (::sigaction(SIGPIPE, nullptr, &current) == 0 && current.sa_handler == SIG_DFL)
            ::signal(SIGPIPE, SIG_IGN);
    }
    static std::once_flag told;
    std::call_once(told, [this] {
        const char* text = kernelTls_
            ? "SSL driver: kernel TLS is offered; sends are encrypted by the kernel where the negotiated "
              "suite allows"
            : "SSL driver: kernel TLS is not offered here; records are encrypted by OpenSSL, several per "
              "socket write";
        TCPDRV_LOG(logger_, "%s", text);
        LOG4CXX_INFO(log4cxx::Logger::getLogger("zephcommdrv"), text);
    });
}

int SslContexts::createContexts()
{
    chooseRecordPath();
    server_ = SSL_CTX_new(TLS_server_method());
    client_ = SSL_CTX_new(TLS_client_method());
    if (!server_ || !client_) {
        TCPDRV_LOG(logger_, "Error creating SSL context : %s", lastSslErrorText().c_str());
        return kCipherOrArgumentFailed;
    }
    for (SSL_CTX* context : { server_, client_ }) {
        SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION);
        // A peer that drops the socket is a closed connection, not an error.
        SSL_CTX_set_options(context, SSL_OP_IGNORE_UNEXPECTED_EOF | SSL_OP_NO_RENEGOTIATION);
        // Reads take many records per system call; the buffer goes back
        // whenever it is empty, so an idle connection holds none.
        SSL_CTX_set_mode(context,
            SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
        SSL_CTX_set_read_ahead(context, 1);
        SSL_CTX_set_default_read_buffer_len(context, kReadBufferBytes);
        if (kernelTls_)
            SSL_CTX_set_options(context, SSL_OP_ENABLE_KTLS);
    }
    // Connections are long-lived and never resumed.
    SSL_CTX_set_num_tickets(server_, 0);
    SSL_CTX_set_session_cache_mode(server_, SSL_SESS_CACHE_OFF);
    return 0;
}

bool SslContexts::setList(SSL_CTX* context, const std::string& list)
{
    if (SSL_CTX_set_cipher_list(context, list.c_str()) == 1)
        return true;
    TCPDRV_LOG(logger_, "Error setting cipher list as '%s' : %s", list.c_str(), lastSslErrorText().c_str());
    return false;
}

int SslContexts::setCipherLists()
{
    if (!argument_.cipher.empty()) {
        serverCiphers_ = clientCiphers_ = argument_.cipher;
    } else {
        const std::string anonymous = std::string(kAnonymousCiphers) + ":@SECLEVEL=0";
        if (anonymousServer())
            serverCiphers_ = anonymous;
        if (!verifiesServer())
            clientCiphers_ = std::string(kAnonymousCiphers) + ":DEFAULT:@SECLEVEL=0";
    }
    if (!serverCiphers_.empty() && !setList(server_, serverCiphers_))
        return kCipherOrArgumentFailed;
    if (!clientCiphers_.empty() && !setList(client_, clientCiphers_))
        return kCipherOrArgumentFailed;
    if (anonymousServer()) {
        // Without a certificate TLS 1.3 has nothing to offer.
        SSL_CTX_set_max_proto_version(server_, TLS1_2_VERSION);
        static const char* const kWarning
            = "SSL driver: no CERTIFICATE given, connections use anonymous Diffie-Hellman and the server is "
              "not authenticated";
        TCPDRV_LOG(logger_, "%s", kWarning);
        LOG4CXX_WARN(log4cxx::Logger::getLogger("zephcommdrv"), kWarning);
    }
    return 0;
}

int SslContexts::loadCertificate()
{
    const std::string& file = argument_.certificate;
    if (file.empty())
        return 0;
    for (SSL_CTX* context : { server_, client_ }) {
        // PEM files may carry the intermediate certificates after the leaf.
        const int loaded = argument_.asn1()
            ? SSL_CTX_use_certificate_file(context, file.c_str(), SSL_FILETYPE_ASN1)
            : SSL_CTX_use_certificate_chain_file(context, file.c_str());
        if (loaded != 1) {
            TCPDRV_LOG(logger_, "Error setting SSL sertificate from file '%s' : %s", file.c_str(),
                lastSslErrorText().c_str());
            return kCertificateFailed;
        }
    }
    return 0;
}

int SslContexts::loadPrivateKey()
{
    // Without PRIVATE_KEY a certificate's key is looked for in its own file.
    const std::string& file = argument_.privateKey.empty() ? argument_.certificate : argument_.privateKey;
    if (file.empty())
        return 0;
    const int type = argument_.asn1() ? SSL_FILETYPE_ASN1 : SSL_FILETYPE_PEM;
    for (SSL_CTX* context : { server_, client_ }) {
        if (SSL_CTX_use_PrivateKey_file(context, file.c_str(), type) != 1
            || (!argument_.certificate.empty() && SSL_CTX_check_private_key(context) != 1)) {
            TCPDRV_LOG(logger_, "Error setting SSL private key from file '%s' : %s", file.c_str(),
                lastSslErrorText().c_str());
            return kPrivateKeyFailed;
        }
    }
    return 0;
}

int SslContexts::loadTrustedCa()
{
    const std::string& file = argument_.caFile;
    const std::string& path = argument_.caPath;
    if (file.empty() && path.empty())
        return 0;
    if (SSL_CTX_load_verify_locations(
            client_, file.empty() ? nullptr : file.c_str(), path.empty() ? nullptr : path.c_str())
        != 1) {
        TCPDRV_LOG(logger_, "Error setting SSL trusted CA from file '%s' : %s",
            (file.empty() ? path : file).c_str(), lastSslErrorText().c_str());
        return kTrustedCaFailed;
    }
    return 0;
}

int SslContexts::setServerAuth()
{
    if (!verifiesServer())
        return 0;
    if (argument_.caFile.empty() && argument_.caPath.empty()) {
        TCPDRV_LOG(logger_, "SSL Error: Client does not have trusted CA file.");
        return kTrustedCaFailed;
    }
    SSL_CTX_set_verify(client_, SSL_VERIFY_PEER, nullptr);
    return 0;
}

int SslContexts::seedRandom()
{
    // The system seeds OpenSSL; a file is only the fall-back.
    if (RAND_status() != 1) {
        if (const char* file = std::getenv("SSL_RAND_FILE"))
            RAND_load_file(file, -1);
    }
    if (RAND_status() == 1)
        return 0;
    TCPDRV_LOG(logger_, "%s : %s", "Can not set SSL random seed",
        "please provide a rnd file in SSL_RAND_FILE environment variable.");
    return kRandomSeedFailed;
}

bool SslContexts::prepareAcceptor()
{
    if (SSL_CTX_set_dh_auto(server_, 1) == 1)
        return true;
    TCPDRV_LOG(logger_, "Error in SSL_CTX_set_tmp_dh()");
    ERR_clear_error();
    return false;
}

bool SslContexts::verifyNameOf(SSL* ssl, const std::string& peerHost)
{
    const std::string& name = verify_ == Verify::Host ? peerHost : verifyName_;
    if (name.empty()) {
        TCPDRV_LOG(
            logger_, "TcpChannel::ssl() : error - no host name to check the server certificate against");
        return false;
    }
    if (isIpAddress(name))
        return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), name.c_str()) == 1;
    return SSL_set1_host(ssl, name.c_str()) == 1 && SSL_set_tlsext_host_name(ssl, name.c_str()) == 1;
}

std::unique_ptr<zephcommTcpDrv::ByteStream> SslContexts::open(
    int fd, zephcommTcpDrv::StreamRole role, const std::string& peerHost, int& error)
{
    const bool accepted = role == zephcommTcpDrv::StreamRole::Accepted;
    ERR_clear_error();
    SSL* ssl = SSL_new(accepted ? server_ : client_);
    BIO* bio = !ssl ? nullptr : kernelTls_ ? BIO_new_socket(fd, BIO_NOCLOSE) : newSocketBio(fd);
    if (!bio) {
        TCPDRV_LOG(logger_, "TcpChannel::ssl() : error - %s", lastSslErrorText().c_str());
        SSL_free(ssl);
        error = -ENOMEM;
        return nullptr;
    }
    SSL_set_bio(ssl, bio, bio);
    if (accepted) {
        SSL_set_accept_state(ssl);
    } else {
        SSL_set_connect_state(ssl);
        if (verifiesServer() && !verifyNameOf(ssl, peerHost)) {
            SSL_free(ssl);
            ERR_clear_error();
            error = zephcommdrv::kInvalid;
            return nullptr;
        }
    }
    error = 0;
    return std::make_unique<TlsStream>(ssl, logger_, !kernelTls_);
}

} // namespace zephcommSslTcpDrv
