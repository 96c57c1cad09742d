#include "tools/rsbench/Anchors.h"

#include "platform/wardn/PasswordFile.h"
#include "tools/rsbench/ToolOutput.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <thread>
#include <vector>

namespace rsbench {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {
constexpr uint64_t kWrkLargestFile = 8 * 1024 * 1024;

// The length of the one array of bulk strings at the start of `text`
// (redis's answer to LRANGE), once all of it is there.
std::optional<size_t> completeArrayBytes(const std::string& text)
{
    const auto number = [&](size_t& at, char mark) -> std::optional<long> {
        if (at >= text.size() || text[at] != mark)
            return std::nullopt;
        const size_t end = text.find("\r\n", at);
        if (end == std::string::npos)
            return std::nullopt;
        const long value = std::strtol(text.c_str() + at + 1, nullptr, 10);
        at = end + 2;
        return value;
    };
    size_t at = 0;
    const auto count = number(at, '*');
    if (!count)
        return std::nullopt;
    for (long i = 0; i < *count; ++i) {
        const auto length = number(at, '$');
        if (!length || *length < 0)
            return std::nullopt;
        at += static_cast<size_t>(*length) + 2;
    }
    if (at > text.size())
        return std::nullopt;
    return at;
}
sockaddr_in loopbackAddress(int port)
{
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return address;
}

// A socket connected to `port` on the loopback address; -1 on failure.
int connectToLoopback(int port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopbackAddress(port);
    if (fd >= 0 && ::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}
} // namespace

bool waitForListener(int port, std::chrono::milliseconds limit)
{
    const auto deadline = Clock::now() + limit;
    do {
        const int fd = connectToLoopback(port);
        if (fd >= 0) {
            ::close(fd);
            return true;
        }
        // A server process needs a moment to bind; polling is all a port offers.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (Clock::now() < deadline);
    return false;
}

bool RedisAnchor::start()
{
    if (!Subprocess::available("redis-server") || !Subprocess::available("redis-benchmark"))
        return false;
    port_ = rs::harness::DaemonProcess::freePort();
    if (!server_.start({ "redis-server", "--port", std::to_string(port_), "--bind", "127.0.0.1", "--save", "",
                           "--appendonly", "no", "--dir", dir_.path().string(), "--daemonize", "no" },
            false))
        return false;
    return waitForListener(port_, std::chrono::seconds(10));
}

std::optional<double> RedisAnchor::pingRate(int connections, int requests) const
{
    return rate("ping", "PING_INLINE", connections, requests, 3);
}

std::optional<double> RedisAnchor::listRate(int connections, int requests, int elementBytes) const
{
    return rate("lrange_100", "LRANGE_100 (first 100 elements)", connections, requests, elementBytes);
}

std::optional<double> RedisAnchor::rate(
    const std::string& test, const std::string& row, int connections, int requests, int elementBytes) const
{
    auto outcome = Subprocess::run({ "redis-benchmark", "-h", "127.0.0.1", "-p", std::to_string(port_), "-c",
        std::to_string(connections), "-n", std::to_string(requests), "-d", std::to_string(elementBytes), "-t",
        test, "--csv" });
    if (!outcome || outcome->status != 0)
        return std::nullopt;
    return redisBenchmarkRate(outcome->output, row);
}

std::optional<RedisAnchor::CpuPerRequest> RedisAnchor::listCpu(int connections, int requests) const
{
    const CpuMeter cpu(server_.pid(), CpuMeter::Client::Children);
    auto outcome = Subprocess::run({ "redis-benchmark", "-h", "127.0.0.1", "-p", std::to_string(port_), "-c",
        std::to_string(connections), "-n", std::to_string(requests), "--csv", "LRANGE", "mylist", "0",
        "99" });
    const double server = cpu.server();
    const double client = cpu.client();
    if (!outcome || outcome->status != 0 || !redisBenchmarkRate(outcome->output, "LRANGE mylist 0 99")
        || requests <= 0)
        return std::nullopt;
    return CpuPerRequest { server / requests, client / requests };
}

std::optional<size_t> RedisAnchor::listAnswerBytes() const
{
    const int fd = connectToLoopback(port_);
    if (fd < 0)
        return std::nullopt;
    // An answer that is not the array expected (an error line) is waited for this long only.
    const timeval wait { 5, 0 };
    ::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    const std::string request = "LRANGE mylist 0 99\r\n";
    std::string answer;
    std::optional<size_t> bytes;
    if (::send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        char chunk[16384];
        ssize_t got = 0;
        while (!(bytes = completeArrayBytes(answer)) && (got = ::recv(fd, chunk, sizeof chunk, 0)) > 0)
            answer.append(chunk, static_cast<size_t>(got));
    }
    ::close(fd);
    return bytes;
}

int listElementBytesForAnswer(size_t answerBytes, int elements)
{
    const auto answerOf = [elements](size_t element) {
        const std::string count = std::to_string(elements);
        const std::string length = std::to_string(element);
        // "*<count>\r\n", then per element "$<length>\r\n<element>\r\n".
        return 1 + count.size() + 2 + static_cast<size_t>(elements) * (1 + length.size() + 2 + element + 2);
    };
    if (answerOf(1) >= answerBytes)
        return 1;
    size_t element = 1;
    while (answerOf(element + 1) <= answerBytes)
        ++element;
    // answerOf(element) <= answerBytes < answerOf(element + 1): the nearer of the two.
    return static_cast<int>(
        answerBytes - answerOf(element) <= answerOf(element + 1) - answerBytes ? element : element + 1);
}

bool NginxAnchor::start(const fs::path& root, const std::optional<TlsFiles>& tls)
{
    if (!Subprocess::available("nginx")) {
        failure_ = "nginx is not installed";
        return false;
    }
    port_ = rs::harness::DaemonProcess::freePort();
    const fs::path dir = dir_.path();
    fs::create_directories(dir / "www" / "put");
    fs::create_directories(dir / "body");
    tls_ = tls.has_value();
    std::string listen = "127.0.0.1:" + std::to_string(port_);
    if (tls)
        listen += " ssl;\n    ssl_certificate " + tls->certificate.string() + ";\n    ssl_certificate_key "
            + tls->key.string() + ";\n    ssl_protocols TLSv1.3";
    std::ofstream(dir / "nginx.conf")
        << (::geteuid() == 0 ? "user root;\n" : "") << "daemon off;\nworker_processes 1;\n"
        << "pid " << (dir / "nginx.pid").string() << ";\n"
        << "error_log " << (dir / "error.log").string() << ";\n"
        << "events { worker_connections 64; }\n"
        << "http {\n  access_log off;\n  sendfile on;\n  client_max_body_size 0;\n"
        << "  client_body_temp_path " << (dir / "body").string() << ";\n"
        << "  server {\n    listen " << listen << ";\n    root " << root.string() << ";\n"
        << "    location /put/ { root " << (dir / "www").string()
        << "; dav_methods PUT; create_full_put_path on; }\n  }\n}\n";
    if (!server_.start({ "nginx", "-p", dir.string(), "-e", (dir / "error.log").string(), "-c",
                           (dir / "nginx.conf").string() },
            false)) {
        failure_ = "nginx did not start";
        return false;
    }
    if (!waitForListener(port_, std::chrono::seconds(10))) {
        failure_ = "nginx did not listen";
        return false;
    }
    return true;
}

std::string NginxAnchor::url(const std::string& path) const
{
    return (tls_ ? "https://127.0.0.1:" : "http://127.0.0.1:") + std::to_string(port_) + path;
}

fs::path NginxAnchor::rotationScript(const std::vector<std::string>& paths) const
{
    const fs::path script = dir_.path() / "rotation.lua";
    std::ofstream out(script, std::ios::trunc);
    out << "local paths = {\n";
    for (const std::string& path : paths)
        out << "  \"" << path << "\",\n";
    out << "}\nlocal taken = 0\nrequest = function()\n  taken = taken % #paths + 1\n"
        << "  return wrk.format(\"GET\", paths[taken])\nend\n";
    return script;
}

std::optional<double> NginxAnchor::getRate(
    const std::vector<std::string>& paths, uint64_t bytes, std::chrono::duration<double> duration) const
{
    if (paths.empty())
        return std::nullopt;
    // wrk counts whole requests within its run, which for large files leaves
    // too few to count; curl times each transfer exactly.
    if (bytes < kWrkLargestFile && !tls_ && Subprocess::available("wrk")) {
        const int seconds = std::max(1, static_cast<int>(duration.count() + 0.5));
        std::vector<std::string> command { "wrk", "-t1", "-c1", "-d" + std::to_string(seconds) + "s",
            "--timeout", "30s" };
        if (paths.size() > 1) {
            command.push_back("-s");
            command.push_back(rotationScript(paths).string());
        }
        command.push_back(url(paths.front()));
        auto outcome = Subprocess::run(command);
        if (!outcome || outcome->status != 0 || outcome->output.find("Non-2xx") != std::string::npos)
            return std::nullopt;
        auto rate = wrkRequestsPerSecond(outcome->output);
        if (!rate)
            return std::nullopt;
        return *rate * static_cast<double>(bytes) / (1024.0 * 1024.0);
    }
    // curl: one connection per transfer, timed by curl itself.
    double total = 0;
    int transfers = 0;
    while (total < duration.count() || transfers < 2) {
        const std::string& path = paths[static_cast<size_t>(transfers) % paths.size()];
        std::vector<std::string> command { "curl", "-s", "-o", "/dev/null", "-w",
            "%{http_code} %{time_total}" };
        if (tls_) // the benchmark's own certificate, and the suite the daemon's TLS 1.3 picks
            command.insert(command.end(), { "-k", "--tlsv1.3", "--tls13-ciphers", kTls13Suite });
        command.push_back(url(path));
        auto outcome = Subprocess::run(command);
        auto seconds = outcome ? curlSeconds(outcome->output) : std::nullopt;
        if (!seconds)
            return std::nullopt;
        total += *seconds;
        ++transfers;
    }
    return mebibytesPerSecond(bytes * static_cast<uint64_t>(transfers), total);
}

std::optional<double> NginxAnchor::putRate(const fs::path& file) const
{
    std::error_code error;
    const uint64_t bytes = fs::file_size(file, error);
    if (error)
        return std::nullopt;
    auto outcome = Subprocess::run({ "curl", "-s", "-o", "/dev/null", "-w", "%{http_code} %{time_total}",
        "-T", file.string(), url("/put/" + file.filename().string()) });
    auto seconds = outcome ? curlSeconds(outcome->output) : std::nullopt;
    fs::remove(dir_.path() / "www" / "put" / file.filename(), error);
    if (!seconds)
        return std::nullopt;
    return mebibytesPerSecond(bytes, *seconds);
}

std::optional<double> ddWriteRate(const fs::path& target, uint64_t bytes, uint64_t blockBytes)
{
    const auto start = Clock::now();
    auto outcome
        = Subprocess::run({ "dd", "if=/dev/zero", "of=" + target.string(), "bs=" + std::to_string(blockBytes),
            "count=" + std::to_string(bytes / blockBytes), "conv=fsync", "status=none" });
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    std::error_code ignored;
    fs::remove(target, ignored);
    if (!outcome || outcome->status != 0)
        return std::nullopt;
    return mebibytesPerSecond(bytes, seconds);
}

namespace {

// A listening loopback socket on an ephemeral port; -1 on failure.
int listenOnLoopback(int* port)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopbackAddress(0);
    socklen_t length = sizeof address;
    if (fd < 0 || ::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0
        || ::listen(fd, 1) != 0 || ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) != 0) {
        if (fd >= 0)
            ::close(fd);
        return -1;
    }
    *port = ntohs(address.sin_port);
    return fd;
}

void sendToLoopback(int port, uint64_t bytes, uint64_t blockBytes)
{
    const int fd = connectToLoopback(port);
    if (fd < 0)
        return;
    const std::vector<char> block(blockBytes, 'u');
    for (uint64_t sent = 0; sent < bytes;) {
        const ssize_t n = ::send(fd, block.data() + sent % blockBytes,
            std::min(bytes - sent, blockBytes - sent % blockBytes), MSG_NOSIGNAL);
        if (n <= 0)
            break;
        sent += static_cast<uint64_t>(n);
    }
    ::close(fd);
}

bool writeAll(int file, const char* data, size_t size)
{
    for (size_t written = 0; written < size;) {
        const ssize_t n = ::write(file, data + written, size - written);
        if (n <= 0)
            return false;
        written += static_cast<size_t>(n);
    }
    return true;
}

// Receives `bytes` from `connection` block by block while a second thread
// writes the block received before to `file` (two blocks: one is received
// while the other is stored, as a server stores one piece while the next
// arrives); false on a short read or a failed write.
bool receiveIntoFile(int connection, int file, uint64_t bytes, uint64_t blockBytes)
{
    std::vector<char> blocks[2] = { std::vector<char>(blockBytes), std::vector<char>(blockBytes) };
    size_t pending[2] = { 0, 0 }; // bytes of a block waiting to be written; 0: free to receive into
    bool ended = false;
    bool failed = false;
    std::mutex mutex;
    std::condition_variable changed;
    std::thread writer([&] {
        for (int i = 0;; i ^= 1) {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return pending[i] != 0 || ended || failed; });
            if (pending[i] == 0 || failed)
                return;
            const size_t size = pending[i];
            lock.unlock();
            const bool written = writeAll(file, blocks[i].data(), size);
            lock.lock();
            pending[i] = 0;
            failed = failed || !written;
            changed.notify_all();
        }
    });
    uint64_t received = 0;
    for (int i = 0; received < bytes; i ^= 1) {
        {
            std::unique_lock lock(mutex);
            changed.wait(lock, [&] { return pending[i] == 0 || failed; });
            if (failed)
                break;
        }
        const size_t size = std::min<uint64_t>(blockBytes, bytes - received);
        size_t filled = 0;
        while (filled < size) {
            const ssize_t n = ::recv(connection, blocks[i].data() + filled, size - filled, 0);
            if (n <= 0)
                break;
            filled += static_cast<size_t>(n);
        }
        std::lock_guard lock(mutex);
        if (filled < size) {
            failed = true;
            break;
        }
        pending[i] = filled;
        received += filled;
        changed.notify_all();
    }
    {
        std::lock_guard lock(mutex);
        ended = true;
        changed.notify_all();
    }
    writer.join();
    return !failed;
}

} // namespace

std::optional<double> loopbackWriteRate(const fs::path& target, uint64_t bytes, uint64_t blockBytes)
{
    if (blockBytes == 0)
        return std::nullopt;
    int port = 0;
    const int listener = listenOnLoopback(&port);
    if (listener < 0)
        return std::nullopt;
    const auto start = Clock::now();
    std::thread sender(sendToLoopback, port, bytes, blockBytes);
    // Should the sender fail to connect, nobody would come: wait for it a while only.
    pollfd waiting { listener, POLLIN, 0 };
    const int connection
        = ::poll(&waiting, 1, 10'000) == 1 ? ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC) : -1;
    ::close(listener);
    bool done = false;
    if (connection >= 0) {
        const int file = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (file >= 0) {
            done = receiveIntoFile(connection, file, bytes, blockBytes) && ::fsync(file) == 0;
            ::close(file);
        }
        ::close(connection);
    }
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    sender.join();
    std::error_code ignored;
    fs::remove(target, ignored);
    if (!done)
        return std::nullopt;
    return mebibytesPerSecond(bytes, seconds);
}

void warmPageCache(const std::vector<fs::path>& files)
{
    std::vector<char> buffer(1 << 20);
    for (const fs::path& file : files) {
        std::ifstream in(file, std::ios::binary);
        while (in.read(buffer.data(), static_cast<std::streamsize>(buffer.size())))
            ;
    }
}

double passwordCheckRate(const std::string& password, int threads, std::chrono::duration<double> duration)
{
    const std::string hash = wardn::hashPassword(password);
    std::atomic<uint64_t> checks { 0 };
    const auto start = Clock::now();
    const auto deadline = start + std::chrono::duration_cast<Clock::duration>(duration);
    std::vector<std::thread> workers;
    for (int t = 0; t < std::max(1, threads); ++t)
        workers.emplace_back([&] {
            do {
                if (wardn::verifyPassword(password, hash))
                    checks.fetch_add(1, std::memory_order_relaxed);
            } while (Clock::now() < deadline);
        });
    for (auto& worker : workers)
        worker.join();
    const double elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    return static_cast<double>(checks.load()) / elapsed;
}

} // namespace rsbench
