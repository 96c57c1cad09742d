#pragma once
// Host-name comparison used by the service's host checks: a short host name
// matches its fully qualified form in any letter case; otherwise names that
// cannot match textually are compared by their first IPv4 address.
//
// Threads: any; the resolver given must be callable concurrently.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

namespace rs {

// First IPv4 address of a host name (host byte order); nothing when unresolvable.
using HostResolver = std::function<std::optional<uint32_t>(const std::string&)>;

HostResolver systemHostResolver();

bool compareHostName(const std::string& a, const std::string& b, const HostResolver& resolve);

} // namespace rs
