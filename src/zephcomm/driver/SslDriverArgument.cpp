#include "zephcomm/driver/SslDriverArgument.h"

#include <strings.h>

#include <algorithm>

#include <cstring>

namespace zephcommSslTcpDrv {

namespace {

std::string* field(SslDriverArgument& argument, const std::string& name)
{
    if (name == "CIPHER")
        return &argument.cipher;
    if (name == "FILETYPE")
        return &argument.fileType;
    if (name == "CERTIFICATE")
        return &argument.certificate;
    if (name == "PRIVATE_KEY")
        return &argument.privateKey;
    if (name == "CAFILE")
        return &argument.caFile;
    if (name == "CAPATH")
        return &argument.caPath;
    if (name == "SERVER_AUTH")
        return &argument.serverAuth;
    return nullptr;
}

} // namespace

std::optional<SslDriverArgument> parseSslDriverArgument(const char* argument)
{
    SslDriverArgument result;
    if (!argument || !*argument)
        return result;
    const std::string text(argument);
    if (text.size() < 4 || ::strncasecmp(text.c_str(), "SSL", 3) != 0 || text[3] != '[')
        return std::nullopt;
    const size_t close = text.find(']', 4);
    if (close == std::string::npos || close + 1 != text.size())
        return std::nullopt;
    if (close == 4)
        return result; // "SSL[]"
    size_t at = 4;
    for (;;) {
        const size_t end = std::min(text.find(',', at), close);
        const std::string item = text.substr(at, end - at);
        const size_t equals = item.find('=');
        if (equals == std::string::npos)
            return std::nullopt;
        std::string* value = field(result, item.substr(0, equals));
        if (!value || item.size() - equals - 1 > kMaxArgumentValue)
            return std::nullopt;
        *value = item.substr(equals + 1);
        if (end == close)
            return result;
        at = end + 1;
    }
}

} // namespace zephcommSslTcpDrv
