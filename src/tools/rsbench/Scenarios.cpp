#include "tools/rsbench/Scenarios.h"

#include "interfaces/IRepository.h"
#include "interfaces/IRepositoryResp.h"
#include "tools/harness/DeploymentCluster.h"
#include "tools/harness/PatternBytes.h"
#include "tools/rsbench/Anchors.h"
#include "tools/rsbench/HttpScrape.h"
#include "tools/rsbench/TlsDownload.h"
#include "tools/rsbench/ToolOutput.h"
#include "tools/rsbench/Transfers.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <fstream>
#include <map>
#include <thread>

namespace rsbench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

constexpr uint64_t kMiB = 1024 * 1024;
constexpr int kRateModules = 100;
// The smallest download measured: where a per-answer cost shows most.
constexpr uint64_t kSmallDownload = 64 * 1024;
// Rounds of a measurement taken in turns with its anchor; the fastest of each side counts.
constexpr int kRounds = 3;
const Account kAdmin { rs::harness::kAdminUser, rs::harness::kAdminPassword };

Figure mebibytes(uint64_t bytes)
{
    return { static_cast<double>(bytes) / static_cast<double>(kMiB), "MiB" };
}

std::string sizeText(uint64_t bytes)
{
    return bytes < kMiB ? std::to_string(bytes / 1024) + " KiB" : std::to_string(bytes / kMiB) + " MiB";
}

// The text a list record carries, on average: its strings and its three
// numbers (size, time, deleted flag: 9 bytes).
int averageRecordBytes(const rs::RepositoryAppList& list)
{
    if (list.entries().empty())
        return 0;
    size_t bytes = 0;
    for (const rs::RepositoryAppEntry& entry : list.entries()) {
        bytes += entry.version.size() + entry.moduleName.size() + entry.consumer.size() + entry.owner.size()
            + entry.fileName.size() + 9;
        for (const std::string& app : entry.linkedApps)
            bytes += app.size();
    }
    return static_cast<int>(bytes / list.entries().size());
}

// Of repeated measurements of one load, the fastest; failures of every round count.
void keepFaster(RateFigure& best, const RateFigure& next)
{
    const uint64_t failed = best.failed + next.failed;
    if (next.perSecond > best.perSecond)
        best = next;
    best.failed = failed;
}

void keepFaster(std::optional<double>& best, const std::optional<double>& next)
{
    if (next && (!best || *next > *best))
        best = next;
}

// Of repeated timings of one task, the shortest.
void keepCheaper(std::optional<double>& best, const std::optional<double>& next)
{
    if (next && (!best || *next < *best))
        best = next;
}

// CPU seconds per list request of each process, the least of the rounds
// (the one other work on the machine disturbed least).
struct ListCpu {
    std::optional<double> daemon, client, redisServer, redisClient;

    void add(const RateFigure& ours, const std::optional<RedisAnchor::CpuPerRequest>& redis)
    {
        if (ours.completed > 0) {
            keepCheaper(daemon, ours.serverCpu / static_cast<double>(ours.completed));
            keepCheaper(client, ours.clientCpu / static_cast<double>(ours.completed));
        }
        if (redis) {
            keepCheaper(redisServer, redis->server);
            keepCheaper(redisClient, redis->client);
        }
    }

    // The servers' cost per request side by side, apart from their clients'
    // (rsbench decodes all 100 records of every answer; what redis-benchmark
    // does with its elements is its own).
    Row row(const std::string& scenario, const std::string& anchorName) const
    {
        const auto micro = [](const std::optional<double>& seconds) -> std::optional<Figure> {
            if (!seconds)
                return std::nullopt;
            return Figure { *seconds * 1e6, "us" };
        };
        const auto text = [&](const std::optional<double>& seconds) {
            return seconds ? formatNumber(*seconds * 1e6) + " us" : std::string("-");
        };
        Row row;
        row.scenario = scenario;
        row.ours = micro(daemon);
        row.anchor = micro(redisServer);
        row.anchorName = anchorName;
        row.note
            = "client CPU per request: rsbench " + text(client) + ", redis-benchmark " + text(redisClient);
        return row;
    }
};

// A single logged-on connection for the set-up of a scenario; null (with the reason in *why) on failure.
ClientPtr openOne(int port, const std::string& consumer, std::string* why)
{
    auto sessions = openSessions(port, 1, kAdmin, consumer, 1, why);
    return sessions.empty() ? nullptr : std::move(sessions.front());
}

// The download targets, as ratios to nginx serving the same files.
Target downloadTarget(uint64_t bytes, bool cached)
{
    if (bytes >= 64 * kMiB)
        return Target::ratioAtLeast(cached ? 1.0 : 0.9);
    return Target::ratioAtLeast(cached ? 1.0 : 0.8);
}

Row failedRow(std::string scenario, std::string why, Target target = Target::none())
{
    Row row;
    row.scenario = std::move(scenario);
    row.note = std::move(why);
    row.target = target;
    return row;
}

// A request rate next to its anchor's.
Row rateRow(std::string scenario, const RateFigure& figure, const std::optional<double>& anchor,
    std::string anchorName, Target target = Target::none())
{
    Row row;
    row.scenario = std::move(scenario);
    if (figure.completed > 0)
        row.ours = Figure { figure.perSecond, "req/s" };
    if (anchor)
        row.anchor = Figure { *anchor, "req/s" };
    row.anchorName = std::move(anchorName);
    row.target = target;
    if (figure.failed > 0)
        row.note = std::to_string(figure.failed) + " failed";
    return row;
}

// The list next to redis LRANGE_100 with elements sized so that redis's
// answer takes as many bytes as ours: what is left of the gap when both
// servers send as much per request.
class EqualBytesList {
public:
    explicit EqualBytesList(std::optional<size_t> ourAnswerBytes)
        : ourAnswerBytes_(ourAnswerBytes)
    {
        if (ourAnswerBytes)
            elementBytes_ = listElementBytesForAnswer(*ourAnswerBytes, kRateModules);
    }

    // One round of redis's, after our round `ours`: its list rebuilt from
    // elements of the size found, then read alone for the servers' CPU.
    void measure(const RedisAnchor& redis, const RateFigure& ours, int connections, int requests)
    {
        if (!elementBytes_)
            return;
        keepFaster(rate_, redis.listRate(connections, requests, *elementBytes_));
        cpu_.add(ours, redis.listCpu(connections, requests));
        if (!redisAnswerBytes_)
            redisAnswerBytes_ = redis.listAnswerBytes();
    }

    void addRows(const std::string& on, const RateFigure& ours, const std::function<void(Row)>& add) const
    {
        const std::string scenario
            = "getModuleList (100 modules) vs a 100-element list answered in as many bytes";
        if (!elementBytes_) {
            add(failedRow(scenario + on, "the size of our answer was not measured"));
            return;
        }
        const std::string sizes = "answers of " + std::to_string(*ourAnswerBytes_) + " bytes, redis's of "
            + (redisAnswerBytes_ ? std::to_string(*redisAnswerBytes_) : std::string("-")) + " bytes";
        Row row = rateRow(scenario + on, ours, rate_,
            "redis LRANGE_100, " + std::to_string(*elementBytes_) + "-byte elements");
        row.note = row.note.empty() ? sizes : row.note + "; " + sizes;
        add(std::move(row));
        Row cpu = cpu_.row("server CPU per list request answered in as many bytes (lower is better)" + on,
            "redis-server per LRANGE of 100 " + std::to_string(*elementBytes_) + "-byte elements, run alone");
        cpu.note = sizes + "; " + cpu.note;
        add(std::move(cpu));
    }

private:
    std::optional<size_t> ourAnswerBytes_;
    std::optional<int> elementBytes_;
    std::optional<size_t> redisAnswerBytes_;
    std::optional<double> rate_;
    ListCpu cpu_;
};

} // namespace

const std::vector<std::string>& scenarioNames()
{
    static const std::vector<std::string> names { "memory", "rate", "logon", "download", "upload", "list",
        "fanout", "http", "tls" };
    return names;
}

double fanOutBoundSeconds(int hosts, double singleHostSeconds)
{
    return std::ceil(hosts / 4.0) - 1 + singleHostSeconds;
}

double listCostRatio(double seconds, int modules, double baseSeconds, int baseModules)
{
    return (seconds / modules) / (baseSeconds / baseModules);
}

Scenarios::Scenarios(
    BenchOptions options, Report& report, std::ostream& progress, std::function<void()> rowAdded)
    : options_(std::move(options))
    , report_(report)
    , progress_(progress)
    , rowAdded_(std::move(rowAdded))
{
}

void Scenarios::add(Row row)
{
    progress_ << Report::line(row) << std::endl;
    report_.add(std::move(row));
    if (rowAdded_)
        rowAdded_();
}

void Scenarios::recordMemory(const std::string& after)
{
    recordMemoryReading("memory after " + after, Target::none(), false);
    // What the daemon gives back once the work is over: idle buffers and caches that expire.
    std::this_thread::sleep_for(std::chrono::duration<double>(options_.settleSeconds));
    recordMemoryReading("memory " + formatNumber(options_.settleSeconds) + " s after " + after,
        Target::valueAtMost(64), true);
}

// The resident size with what the caches hold at that moment; with
// `beyondCaches`, a second row: the resident size less the contents of the
// caches that REPOSITORY_CACHE_SIZE configures, which is what the daemon
// keeps beyond doing the job it was configured for. The target then bounds
// that second row: the cached contents are what the operator asked the
// daemon to keep (up to the cache size, for the cache time-out), and the
// reading once the caches expired bounds the whole.
void Scenarios::recordMemoryReading(const std::string& scenario, Target target, bool beyondCaches)
{
    const auto size = daemon_.residentSize();
    const auto caches = daemon_.cacheContents();
    const auto mib = [](uint64_t bytes) { return formatNumber(mebibytes(bytes).value) + " MiB"; };
    Row row;
    row.scenario = scenario;
    row.target = beyondCaches ? Target::none() : target;
    if (size) {
        row.ours = mebibytes(size->total);
        row.note = "anonymous " + mib(size->anonymous) + ", files " + mib(size->files);
        if (caches)
            row.note += "; caches hold: files " + mib(caches->fileCache) + ", indexes "
                + mib(caches->indexCache) + ", lists " + mib(caches->listCache) + "; large buffers kept "
                + mib(caches->keptLargeBuffers);
    } else {
        row.note = "daemon gone";
    }
    add(std::move(row));
    if (!beyondCaches)
        return;
    Row beyond;
    beyond.scenario = scenario + " beyond the configured caches' contents";
    beyond.target = target;
    if (size && caches) {
        beyond.ours = mebibytes(size->total - std::min(size->total, caches->configuredCaches()));
        beyond.note = "resident " + mib(size->total) + " less the caches' " + mib(caches->configuredCaches());
    } else {
        beyond.note = size ? "the daemon's metrics did not answer" : "daemon gone";
    }
    add(std::move(beyond));
}

// The memory target read with the caches empty: waits until the daemon's
// sweep has dropped every expired entry (at most one time-out and one sweep
// period after the last use) and the large buffers they freed have gone
// back to the system, so the reading holds no cached content.
void Scenarios::recordMemoryOnceCachesExpired()
{
    using Clock = std::chrono::steady_clock;
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::seconds(kCacheTimeoutSeconds + kCacheSweepSeconds + 10);
    for (;;) {
        const auto caches = daemon_.cacheContents();
        if (!caches || (caches->configuredCaches() == 0 && caches->keptLargeBuffers == 0)
            || Clock::now() >= deadline)
            break;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    const double waited = std::chrono::duration<double>(Clock::now() - start).count();
    progress_ << "the caches emptied " << formatNumber(std::round(waited)) << " s after the last scenario"
              << std::endl;
    // The wait stays out of the row's name, so that the runs' rows line up.
    recordMemoryReading("memory once the caches expired", Target::valueAtMost(64), false);
}

bool Scenarios::run()
{
    const bool needsDaemon = options_.wants("memory") || options_.wants("rate") || options_.wants("logon")
        || options_.wants("download") || options_.wants("upload") || options_.wants("list");
    if (needsDaemon) {
        if (!daemon_.start()) {
            progress_ << "rsbench: the daemon did not serve:\n" << daemon_.failure() << std::endl;
            return false;
        }
        progress_ << "daemon pid " << daemon_.pid() << " on port " << daemon_.port() << std::endl;
        if (options_.wants("memory") || options_.wants("rate") || options_.wants("logon"))
            memoryAndRequests();
        if (options_.wants("download"))
            download();
        if (options_.wants("upload"))
            upload();
        if (options_.wants("list"))
            listScaling();
        if (options_.wants("memory"))
            recordMemoryOnceCachesExpired();
        daemon_.stop();
    }
    if (options_.wants("fanout"))
        fanOut();
    if (options_.wants("http"))
        runHttpScrape(options_, progress_, [this](Row row) { add(std::move(row)); });
    if (options_.wants("tls"))
        runTlsDownload(options_, progress_, [this](Row row) { add(std::move(row)); });
    return true;
}

void Scenarios::memoryAndRequests()
{
    if (options_.wants("memory")) {
        Row idle;
        idle.scenario = "memory idle";
        idle.target = Target::valueAtMost(32);
        if (auto size = daemon_.residentSize())
            idle.ours = mebibytes(size->total);
        add(std::move(idle));
    }
    std::string why;
    if (!prepareRateConsumer(&why)) {
        add(failedRow("request set-up", why));
        return;
    }
    const int poolSize = std::max({ options_.wants("memory") ? options_.idleConnections : 0,
        options_.wants("rate") ? mostRateConnections() : 0, options_.wants("logon") ? 50 : 0 });
    const auto before = daemon_.residentSize();
    auto pool = openSessions(daemon_.port(), poolSize, kAdmin, kRateConsumer, 4, &why);
    const auto after = daemon_.residentSize();
    if (options_.wants("memory"))
        recordConnectionMemory(before, after, pool.size(), why);
    if (options_.wants("rate")) {
        requestRates(pool);
        recordMemory("request rates");
    }
    if (options_.wants("logon")) {
        logonRate(pool);
        recordMemory("logon rate");
    }
    pool.clear();
}

int Scenarios::mostRateConnections() const
{
    const auto& counts = options_.rateConnections;
    return counts.empty() ? 0 : *std::max_element(counts.begin(), counts.end());
}

bool Scenarios::prepareRateConsumer(std::string* why)
{
    auto setup = openOne(daemon_.port(), kRateConsumer, why);
    for (int i = 0; setup && i < kRateModules; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "m%03d", i);
        if (uploadModule(*setup, name, std::string(name) + ".txt", "a small module\n", kMiB).code != 0) {
            *why = std::string("upload of ") + name + " failed";
            return false;
        }
    }
    if (!setup)
        return false;
    auto listed = setup->call<IRepository::getModuleList_Call>(kAnswerWait);
    if (listed.code() != 0 || !listed->applicationList()
        || listed->applicationList()->entries().size() != static_cast<size_t>(kRateModules)) {
        *why = "the list does not hold the " + std::to_string(kRateModules) + " modules uploaded";
        return false;
    }
    rateRecordBytes_ = averageRecordBytes(*listed->applicationList());
    measureListAnswerBytes();
    return true;
}

void Scenarios::measureListAnswerBytes()
{
    constexpr int kAnswers = 10;
    std::string why;
    const auto bytes = bytesReceivedDuring(
        daemon_.port(), kAdmin, kRateConsumer,
        [](rsclient::Client& client) {
            for (int i = 0; i < kAnswers; ++i) {
                if (client.call<IRepository::getModuleList_Call>(kAnswerWait).code() != 0)
                    return false;
            }
            return true;
        },
        &why);
    if (bytes)
        listAnswerBytes_ = *bytes / kAnswers;
    else
        progress_ << "the size of a list answer was not measured: " << why << std::endl;
}

void Scenarios::recordConnectionMemory(std::optional<ResidentSize> before, std::optional<ResidentSize> after,
    size_t connections, const std::string& why)
{
    Row held;
    held.scenario = "memory with " + std::to_string(connections) + " idle logged-on connections";
    if (after)
        held.ours = mebibytes(after->total);
    held.note = why;
    add(std::move(held));
    Row each;
    each.scenario = "memory per idle connection";
    each.target = Target::valueAtMost(64);
    if (before && after && connections > 0)
        each.ours = Figure { (static_cast<double>(after->total) - static_cast<double>(before->total)) / 1024.0
                / static_cast<double>(connections),
            "KiB" };
    add(std::move(each));
}

void Scenarios::requestRates(const std::vector<ClientPtr>& pool)
{
    RedisAnchor redis;
    const bool haveRedis = redis.start();
    const std::chrono::duration<double> duration(options_.seconds);
    for (int connections : options_.rateConnections) {
        const std::string on
            = ", " + std::to_string(connections) + " connection" + (connections > 1 ? "s" : "");
        if (pool.size() < static_cast<size_t>(connections)) {
            add(failedRow("getRSVersion" + on, "only " + std::to_string(pool.size()) + " connections open",
                Target::ratioAtLeast(1.0)));
            continue;
        }
        const auto clients = firstClients(pool, static_cast<size_t>(connections));
        progress_ << "request rates on " << connections
                  << " connections: getRSVersion, getModuleList, redis; " << kRounds << " rounds of "
                  << options_.seconds << " s each" << std::endl;
        // The fastest of several rounds, ours and redis taking turns: other
        // work on the machine moves single rates by a factor of two, and a
        // round that met it says nothing about either server.
        RateFigure version, list;
        std::optional<double> ping, lrange;
        ListCpu listCpu;
        EqualBytesList equalBytes(listAnswerBytes_);
        for (int round = 0; round < kRounds; ++round) {
            const KavVersion none;
            const RateFigure versionRound
                = measureRate<IRepository::getRSVersion_Call>(clients, duration, none, none, 0);
            keepFaster(version, versionRound);
            const RateFigure listRound
                = measureRateAndCpu<IRepository::getModuleList_Call>(clients, duration, daemon_.pid());
            keepFaster(list, listRound);
            if (!haveRedis) {
                listCpu.add(listRound, std::nullopt);
                continue;
            }
            // As many requests as our measurement made at our rate, and enough
            // per connection that redis-benchmark's connection set-up does not dominate.
            const double expected = std::max(versionRound.perSecond, 1.0) * options_.seconds;
            const double floor = std::max(20000.0, 200.0 * connections);
            const int requests = static_cast<int>(std::clamp(expected, floor, 2000000.0));
            keepFaster(ping, redis.pingRate(connections, requests));
            const int listRequests = std::max(static_cast<int>(floor), requests / 3);
            keepFaster(lrange, redis.listRate(connections, listRequests, std::max(rateRecordBytes_, 1)));
            listCpu.add(listRound, redis.listCpu(connections, listRequests));
            equalBytes.measure(redis, listRound, connections, listRequests);
        }
        // A list of 100 records answers against a list of 100 elements; PING stays for comparison.
        add(rateRow("getRSVersion" + on, version, ping, "redis PING_INLINE", Target::ratioAtLeast(1.0)));
        add(rateRow("getModuleList (100 modules)" + on, list, ping, "redis PING_INLINE"));
        add(rateRow("getModuleList (100 modules) vs a 100-element list" + on, list, lrange,
            "redis LRANGE_100, " + std::to_string(rateRecordBytes_) + "-byte elements",
            Target::ratioAtLeast(1.0)));
        add(listCpu.row("server CPU per list request (lower is better)" + on,
            "redis-server per LRANGE of 100 elements, run alone"));
        equalBytes.addRows(on, list, [this](Row row) { add(std::move(row)); });
    }
}

void Scenarios::logonRate(const std::vector<ClientPtr>& pool)
{
    constexpr size_t kConnections = 50;
    if (pool.size() < kConnections) {
        add(failedRow("logon, 50 connections", "only " + std::to_string(pool.size()) + " connections open"));
        return;
    }
    const RateFigure figure = measureRate<IRepository::logon_Call>(firstClients(pool, kConnections),
        std::chrono::duration<double>(options_.seconds), kAdmin.credential(), std::string(kRateConsumer));
    Row row;
    row.scenario = "logon (password hashing included), 50 connections";
    if (figure.completed > 0)
        row.ours = Figure { figure.perSecond, "req/s" };
    const int cpus = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    row.anchorName = "password checks in-process, " + std::to_string(cpus) + " threads";
    row.anchor
        = Figure { passwordCheckRate(kAdmin.password, cpus, std::chrono::duration<double>(options_.seconds)),
              "req/s" };
    if (figure.failed > 0)
        row.note = std::to_string(figure.failed) + " failed";
    add(std::move(row));
}

void Scenarios::download()
{
    std::string why;
    auto client = openOne(daemon_.port(), kTransferConsumer, &why);
    NginxAnchor nginx;
    const bool haveNginx = nginx.start(daemon_.storageDir());
    const std::chrono::duration<double> duration(options_.seconds);
    // Uncached: a rotation of modules whose sizes add up to more than the
    // cache holds, so that every read misses (least recently used goes first).
    // 64 KiB is measured cached only: the rotation would take 1,601 modules,
    // whose list every getModule answer of the consumer would then carry.
    for (uint64_t bytes : { kSmallDownload, kMiB, 64 * kMiB }) {
        const std::string contents = rs::harness::patternBytes(bytes, 3);
        const bool cachedOnly = bytes == kSmallDownload;
        const int rotation = cachedOnly ? 1 : static_cast<int>(kCacheMiB * kMiB / bytes) + 1;
        const std::string prefix = "dl" + std::to_string(bytes / 1024) + "k-";
        const std::string fileName = prefix + "file.bin";
        std::vector<ModuleRef> modules;
        for (int i = 0; client && i < rotation; ++i) {
            Upload up = uploadModule(*client, prefix + std::to_string(i), fileName, contents, 16 * kMiB);
            if (up.code != 0)
                why = "upload failed (" + std::to_string(up.code) + ")";
            else
                modules.push_back({ prefix + std::to_string(i), up.version });
        }
        const bool uploaded = client && static_cast<int>(modules.size()) == rotation;
        // nginx serves the same files in the same order: the front one
        // again and again next to our cached figure, the whole rotation
        // next to our uncached one.
        std::vector<std::string> urlPaths;
        std::vector<fs::path> files;
        for (const ModuleRef& module : modules) {
            urlPaths.push_back(std::string(kTransferConsumer) + "/" + module.name + "/" + fileName);
            files.push_back(daemon_.consumerDir(kTransferConsumer) / module.name / fileName);
        }
        // The fastest of three rounds, nginx and ours taking turns, as for
        // the request rates. Each measurement starts with every file in the
        // page cache, so that neither side pays for the other's evictions.
        std::optional<double> anchors[2], rates[2]; // [0] cached, [1] uncached
        bool failed = false;
        for (int round = 0; round < kRounds && !modules.empty(); ++round) {
            for (bool cached : { true, false }) {
                if (!cached && cachedOnly)
                    continue;
                const size_t used = cached ? 1 : modules.size();
                if (haveNginx) {
                    warmPageCache(files);
                    keepFaster(anchors[cached ? 0 : 1],
                        nginx.getRate({ urlPaths.begin(), urlPaths.begin() + static_cast<long>(used) }, bytes,
                            duration));
                }
                if (!uploaded)
                    continue;
                warmPageCache(files);
                const auto rate
                    = downloadRate(*client, { modules.begin(), modules.begin() + static_cast<long>(used) },
                        kTransferConsumer, bytes, duration);
                failed = failed || !rate;
                keepFaster(rates[cached ? 0 : 1], rate);
            }
        }
        for (bool cached : { true, false }) {
            if (!cached && cachedOnly)
                continue;
            Row row;
            row.scenario = "getModule " + sizeText(bytes) + (cached ? ", cached" : ", uncached");
            const std::optional<double>& anchor = anchors[cached ? 0 : 1];
            row.anchorName = cached ? "nginx GET" : "nginx GET, the same files in turn";
            row.anchor = anchor ? std::optional(Figure { *anchor, "MiB/s" }) : std::nullopt;
            row.target = downloadTarget(bytes, cached);
            const std::optional<double>& rate = rates[cached ? 0 : 1];
            if (!uploaded)
                row.note = why;
            else if (failed)
                row.note = "download failed";
            else if (rate)
                row.ours = Figure { *rate, "MiB/s" };
            if (!haveNginx)
                row.note += (row.note.empty() ? "" : "; ") + nginx.failure();
            add(std::move(row));
        }
    }
    recordMemory("downloads");
}

void Scenarios::upload()
{
    std::string why;
    auto client = openOne(daemon_.port(), kTransferConsumer, &why);
    const uint64_t bytes = options_.uploadBytes;
    const std::string contents = rs::harness::patternBytes(bytes, 5);
    std::vector<std::pair<uint64_t, Figure>> fastest; // our best rate per piece size
    for (uint64_t piece : { 1 * kMiB, 4 * kMiB, 16 * kMiB }) {
        Row row;
        row.scenario = "addModule " + sizeText(bytes) + " in " + sizeText(piece) + " pieces";
        row.target = Target::ratioAtLeast(1.0);
        row.anchorName = "dd bs=" + sizeText(piece) + " conv=fsync";
        if (!client)
            row.note = why;
        // The fastest of three, ours and dd taking turns: on a virtual
        // machine, page-cache memory that was free for a moment may have
        // gone back to the host and is several times slower to write again,
        // whichever writer comes first.
        std::optional<double> bestDd;
        std::optional<double> bestLoopback;
        Upload best;
        // CPU seconds of the daemon and of this process (the client), summed
        // over uploads: on the shared machine they move far less with the
        // load than the rates do.
        double daemonCpu = 0;
        double clientCpu = 0;
        for (int round = 0; round < kRounds; ++round) {
            if (client && row.note.empty()) {
                const std::string module = "up" + std::to_string(piece / kMiB);
                const CpuMeter cpu(daemon_.pid());
                Upload up = uploadModule(*client, module, module + ".bin", contents, piece);
                daemonCpu += cpu.server();
                clientCpu += cpu.client();
                if (up.code != 0)
                    row.note = "upload failed (" + std::to_string(up.code) + ")";
                else if (best.code != 0 || up.seconds < best.seconds)
                    best = up;
                client->call<IRepository::removeModule_Call>(kAnswerWait, module);
            }
            if (auto dd = ddWriteRate(daemon_.storageDir() / "dd.out", bytes, piece))
                bestDd = std::max(bestDd.value_or(0), *dd);
            if (auto loopback = loopbackWriteRate(daemon_.storageDir() / "loopback.out", bytes, piece))
                bestLoopback = std::max(bestLoopback.value_or(0), *loopback);
        }
        if (row.note.empty() && best.code == 0) {
            row.ours = Figure { mebibytesPerSecond(bytes, best.seconds), "MiB/s" };
            row.note = "CPU per upload, mean of " + std::to_string(kRounds) + ": daemon "
                + formatNumber(daemonCpu * 1000 / kRounds) + " ms, client "
                + formatNumber(clientCpu * 1000 / kRounds) + " ms";
            fastest.emplace_back(piece, *row.ours);
        }
        if (bestDd)
            row.anchor = Figure { *bestDd, "MiB/s" };
        Row throughSocket;
        throughSocket.scenario = row.scenario + " vs a loopback socket into a file";
        throughSocket.anchorName = "send, recv " + sizeText(piece) + ", write, fsync";
        throughSocket.ours = row.ours;
        if (bestLoopback)
            throughSocket.anchor = Figure { *bestLoopback, "MiB/s" };
        add(std::move(row));
        add(std::move(throughSocket));
    }
    // The same bytes through an HTTP server that receives them over the
    // loopback as well and stores the body on the same disk, without a sync.
    std::optional<double> bestPut;
    std::string putFailure;
    NginxAnchor nginx;
    if (nginx.start(daemon_.storageDir())) {
        const fs::path source = daemon_.storageDir() / "put-source.bin";
        std::ofstream(source, std::ios::binary)
            .write(contents.data(), static_cast<std::streamsize>(contents.size()));
        for (int round = 0; round < kRounds; ++round)
            if (auto rate = nginx.putRate(source))
                bestPut = std::max(bestPut.value_or(0), *rate);
        fs::remove(source);
    } else {
        putFailure = nginx.failure();
    }
    for (const auto& [piece, rate] : fastest) {
        Row put;
        put.scenario = "addModule " + sizeText(bytes) + " in " + sizeText(piece) + " pieces vs HTTP PUT";
        put.anchorName = "nginx PUT, not synced";
        put.ours = rate;
        if (bestPut)
            put.anchor = Figure { *bestPut, "MiB/s" };
        put.note = putFailure;
        add(std::move(put));
    }
    recordMemory("uploads");
}

namespace {

// An index of `modules` entries in `dir`, written as the daemon writes it.
void writeListIndex(const fs::path& dir, int modules)
{
    {
        std::ofstream out(dir / ".index.bench", std::ios::trunc);
        for (int i = 0; i < modules; ++i)
            out << "module" << i << "|1|module" << i << ".zip|1700000000|admin|0|4096|1|app" << i << "\n";
    }
    fs::rename(dir / ".index.bench", dir / ".index");
}

// The cheapest of the lists taken within `window` (at least three): the
// cost without scheduling noise. Nothing, with the reason in *why, when a
// list fails or comes back short.
std::optional<double> cheapestList(
    rsclient::Client& client, int modules, std::chrono::duration<double> window, std::string* why)
{
    std::optional<double> best;
    const auto start = Clock::now();
    for (int taken = 0; taken < 3 || Clock::now() - start < window; ++taken) {
        const auto before = Clock::now();
        auto listed = client.call<IRepository::getModuleList_Call>(kAnswerWait);
        const double seconds = std::chrono::duration<double>(Clock::now() - before).count();
        if (listed.code() != 0 || !listed->applicationList()
            || listed->applicationList()->entries().size() != static_cast<size_t>(modules)) {
            *why = "list failed or incomplete (" + std::to_string(listed.code()) + ")";
            return std::nullopt;
        }
        best = std::min(best.value_or(seconds), seconds);
    }
    return best;
}

} // namespace

void Scenarios::listScaling()
{
    std::string why;
    auto client = openOne(daemon_.port(), kListConsumer, &why);
    const fs::path dir = daemon_.consumerDir(kListConsumer);
    fs::create_directories(dir);
    // The sizes take turns, three rounds: a slow spell of the machine then
    // costs one round of every size rather than every list of one size.
    const std::chrono::duration<double> window(options_.seconds / 2 / kRounds);
    std::map<int, std::optional<double>> cheapest;
    std::map<int, std::string> failures;
    for (int round = 0; client && round < kRounds; ++round) {
        for (int modules : options_.listSizes) {
            if (!failures[modules].empty())
                continue;
            writeListIndex(dir, modules);
            keepCheaper(cheapest[modules], cheapestList(*client, modules, window, &failures[modules]));
        }
    }
    std::optional<std::pair<int, double>> base;
    for (int modules : options_.listSizes) {
        Row row;
        row.scenario = "getModuleList, " + std::to_string(modules) + " modules";
        if (base) {
            row.anchorName = "linear from " + std::to_string(base->first);
            row.target = Target::ratioAtMost(1.2);
        }
        row.note = client ? failures[modules] : why;
        if (const std::optional<double> best = cheapest[modules]; best && row.note.empty()) {
            row.ours = Figure { *best * 1000, "ms" };
            if (!base)
                base = std::pair { modules, *best };
            else
                row.anchor = Figure { base->second * 1000 * modules / base->first, "ms" };
        }
        add(std::move(row));
    }
    recordMemory("list scaling");
}

void Scenarios::fanOut()
{
    for (int hosts : options_.fanOutHosts)
        fanOutOn(hosts);
}

namespace {

// Seconds from the install request until every one of `hosts` is INSTALLED; nothing on failure.
std::optional<double> timedInstall(rsclient::Client& admin, const std::string& package,
    const std::string& host, const std::vector<std::string>& hosts, std::string* why)
{
    const auto start = Clock::now();
    if (int32_t code
        = admin.call<IAppDeployment::installPackage_Call>(rs::harness::kCallWait, package, "", host).code();
        code != 0) {
        *why = "installPackage failed (" + std::to_string(code) + ")";
        return std::nullopt;
    }
    // Ends early when the daemon stops answering or a host fails: the figure is lost either way.
    auto finished = [&](const rs::harness::HostStates& s) {
        if (s.code != 0 || rs::harness::allIn(s, hosts, rs::HOST_INSTALLED))
            return true;
        return std::any_of(s.state.begin(), s.state.end(), [](const auto& entry) {
            return entry.second == rs::HOST_ERROR || entry.second == rs::HOST_CANCELLED;
        });
    };
    // A limit that grows with the hosts: 1,000 of them take ten minutes on a busy machine.
    const auto limit = std::chrono::seconds(600 + 2 * static_cast<long>(hosts.size()));
    auto states = rs::harness::waitForStates(admin, package, finished, limit);
    if (!rs::harness::allIn(states, hosts, rs::HOST_INSTALLED)) {
        *why = states.code != 0 ? "the daemon stopped answering (" + std::to_string(states.code) + ")"
                                : "not installed on every host";
        for (const auto& [name, state] : states.state)
            if (state == rs::HOST_ERROR || state == rs::HOST_CANCELLED) {
                *why = name + " failed: " + states.message[name];
                break;
            }
        return std::nullopt;
    }
    return std::chrono::duration<double>(Clock::now() - start).count();
}

} // namespace

void Scenarios::fanOutOn(int hosts)
{
    Row row;
    row.scenario = "deploy fan-out, " + std::to_string(hosts) + " hosts";
    row.anchorName = "four-at-a-time bound";
    row.target = Target::ratioAtMost(1.05);
    std::vector<rs::harness::HostSpec> specs;
    for (int i = 1; i <= hosts; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "h%03d", i);
        specs.push_back({ name, "linux", "" });
    }
    rs::harness::TempDir logDir;
    rs::harness::DeploymentCluster cluster(specs, quietLogEnvironment(logDir.path()));
    if (!cluster.start()) {
        row.note = "the daemon did not serve";
        add(std::move(row));
        return;
    }
    auto admin = cluster.admin();
    if (!admin || rs::harness::addPackage(*admin, "small", "", "small.txt", "a small package\n") != 0
        || rs::harness::addPackage(*admin, "probe", "", "probe.txt", "a small package\n") != 0) {
        row.note = "package not stored";
        add(std::move(row));
        return;
    }
    std::string why;
    const auto single = timedInstall(*admin, "probe", specs.front().name, { specs.front().name }, &why);
    const auto wall
        = single ? timedInstall(*admin, "small", "", rs::harness::hostNames(specs), &why) : std::nullopt;
    if (wall) {
        row.ours = Figure { *wall, "s" };
        row.anchor = Figure { fanOutBoundSeconds(hosts, *single), "s" };
        row.note = "one host " + formatNumber(*single) + " s";
    } else {
        row.note = "deployment did not finish: " + why;
    }
    add(std::move(row));
}

} // namespace rsbench
