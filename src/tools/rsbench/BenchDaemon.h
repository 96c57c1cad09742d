#pragma once
// The daemon under measurement: build/bin/rs on an ephemeral port with a
// temporary storage directory and cluster file (the end-to-end harness's
// test cluster), logging only warnings so that logging does not weigh on
// the figures, a file cache of kCacheMiB, and consumers of its own for
// each scenario. Its HTTP side door is open on the loopback address, so
// that the memory readings can say what its caches hold.
//
// Threads: driven by the one thread that runs the scenarios.

#include "tools/harness/DaemonProcess.h"
#include "tools/rsbench/ToolOutput.h"

#include <cstdint>
#include <filesystem>
#include <map>
#include <optional>
#include <string>

namespace rsbench {

// Consumers of the benchmark cluster, one per scenario that keeps modules.
inline constexpr const char* kRateConsumer = "/bench/rate";
inline constexpr const char* kTransferConsumer = "/bench/transfer";
inline constexpr const char* kListConsumer = "/bench/list";

// File cache capacity: holds one 64 MiB module, not two, so that
// alternating two of them reads from disk every time.
inline constexpr int kCacheMiB = 100;
// Cache time-out, set explicitly (it is the daemon's default as well) so that
// the last memory reading knows when the caches must have emptied.
inline constexpr int kCacheTimeoutSeconds = 60;
// The daemon's main loop drops expired cache entries once per this period.
inline constexpr int kCacheSweepSeconds = 15;

// Log configuration that keeps the daemon to warnings, written into `dir`;
// the environment entries that select it.
std::map<std::string, std::string> quietLogEnvironment(const std::filesystem::path& dir);

// What the daemon keeps on purpose, in bytes, as its /metrics tell.
struct CacheContents {
    uint64_t fileCache = 0;
    uint64_t indexCache = 0;
    uint64_t listCache = 0;
    uint64_t keptLargeBuffers = 0; // freed buffers kept for reuse, given back when idle

    // The three caches that REPOSITORY_CACHE_SIZE bounds.
    uint64_t configuredCaches() const { return fileCache + indexCache + listCache; }
};

class BenchDaemon {
public:
    // False (reason in failure()) when it does not serve. `env` is added to
    // the daemon's environment (a driver choice, say).
    bool start(const std::map<std::string, std::string>& env = {});
    void stop() { daemon_.process.stop(); }
    int port() const { return daemon_.port; }
    int pid() const { return daemon_.process.pid(); }
    std::filesystem::path storageDir() const { return daemon_.cluster.storageDir(); }
    // The directory that holds a consumer's modules and index.
    std::filesystem::path consumerDir(const std::string& consumer) const;
    const std::string& failure() const { return daemon_.failure; }
    std::optional<ResidentSize> residentSize() const;
    // Nothing when the side door does not answer.
    std::optional<CacheContents> cacheContents() const;

private:
    rs::harness::ServingDaemon daemon_;
    int httpPort_ = 0;
};

} // namespace rsbench
