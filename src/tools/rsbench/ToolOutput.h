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
// Bytes of a "kB" line of /proc/<pid>/status text: "VmRSS" (resident in
// all), "RssAnon" (of it, anonymous memory), "RssFile" (mapped files).
std::optional<uint64_t> statusBytes(const std::string& statusText, const std::string& field);

// The value of an unlabelled sample ("name value") in metrics text.
std::optional<double> metricValue(const std::string& metricsText, const std::string& name);

struct ResidentSize {
    uint64_t total = 0;
    uint64_t anonymous = 0;
    uint64_t files = 0;
};
// Resident size of a running process; nothing when it is gone.
std::optional<ResidentSize> residentSize(int pid);

// CPU seconds (user and system) a process has used so far, from /proc; 0
// when it is gone.
double cpuSeconds(int pid);
// CPU seconds the waited-for children of this process have used so far.
double childrenCpuSeconds();

// The CPU seconds a server process and its client have used since the meter
// was made. The client is this process, or the children it waits for when
// it runs an anchor's own client tool.
class CpuMeter {
public:
    enum class Client { ThisProcess, Children };

    // serverPid 0: no server is measured (server() stays 0).
    explicit CpuMeter(int serverPid, Client client = Client::ThisProcess);
    double server() const;
    double client() const;

private:
    double clientNow() const;

    int serverPid_;
    Client client_;
    double serverStart_;
    double clientStart_;
};

} // namespace rsbench
