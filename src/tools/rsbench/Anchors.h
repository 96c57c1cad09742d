#pragma once
// The peers the daemon is measured against, each started by the benchmark
// on loopback with a private temporary directory: redis-server with
// redis-benchmark, nginx (GET with wrk or curl, PUT through its dav module
// with curl), and dd writing to the daemon's disk.
//
// Threads: used by the one thread that drives the run. Destructors stop the
// servers they started.

#include "tools/harness/DaemonProcess.h"
#include "tools/rsbench/Subprocess.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace rsbench {

class RedisAnchor {
public:
    // Starts redis-server without persistence; false when it is missing or does not answer.
    bool start();
    // PING_INLINE requests per second on `connections` connections, `requests` in all.
    std::optional<double> pingRate(int connections, int requests) const;
    // LRANGE_100 requests per second (a list of 100 elements of
    // `elementBytes` bytes each, built by redis-benchmark's own LPUSH run).
    std::optional<double> listRate(int connections, int requests, int elementBytes) const;
    // CPU seconds per request of redis-server and of redis-benchmark over
    // `requests` reads of the first 100 elements of the list listRate
    // built, as the one command of the run (without listRate's LPUSH run).
    struct CpuPerRequest {
        double server = 0;
        double client = 0;
    };
    std::optional<CpuPerRequest> listCpu(int connections, int requests) const;
    // Bytes of one answer to the read of the first 100 elements of that
    // list, counted off a socket of our own.
    std::optional<size_t> listAnswerBytes() const;

private:
    // Runs redis-benchmark's test `test` and reads the rate of its CSV row `row`.
    std::optional<double> rate(const std::string& test, const std::string& row, int connections, int requests,
        int elementBytes) const;

    rs::harness::TempDir dir_;
    Subprocess server_;
    int port_ = 0;
};

// The TLS 1.3 suite both sides of a TLS comparison use: the first of
// OpenSSL's defaults, which the daemon's SSL driver negotiates.
inline constexpr const char* kTls13Suite = "TLS_AES_256_GCM_SHA384";

// A certificate and its key (PEM) for an HTTPS anchor.
struct TlsFiles {
    std::filesystem::path certificate;
    std::filesystem::path key;
};

// The element size at which redis's answer to a read of `elements`
// elements comes closest to `answerBytes` bytes (its protocol frames each
// element with its decimal length).
int listElementBytesForAnswer(size_t answerBytes, int elements);

class NginxAnchor {
public:
    // Serves `root` for GET and accepts PUT below "/put/" into a directory
    // of its own; with `tls`, over HTTPS (TLS 1.3 only) on those files.
    bool start(const std::filesystem::path& root, const std::optional<TlsFiles>& tls = std::nullopt);
    // MiB/s of repeated GETs of `paths` in turn (files of `bytes` bytes
    // under root) one at a time: wrk on one connection for files under
    // 8 MiB, else (or without wrk) curl.
    std::optional<double> getRate(
        const std::vector<std::string>& paths, uint64_t bytes, std::chrono::duration<double> duration) const;
    // MiB/s of one PUT of `file`.
    std::optional<double> putRate(const std::filesystem::path& file) const;
    const std::string& failure() const { return failure_; }

private:
    std::string url(const std::string& path) const;
    // A wrk script that requests `paths` in turn.
    std::filesystem::path rotationScript(const std::vector<std::string>& paths) const;
    rs::harness::TempDir dir_;
    Subprocess server_;
    int port_ = 0;
    bool tls_ = false;
    std::string failure_;
};

// MiB/s of dd writing `bytes` from /dev/zero to `target` in blocks of
// `blockBytes`, synced at the end (as the daemon syncs a finished upload).
std::optional<double> ddWriteRate(const std::filesystem::path& target, uint64_t bytes, uint64_t blockBytes);

// MiB/s of `bytes` sent over a loopback TCP connection by one thread and
// received by another in blocks of `blockBytes`, a third writing each block
// to `target` while the next is received, the file synced at the end: an
// upload through a socket reduced to its system calls, which dd (writing
// from memory) does not make.
std::optional<double> loopbackWriteRate(
    const std::filesystem::path& target, uint64_t bytes, uint64_t blockBytes);

// Reads the files whole, so that whoever serves them next starts from a
// warm page cache.
void warmPageCache(const std::vector<std::filesystem::path>& files);

// Password checks per second against a fresh hash of `password` made the
// way the password file stores it, on `threads` threads: what a logon
// cannot be faster than.
double passwordCheckRate(const std::string& password, int threads, std::chrono::duration<double> duration);

// Waits until something accepts TCP connections on 127.0.0.1:port.
bool waitForListener(int port, std::chrono::milliseconds limit);

inline double mebibytesPerSecond(uint64_t bytes, double seconds)
{
    return seconds > 0 ? static_cast<double>(bytes) / (1024.0 * 1024.0) / seconds : 0;
}

} // namespace rsbench
