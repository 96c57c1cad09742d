#include "rs/core/HostNameMatch.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>

namespace rs {

namespace {

bool dotWithin(const std::string& name, size_t n)
{
    size_t dot = name.find('.');
    return dot == std::string::npos || dot <= n;
}

bool startsWithLetter(const std::string& name)
{
    return std::isalpha(static_cast<unsigned char>(name[0])) != 0;
}

} // namespace

HostResolver systemHostResolver()
{
    return [](const std::string& name) -> std::optional<uint32_t> {
        addrinfo hints {};
        hints.ai_family = AF_INET;
        addrinfo* found = nullptr;
        if (::getaddrinfo(name.c_str(), nullptr, &hints, &found) != 0 || !found)
            return std::nullopt;
        uint32_t address = ntohl(reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr.s_addr);
        ::freeaddrinfo(found);
        return address;
    };
}

bool compareHostName(const std::string& a, const std::string& b, const HostResolver& resolve)
{
    if (a.empty() || b.empty())
        return false;
    size_t n = std::min(a.size(), b.size());
    bool prefixEqual = ::strncasecmp(a.c_str(), b.c_str(), n) == 0;
    if (dotWithin(a, n) && dotWithin(b, n) && prefixEqual) {
        if (a.size() == b.size())
            return true;
        const std::string& longer = a.size() > b.size() ? a : b;
        return longer[n] == '.';
    }
    if (startsWithLetter(a) && startsWithLetter(b) && !prefixEqual)
        return false;
    // Different sentinels, so that two unresolvable names never match.
    uint32_t addressA = resolve(a).value_or(0u);
    uint32_t addressB = resolve(b).value_or(0xFFFFu);
    return addressA == addressB;
}

} // namespace rs
