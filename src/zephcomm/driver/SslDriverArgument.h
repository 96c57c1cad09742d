#pragma once
// The SSL driver's argument: "SSL[NAME=value,...]". The prefix is matched
// without regard to case and must be followed directly by "["; values run to
// the next "," or "]" and are at most 1024 characters; every name must be one
// of CIPHER, FILETYPE, CERTIFICATE, PRIVATE_KEY, CAFILE, CAPATH,
// SERVER_AUTH. Nothing may follow the closing "]". An absent or empty
// argument means every default; an empty value means that setting's default;
// a name given twice keeps its last value.
//
// Stateless; callable from any thread.

#include <optional>
#include <string>

namespace zephcommSslTcpDrv {

struct SslDriverArgument {
    // Absent (or empty) values mean the default.
    std::string cipher;
    std::string fileType;
    std::string certificate;
    std::string privateKey;
    std::string caFile;
    std::string caPath;
    std::string serverAuth;

    bool asn1() const { return fileType == "ASN1"; }
};

constexpr size_t kMaxArgumentValue = 1024;

// None when the argument is malformed.
std::optional<SslDriverArgument> parseSslDriverArgument(const char* argument);

} // namespace zephcommSslTcpDrv
