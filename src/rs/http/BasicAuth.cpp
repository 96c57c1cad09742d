#include "rs/http/BasicAuth.h"

#include <openssl/evp.h>

#include <strings.h>

namespace rs::http {

namespace {

std::optional<std::string> decodeBase64(const std::string& text)
{
    if (text.empty() || text.size() % 4 != 0)
        return std::nullopt;
    std::string out(text.size() / 4 * 3, '\0');
    const int length = EVP_DecodeBlock(reinterpret_cast<unsigned char*>(out.data()),
        reinterpret_cast<const unsigned char*>(text.data()), static_cast<int>(text.size()));
    if (length < 0)
        return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes.
    size_t padding = 0;
    for (size_t i = text.size(); i > 0 && text[i - 1] == '='; --i)
        ++padding;
    if (padding > 2)
        return std::nullopt;
    out.resize(static_cast<size_t>(length) - padding);
    return out;
}

} // namespace

std::optional<std::string> basicCredential(const std::string& authorization)
{
    constexpr std::string_view scheme = "Basic ";
    if (authorization.size() <= scheme.size()
        || ::strncasecmp(authorization.c_str(), scheme.data(), scheme.size()) != 0)
        return std::nullopt;
    size_t start = authorization.find_first_not_of(' ', scheme.size());
    if (start == std::string::npos)
        return std::nullopt;
    std::optional<std::string> credential = decodeBase64(authorization.substr(start));
    if (!credential)
        return std::nullopt;
    const size_t colon = credential->find(':');
    if (colon == std::string::npos || colon == 0 || credential->find('\0') != std::string::npos)
        return std::nullopt;
    return credential;
}

} // namespace rs::http
