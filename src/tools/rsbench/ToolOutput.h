#pragma once
// Reading the figures out of the anchor tools' output and of the kernel's
// process status. Every parser returns nothing when the figure is absent, so
// that a changed tool version shows as "anchor unavailable", never as a
// wrong number.

#include <cstdint>
#include <optional>
#include <string>

namespace rsbench {

// Requests per second of one test ("PING_INLINE") in redis-benchmark --csv output.
std::optional<double> redisBenchmarkRate(const std::string& csv, const std::string& test);
// "Requests/sec:" of wrk's summary.
std::optional<double> wrkRequestsPerSecond(const std::string& output);
// Seconds from curl's -w "%{http_code} %{time_total}" line, when the HTTP status is 2xx.
std::optional<double> curlSeconds(const std::string& output);
// Bytes of the "VmRSS:" line of /proc/<pid>/status text.
std::optional<uint64_t> residentBytesFromStatus(const std::string& statusText);
// Resident bytes of a running process; nothing when it is gone.
std::optional<uint64_t> residentBytes(int pid);

} // namespace rsbench
