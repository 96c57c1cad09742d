// The daemon's module transfers against the plain tools on the same machine:
// a cached 64 MiB download next to nginx serving the same file over HTTP on
// loopback, a 256 MiB upload in 4 MiB pieces next to dd writing as many bytes
// to the same disk, module lists of 1,000 and 10,000 entries, and the rate of
// getRSVersion requests (compare with redis-benchmark -t ping_inline at the
// same connection counts).

#include "e2e/ModuleE2eSupport.h"

#include <benchmark/benchmark.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

extern char** environ;

namespace rs::e2e {
namespace {

namespace fs = std::filesystem;

constexpr size_t kMiB = 1024 * 1024;
constexpr size_t kDownloadSize = 64 * kMiB;
constexpr size_t kUploadSize = 256 * kMiB;
constexpr size_t kUploadPiece = 4 * kMiB;

// One daemon for the whole run, with a 64 MiB module already uploaded.
struct Stage {
    ModuleDaemon daemon;
    std::unique_ptr<ModuleSession> session;
    std::string version;
    bool ready = false;

    static Stage& get()
    {
        static Stage stage;
        return stage;
    }

private:
    Stage()
    {
        if (!daemon.start())
            return;
        session = ModuleSession::open(daemon.port(), kAdminUser, kAdminPassword, kKnownConsumer);
        if (!session)
            return;
        AddResult added = session->upload("big", "big.bin", patternBytes(kDownloadSize, 9), kUploadPiece);
        version = added.version;
        ready = added.code == 0;
    }
};

pid_t spawn(const std::vector<std::string>& args)
{
    std::vector<char*> argv;
    for (const std::string& arg : args)
        argv.push_back(const_cast<char*>(arg.c_str()));
    argv.push_back(nullptr);
    pid_t pid = -1;
    if (::posix_spawnp(&pid, argv[0], nullptr, nullptr, argv.data(), environ) != 0)
        return -1;
    return pid;
}

int runToEnd(const std::vector<std::string>& args)
{
    pid_t pid = spawn(args);
    int status = -1;
    if (pid > 0)
        ::waitpid(pid, &status, 0);
    return status;
}

void BM_GetModuleCached64MiB(benchmark::State& state)
{
    Stage& stage = Stage::get();
    if (!stage.ready) {
        state.SkipWithError("the daemon did not serve");
        return;
    }
    stage.session->get("big", stage.version, kKnownConsumer); // fills the cache
    for (auto _ : state) {
        // The block as received: no copy into a string of our own.
        auto got = stage.session->client().call<IRepository::getModule_Call>(
            kAnswerWait, "big", stage.version, kKnownConsumer);
        if (got.code() != 0 || got->moduleData()->total_length() != kDownloadSize) {
            state.SkipWithError("download failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDownloadSize));
}

// nginx serving the module's file from the storage directory.
class Nginx {
public:
    explicit Nginx(const fs::path& root)
    {
        port_ = DaemonProcess::freePort();
        std::ofstream(dir_.path() / "nginx.conf")
            << (::geteuid() == 0 ? "user root;\n" : "") << "daemon off;\nworker_processes 1;\npid "
            << (dir_.path() / "nginx.pid").string() << ";\n"
            << "error_log " << (dir_.path() / "error.log").string() << ";\n"
            << "events { worker_connections 64; }\n"
            << "http { access_log off; sendfile on; server { listen 127.0.0.1:" << port_ << "; root "
            << root.string() << "; } }\n";
        pid_ = spawn({ "nginx", "-p", dir_.path().string(), "-c", (dir_.path() / "nginx.conf").string() });
    }
    ~Nginx()
    {
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
    }
    bool started() const { return pid_ > 0; }
    int port() const { return port_; }

private:
    TempDir dir_;
    pid_t pid_ = -1;
    int port_ = 0;
};

// Bytes of one HTTP/1.0 GET on loopback (headers included); -1 when no connection.
int64_t httpGet(int port, const std::string& path)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(fd);
        return -1;
    }
    const std::string request = "GET " + path + " HTTP/1.0\r\nHost: localhost\r\n\r\n";
    if (::write(fd, request.data(), request.size()) != static_cast<ssize_t>(request.size())) {
        ::close(fd);
        return -1;
    }
    static std::vector<char> buffer(kMiB);
    int64_t total = 0;
    for (ssize_t n; (n = ::read(fd, buffer.data(), buffer.size())) > 0;)
        total += n;
    ::close(fd);
    return total;
}

void BM_NginxGet64MiB(benchmark::State& state)
{
    Stage& stage = Stage::get();
    if (!stage.ready) {
        state.SkipWithError("the daemon did not serve");
        return;
    }
    Nginx nginx(stage.daemon.storageDir());
    if (!nginx.started()) {
        state.SkipWithError("nginx is not installed");
        return;
    }
    const std::string path = "/apps/web/big/big.bin";
    // Ready once it answers with the whole file.
    int64_t first = -1;
    for (int attempt = 0; attempt < 2000 && first < static_cast<int64_t>(kDownloadSize); ++attempt)
        first = httpGet(nginx.port(), path);
    if (first < static_cast<int64_t>(kDownloadSize)) {
        state.SkipWithError("nginx did not serve the file");
        return;
    }
    for (auto _ : state)
        benchmark::DoNotOptimize(httpGet(nginx.port(), path));
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kDownloadSize));
}

void BM_AddModule256MiB(benchmark::State& state)
{
    Stage& stage = Stage::get();
    if (!stage.ready) {
        state.SkipWithError("the daemon did not serve");
        return;
    }
    const std::string bytes = patternBytes(kUploadSize, 11);
    for (auto _ : state) {
        if (stage.session->upload("upload", "upload.bin", bytes, kUploadPiece).code != 0) {
            state.SkipWithError("upload failed");
            return;
        }
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kUploadSize));
}

void BM_Dd256MiB(benchmark::State& state)
{
    Stage& stage = Stage::get();
    const fs::path target = stage.daemon.storageDir() / "dd.out";
    const std::string count = std::to_string(kUploadSize / kUploadPiece);
    for (auto _ : state) {
        // conv=fsync: the daemon syncs a completed upload as well.
        if (runToEnd({ "dd", "if=/dev/zero", "of=" + target.string(), "bs=4M", "count=" + count, "conv=fsync",
                "status=none" })
            != 0) {
            state.SkipWithError("dd failed");
            return;
        }
    }
    fs::remove(target);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kUploadSize));
}

// CPU time (user and system, in clock ticks) the process has used so far:
// a cost figure that does not depend on how busy the machine is.
double cpuTicksOf(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // Fields after the command name, which ends at the last ')'.
    std::istringstream fields(text.substr(text.rfind(')') + 2));
    std::string field;
    double ticks = 0;
    for (int index = 3; fields >> field; ++index) {
        if (index == 14 || index == 15)
            ticks += std::atof(field.c_str());
        if (index == 15)
            break;
    }
    return ticks;
}

// Lists a consumer whose index holds state.range(0) modules. The counter
// "daemon_cpu_us_per_entry" is the daemon's CPU time per listed entry, which
// stays flat when the cost is linear.
void BM_GetModuleList(benchmark::State& state)
{
    Stage& stage = Stage::get();
    if (!stage.ready) {
        state.SkipWithError("the daemon did not serve");
        return;
    }
    const int64_t modules = state.range(0);
    const fs::path indexDir = stage.daemon.storageDir() / "apps" / "web";
    const fs::path written = indexDir / ".index.bench";
    {
        std::ofstream out(written, std::ios::trunc);
        for (int64_t i = 0; i < modules; ++i)
            out << "module" << i << "|1|module" << i << ".zip|1700000000|admin|0|4096|1|app" << i << "\n";
    }
    fs::rename(written, indexDir / ".index");
    const pid_t daemonPid = stage.daemon.process().pid();
    const double ticksBefore = cpuTicksOf(daemonPid);
    for (auto _ : state) {
        ListResult listed = stage.session->list();
        if (listed.code != 0 || static_cast<int64_t>(listed.records.size()) != modules) {
            state.SkipWithError("list failed");
            return;
        }
    }
    const double ticks = cpuTicksOf(daemonPid) - ticksBefore;
    state.counters["daemon_cpu_us_per_entry"] = ticks * 1e6 / static_cast<double>(::sysconf(_SC_CLK_TCK))
        / static_cast<double>(state.iterations() * modules);
    state.SetItemsProcessed(state.iterations() * modules);
}

// Request rate: getRSVersion (answered without a work item) on
// state.range(0) connections, one request in flight on each.
void BM_GetRSVersion(benchmark::State& state)
{
    Stage& stage = Stage::get();
    if (!stage.ready) {
        state.SkipWithError("the daemon did not serve");
        return;
    }
    const auto connections = static_cast<size_t>(state.range(0));
    std::vector<std::unique_ptr<rsclient::Client>> clients;
    for (size_t i = 0; i < connections; ++i) {
        auto client = rsclient::Client::connect(
            "localhost:" + std::to_string(stage.daemon.port()), IRepository::kInterfaceName, kAnswerWait);
        if (!client) {
            state.SkipWithError("cannot connect");
            return;
        }
        clients.push_back(std::move(client));
    }
    const KavVersion asked {};
    std::vector<rsclient::PendingReply<IRepositoryResp::getRSVersionResp_Call>> replies;
    replies.reserve(connections);
    for (auto _ : state) {
        replies.clear();
        for (auto& client : clients)
            replies.push_back(client->start<IRepository::getRSVersion_Call>(asked, asked, 0));
        for (auto& reply : replies) {
            if (reply.wait(kAnswerWait).code() != 0) {
                state.SkipWithError("getRSVersion failed");
                return;
            }
        }
    }
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations() * connections));
}

BENCHMARK(BM_GetModuleCached64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_NginxGet64MiB)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_AddModule256MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_Dd256MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(3);
BENCHMARK(BM_GetModuleList)->Arg(1000)->Arg(10000)->Unit(benchmark::kMillisecond)->UseRealTime();
BENCHMARK(BM_GetRSVersion)->Arg(1)->Arg(50)->Arg(500)->Unit(benchmark::kMicrosecond)->UseRealTime();

} // namespace
} // namespace rs::e2e
BENCHMARK_MAIN();
