#include "tools/rsbench/TlsDownload.h"

#include "client/RsClient.h"
#include "tools/harness/PatternBytes.h"
#include "tools/rsbench/Anchors.h"
#include "tools/rsbench/BenchDaemon.h"
#include "tools/rsbench/Load.h"
#include "tools/rsbench/ToolOutput.h"
#include "tools/rsbench/Transfers.h"
#include "zephcomm/router/DriverLoader.h"

#include <log4cxx/logger.h>

#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <iostream>
#include <iterator>
#include <sstream>

namespace rsbench {

namespace fs = std::filesystem;

namespace {

constexpr uint64_t kBytes = 64ull << 20;
constexpr int kRounds = 3;
// Two modules of 64 MiB do not fit the daemon's file cache together.
constexpr int kRotation = 2;
constexpr const char* kPrefix = "tls64-";
constexpr const char* kFileName = "tls64-file.bin";
constexpr const char* kDriver = "TCPIPv4SSL";

const Account kAdmin { rs::harness::kAdminUser, rs::harness::kAdminPassword };

std::string ownExecutable()
{
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? "rsbench" : self.string();
}

// A child rsbench on the SSL driver; its output, or nothing when it failed.
std::optional<std::string> runClient(const std::vector<std::string>& args)
{
    // The client checks no certificate, so it needs none of the files.
    std::vector<std::string> command { "env", std::string("RS_DRIVER=") + kDriver, "RS_DRIVER_ARG=SSL[]",
        ownExecutable(), "tls-client" };
    command.insert(command.end(), args.begin(), args.end());
    auto outcome = Subprocess::run(command);
    if (!outcome || outcome->status != 0)
        return std::nullopt;
    return outcome->output;
}

bool makeCertificate(const TlsFiles& files)
{
    auto outcome = Subprocess::run({ "openssl", "req", "-x509", "-newkey", "ec", "-pkeyopt",
        "ec_paramgen_curve:prime256v1", "-nodes", "-subj", "/CN=localhost", "-days", "2", "-keyout",
        files.key.string(), "-out", files.certificate.string() });
    return outcome && outcome->status == 0;
}

// One child's download: MiB/s, and the CPU milliseconds per 64 MiB of the
// daemon and of the client over the timed downloads.
struct TlsRun {
    double rate = 0;
    double daemonMs = 0;
    double clientMs = 0;
};

std::optional<TlsRun> parseRun(const std::optional<std::string>& output)
{
    TlsRun run;
    double mebibytes = 0, clientSeconds = 0, daemonSeconds = 0;
    if (!output || !(std::istringstream(*output) >> run.rate >> mebibytes >> clientSeconds >> daemonSeconds)
        || run.rate <= 0 || mebibytes <= 0)
        return std::nullopt;
    run.daemonMs = daemonSeconds * 1000 * 64 / mebibytes;
    run.clientMs = clientSeconds * 1000 * 64 / mebibytes;
    return run;
}

void keepFaster(std::optional<double>& best, const std::optional<double>& next)
{
    if (next && (!best || *next > *best))
        best = next;
}

void keepFaster(std::optional<TlsRun>& best, const std::optional<TlsRun>& next)
{
    if (next && (!best || next->rate > best->rate))
        best = next;
}

int clientUpload(int port, const std::string& prefix, int count, uint64_t bytes)
{
    std::string why;
    auto sessions = openSessions(port, 1, kAdmin, kTransferConsumer, 1, &why);
    if (sessions.empty()) {
        std::cerr << "rsbench tls-client: " << why << "\n";
        return 1;
    }
    const std::string contents = rs::harness::patternBytes(bytes, 7);
    for (int i = 0; i < count; ++i) {
        const std::string name = prefix + std::to_string(i);
        Upload up = uploadModule(*sessions.front(), name, kFileName, contents, 16ull << 20);
        if (up.code != 0) {
            std::cerr << "rsbench tls-client: upload failed (" << up.code << ")\n";
            return 1;
        }
        std::cout << name << " " << up.version << "\n";
    }
    return 0;
}

int clientDownload(
    int port, int daemonPid, uint64_t bytes, double seconds, const std::vector<ModuleRef>& modules)
{
    std::string why;
    auto sessions = openSessions(port, 1, kAdmin, kTransferConsumer, 1, &why);
    if (sessions.empty()) {
        std::cerr << "rsbench tls-client: " << why << "\n";
        return 1;
    }
    const CpuMeter cpu(daemonPid);
    const auto start = std::chrono::steady_clock::now();
    const auto rate = downloadRate(
        *sessions.front(), modules, kTransferConsumer, bytes, std::chrono::duration<double>(seconds));
    if (!rate)
        return 1;
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    // The rate, the MiB it covers (about: the untimed first call is left
    // out), and the CPU seconds of this process and of the daemon meanwhile.
    std::cout << *rate << " " << *rate * elapsed << " " << cpu.client() << " " << cpu.server() << "\n";
    return 0;
}

} // namespace

int tlsClientMain(int argc, char** argv)
{
    log4cxx::Logger::getRootLogger()->setLevel(log4cxx::Level::getOff());
    const std::vector<std::string> args(argv, argv + argc);
    int status = 2;
    try {
        if (args.size() == 5 && args[0] == "upload") {
            status = clientUpload(std::stoi(args[1]), args[2], std::stoi(args[3]), std::stoull(args[4]));
        } else if (args.size() >= 6 && args[0] == "download") {
            std::vector<ModuleRef> modules;
            for (size_t i = 5; i < args.size(); ++i) {
                const size_t colon = args[i].find(':');
                modules.push_back({ args[i].substr(0, colon), args[i].substr(colon + 1) });
            }
            status = clientDownload(
                std::stoi(args[1]), std::stoi(args[2]), std::stoull(args[3]), std::stod(args[4]), modules);
        } else {
            std::cerr
                << "rsbench tls-client: upload PORT PREFIX COUNT BYTES | download PORT DAEMON_PID BYTES "
                   "SECONDS NAME:VERSION...\n";
        }
    } catch (const std::exception& error) {
        std::cerr << "rsbench tls-client: " << error.what() << "\n";
    }
    zephcomm::fini();
    return status;
}

void runTlsDownload(const BenchOptions& options, std::ostream& progress, const std::function<void(Row)>& add)
{
    const std::string anchorName = std::string("nginx HTTPS GET, ") + kTls13Suite + ", P-256 key";
    auto failed = [&](const std::string& why) {
        for (const char* kind : { ", cached", ", uncached" }) {
            Row row;
            row.scenario = std::string("getModule 64 MiB over TLS") + kind;
            row.anchorName = anchorName;
            row.target = Target::ratioAtLeast(1.0);
            row.note = why;
            add(std::move(row));
        }
    };
    rs::harness::TempDir dir;
    const TlsFiles files { dir.path() / "rs.pem", dir.path() / "rs.key" };
    if (!makeCertificate(files))
        return failed("openssl could not make the certificate");
    BenchDaemon daemon;
    const std::string argument
        = "SSL[CERTIFICATE=" + files.certificate.string() + ",PRIVATE_KEY=" + files.key.string() + "]";
    if (!daemon.start({ { "RS_DRIVER", kDriver }, { "RS_DRIVER_ARG", argument } })) {
        progress << "rsbench: the daemon on TLS did not serve:\n" << daemon.failure() << std::endl;
        return failed("the daemon on TLS did not serve");
    }
    const std::string port = std::to_string(daemon.port());
    std::vector<ModuleRef> modules;
    if (auto listed
        = runClient({ "upload", port, kPrefix, std::to_string(kRotation), std::to_string(kBytes) })) {
        std::istringstream in(*listed);
        for (ModuleRef module; in >> module.name >> module.version;)
            modules.push_back(module);
    }
    if (static_cast<int>(modules.size()) != kRotation) {
        daemon.stop();
        return failed("upload over TLS failed");
    }
    std::vector<std::string> urlPaths;
    std::vector<fs::path> paths;
    for (const ModuleRef& module : modules) {
        urlPaths.push_back(std::string(kTransferConsumer) + "/" + module.name + "/" + kFileName);
        paths.push_back(daemon.consumerDir(kTransferConsumer) / module.name / kFileName);
    }
    NginxAnchor nginx;
    const bool haveNginx = nginx.start(daemon.storageDir(), files);
    const std::chrono::duration<double> duration(options.seconds);
    // In turns, the fastest of three rounds of each side, every measurement
    // from a warm page cache (as the plain downloads).
    std::optional<double> anchors[2];
    std::optional<TlsRun> rates[2]; // [0] cached, [1] uncached
    for (int round = 0; round < kRounds; ++round) {
        for (bool cached : { true, false }) {
            const size_t used = cached ? 1 : modules.size();
            if (haveNginx) {
                warmPageCache(paths);
                keepFaster(anchors[cached ? 0 : 1],
                    nginx.getRate(
                        { urlPaths.begin(), urlPaths.begin() + static_cast<long>(used) }, kBytes, duration));
            }
            std::vector<std::string> args { "download", port, std::to_string(daemon.pid()),
                std::to_string(kBytes), std::to_string(options.seconds) };
            for (size_t i = 0; i < used; ++i)
                args.push_back(modules[i].name + ":" + modules[i].version);
            warmPageCache(paths);
            keepFaster(rates[cached ? 0 : 1], parseRun(runClient(args)));
        }
    }
    daemon.stop();
    for (bool cached : { true, false }) {
        Row row;
        row.scenario = std::string("getModule 64 MiB over TLS") + (cached ? ", cached" : ", uncached");
        row.anchorName = anchorName + (cached ? "" : ", the same files in turn");
        row.target = Target::ratioAtLeast(1.0);
        if (const auto& run = rates[cached ? 0 : 1]) {
            row.ours = Figure { run->rate, "MiB/s" };
            row.note = "CPU per 64 MiB: daemon " + formatNumber(run->daemonMs) + " ms, client "
                + formatNumber(run->clientMs) + " ms";
        } else
            row.note = "download over TLS failed";
        if (const auto& anchor = anchors[cached ? 0 : 1])
            row.anchor = Figure { *anchor, "MiB/s" };
        else if (!haveNginx)
            row.note += (row.note.empty() ? "" : "; ") + nginx.failure();
        add(std::move(row));
    }
}

} // namespace rsbench
