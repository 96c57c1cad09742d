#include "zephcomm/ssl/TestPki.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <stdexcept>

namespace ssltest {

namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Cert = std::unique_ptr<X509, decltype(&X509_free)>;

void check(bool ok, const char* what)
{
    if (!ok)
        throw std::runtime_error(std::string("test PKI: ") + what);
}

Key makeKey()
{
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    check(key != nullptr, "key");
    return key;
}

void addExtension(X509* cert, X509* issuer, int nid, const char* value)
{
    X509V3_CTX context;
    X509V3_set_ctx(&context, issuer, cert, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    check(extension != nullptr && X509_add_ext(cert, extension, -1) == 1, "extension");
    X509_EXTENSION_free(extension);
}

// Signed by `issuer`/`issuerKey`, or by itself when they are null.
Cert makeCertificate(const char* commonName, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuerKey, long serial)
{
    Cert cert(X509_new(), X509_free);
    check(cert != nullptr, "certificate");
    X509_set_version(cert.get(), 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert.get()), serial);
    X509_gmtime_adj(X509_getm_notBefore(cert.get()), -3600);
    X509_gmtime_adj(X509_getm_notAfter(cert.get()), 86400L * 2);
    X509_set_pubkey(cert.get(), key);
    X509_NAME* name = X509_get_subject_name(cert.get());
    X509_NAME_add_entry_by_txt(
        name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer ? issuer : cert.get();
    X509_set_issuer_name(cert.get(), X509_get_subject_name(signer));
    if (!issuer) {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(cert.get(), signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(cert.get(), signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(cert.get(), signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1");
        addExtension(cert.get(), signer, NID_ext_key_usage, "serverAuth");
    }
    check(X509_sign(cert.get(), issuerKey ? issuerKey : key, EVP_sha256()) > 0, "signature");
    return cert;
}

using File = std::unique_ptr<FILE, decltype(&std::fclose)>;

File openForWriting(const std::string& path)
{
    File file(std::fopen(path.c_str(), "wb"), std::fclose);
    check(file != nullptr, "file");
    return file;
}

void writePem(const std::string& path, X509* cert)
{
    check(PEM_write_X509(openForWriting(path).get(), cert) == 1, "PEM certificate");
}

void writePem(const std::string& path, EVP_PKEY* key)
{
    check(PEM_write_PrivateKey(openForWriting(path).get(), key, nullptr, nullptr, 0, nullptr, nullptr) == 1,
        "PEM key");
}

} // namespace

ScratchDir::ScratchDir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "ssltest-XXXXXX").string();
    check(::mkdtemp(pattern.data()) != nullptr, "temporary directory");
    path_ = pattern;
}

ScratchDir::~ScratchDir()
{
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

TestPki makeTestPki(const std::string& dir, const std::string& caName)
{
    Key caKey = makeKey();
    Cert ca = makeCertificate(caName.c_str(), caKey.get(), nullptr, nullptr, 1);
    Key serverKey = makeKey();
    Cert server = makeCertificate("localhost", serverKey.get(), ca.get(), caKey.get(), 2);
    Key otherKey = makeKey();

    TestPki pki;
    const std::string base = dir + "/" + caName;
    pki.caFile = base + "-ca.pem";
    pki.serverCertificate = base + "-server.pem";
    pki.serverKey = base + "-server.key";
    pki.serverCertificateDer = base + "-server.der";
    pki.serverKeyDer = base + "-server-key.der";
    pki.otherKey = base + "-other.key";
    writePem(pki.caFile, ca.get());
    writePem(pki.serverCertificate, server.get());
    writePem(pki.serverKey, serverKey.get());
    writePem(pki.otherKey, otherKey.get());
    check(i2d_X509_fp(openForWriting(pki.serverCertificateDer).get(), server.get()) == 1, "DER certificate");
    check(i2d_PrivateKey_fp(openForWriting(pki.serverKeyDer).get(), serverKey.get()) == 1, "DER key");
    return pki;
}

} // namespace ssltest
