#pragma once
// The benchmark scenarios. Each measures the daemon and, in the same run,
// its anchor, and adds rows to the report:
//   memory   - resident size idle and with 1000 idle logged-on connections
//   rate     - getRSVersion and getModuleList (100 modules) on 1, 50 and 500
//              connections, next to redis PING_INLINE on as many (and the
//              list next to redis LRANGE_100 as well, and next to it again
//              with elements that make redis's answer as long as ours)
//   logon    - logon rate (password hashing included) on 50 connections
//   download - getModule of 1 MiB and 64 MiB, cached and uncached, next to nginx
//   upload   - addModule in 1, 4 and 16 MiB pieces, next to dd and an nginx PUT
//   list     - getModuleList of 1k, 10k and 100k modules against linear growth
//   fanout   - install on 10, 100 and 1000 simulated hosts against the four-at-a-time bound
//   http     - getRSVersion with the HTTP side door polled, against without it (HttpScrape.h)
//   tls      - getModule of 64 MiB over the SSL driver, next to nginx over HTTPS (TlsDownload.h)
// After every scenario the daemon's resident size is recorded as well: at
// once, and again settleSeconds later (what stays once the work is over),
// each with what the daemon's caches hold then; the later reading also less
// those caches' contents (what stays beyond the configured caches). With
// the memory scenario, a last reading once the caches' time-out has passed
// (what an idle daemon holds after all the work).
//
// Threads: run by one thread; the load helpers start and join their own.

#include "tools/rsbench/BenchDaemon.h"
#include "tools/rsbench/Load.h"
#include "tools/rsbench/Report.h"

#include <cstdint>
#include <functional>
#include <optional>
#include <ostream>
#include <set>
#include <string>
#include <vector>

namespace rsbench {

struct BenchOptions {
    double seconds = 3; // length of each rate or transfer measurement
    uint64_t uploadBytes = 256ull << 20;
    std::vector<int> listSizes { 1000, 10000, 100000 };
    std::vector<int> fanOutHosts { 10, 100, 1000 };
    int idleConnections = 1000; // held open for the memory figures
    double settleSeconds = 10; // the second memory reading after a scenario comes this much later
    std::vector<int> rateConnections { 1, 50, 500 }; // connection counts of the request rates
    std::set<std::string> only; // scenario names; empty: all

    bool wants(const std::string& scenario) const { return only.empty() || only.count(scenario) != 0; }
};

// The names --only accepts.
const std::vector<std::string>& scenarioNames();

// The deploy fan-out bound: with at most four hosts downloading at a time
// and new hosts started on the installer's one-second tick, `hosts` hosts
// need at least (ceil(hosts / 4) - 1) seconds more than one host does.
double fanOutBoundSeconds(int hosts, double singleHostSeconds);

// Per-module cost of a list of `modules` modules relative to the base list's.
double listCostRatio(double seconds, int modules, double baseSeconds, int baseModules);

class Scenarios {
public:
    // `rowAdded`, when given, runs after every row (to keep a partial table should the run be cut short).
    Scenarios(
        BenchOptions options, Report& report, std::ostream& progress, std::function<void()> rowAdded = {});
    // Runs the chosen scenarios; false when the daemon could not be started.
    bool run();

private:
    void add(Row row);
    void recordMemory(const std::string& after);
    void recordMemoryReading(const std::string& scenario, Target target, bool beyondCaches);
    void recordMemoryOnceCachesExpired();
    void memoryAndRequests();
    // Uploads the modules that the list requests return; false with the reason on failure.
    bool prepareRateConsumer(std::string* why);
    // Counts the bytes of one answer to the rate scenario's list, as its client receives them.
    void measureListAnswerBytes();
    void recordConnectionMemory(std::optional<ResidentSize> before, std::optional<ResidentSize> after,
        size_t connections, const std::string& why);
    int mostRateConnections() const;
    void requestRates(const std::vector<ClientPtr>& pool);
    void logonRate(const std::vector<ClientPtr>& pool);
    void download();
    void upload();
    void listScaling();
    void fanOut();
    void fanOutOn(int hosts);

    BenchOptions options_;
    Report& report_;
    std::ostream& progress_;
    std::function<void()> rowAdded_;
    BenchDaemon daemon_;
    int rateRecordBytes_ = 0; // average text bytes of a listed record, for the LRANGE_100 elements
    std::optional<size_t> listAnswerBytes_; // bytes of one answer to the rate scenario's list, on the wire
};

} // namespace rsbench
