// rsbench: runs the daemon's scenarios side by side with the peers it is
// measured against (redis, nginx, dd, the deploy bound) and prints, per
// scenario, both figures, their ratio and whether the target is met;
// optionally writes the table as Markdown.
#include "client/RsClient.h"
#include "tools/rsbench/Median.h"
#include "tools/rsbench/Report.h"
#include "tools/rsbench/Scenarios.h"
#include "tools/rsbench/TlsDownload.h"
#include "zephcomm/router/DriverLoader.h"

#include <CLI/CLI.hpp>
#include <log4cxx/logger.h>
#include <sys/resource.h>
#include <sys/utsname.h>
#include <unistd.h>

#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace fs = std::filesystem;

namespace {

// The build tree this binary sits in (its bin/ holds rs).
std::string ownBuildDir()
{
    std::error_code error;
    const fs::path self = fs::read_symlink("/proc/self/exe", error);
    return error ? "build" : self.parent_path().parent_path().string();
}

// 1000 idle connections need as many descriptors here and in the daemon, which inherits the limit.
void raiseDescriptorLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

std::string utcNow()
{
    char text[32];
    const std::time_t now = std::time(nullptr);
    std::tm parts {};
    ::gmtime_r(&now, &parts);
    std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S UTC", &parts);
    return text;
}

std::vector<std::string> runContext(const rsbench::BenchOptions& options, bool quick, int repeat)
{
    utsname host {};
    ::uname(&host);
    std::ostringstream machine;
    machine << "machine: " << host.machine << ", " << ::sysconf(_SC_NPROCESSORS_ONLN) << " CPUs, kernel "
            << host.release;
    std::string kind = quick ? "short version" : "";
    if (repeat > 1)
        kind += (kind.empty() ? "" : ", ") + std::string("median of ") + std::to_string(repeat) + " runs";
    return { "run: " + utcNow() + (kind.empty() ? "" : " (" + kind + ")"), machine.str(),
        "measurement length: " + rsbench::formatNumber(options.seconds) + " s per rate or transfer",
        "ratio = ours / anchor; for list scaling and fan-out lower is better" };
}

} // namespace

int main(int argc, char** argv)
{
    // A child of the "tls" scenario: the client side on the SSL driver.
    if (argc > 1 && std::string(argv[1]) == "tls-client")
        return rsbench::tlsClientMain(argc - 2, argv + 2);
    CLI::App app { "Measures the repository service side by side with its anchors." };
    rsbench::BenchOptions options;
    bool quick = false;
    std::string markdownFile;
    std::string buildDir;
    std::vector<std::string> only;
    app.add_flag("--short", quick, "Short version: 1 s per measurement, for `make bench`");
    app.add_option("--seconds", options.seconds, "Length of each rate or transfer measurement")
        ->check(CLI::PositiveNumber);
    app.add_option("--only", only, "Scenarios to run (default: all)")
        ->check(CLI::IsMember(rsbench::scenarioNames()))
        ->delimiter(',');
    app.add_option("--markdown", markdownFile, "Write the result table to this Markdown file");
    app.add_option(
           "--idle-connections", options.idleConnections, "Idle logged-on connections for the memory figures")
        ->check(CLI::Range(50, 100000));
    app.add_option("--fanout-hosts", options.fanOutHosts,
           "Simulated host counts of the fan-out (default 10,100,1000)")
        ->check(CLI::Range(1, 10000))
        ->delimiter(',');
    app.add_option("--settle-seconds", options.settleSeconds,
           "Wait before the second memory reading after each scenario (default 10)")
        ->check(CLI::NonNegativeNumber);
    app.add_option("--rate-connections", options.rateConnections,
           "Connection counts of the request rates (default 1,50,500)")
        ->check(CLI::Range(1, 100000))
        ->delimiter(',');
    int repeat = 1;
    app.add_option("--repeat", repeat,
           "Runs of every scenario; the table shows the median of each row and the spread of its ratio")
        ->check(CLI::Range(1, 9));
    int clientThreads = 1;
    app.add_option("--client-threads", clientThreads,
           "Driver threads of the benchmark's client (default 1: one event loop, as redis-benchmark has)")
        ->check(CLI::Range(1, 64));
    app.add_option("--build-dir", buildDir, "Build tree whose bin/rs is measured (default: this binary's)");
    CLI11_PARSE(app, argc, argv);

    if (quick && app.count("--seconds") == 0)
        options.seconds = 1;
    options.only.insert(only.begin(), only.end());
    ::setenv("RS_BUILD_DIR", (buildDir.empty() ? ownBuildDir() : buildDir).c_str(), 1);
    raiseDescriptorLimit();
    // The client library logs through log4cxx; the tool reports on stdout itself.
    log4cxx::Logger::getRootLogger()->setLevel(log4cxx::Level::getOff());

    // Before the first connection, which would load the driver with the default thread count.
    if (rsclient::initDriver(clientThreads) != 0) {
        std::cerr << "rsbench: the communication driver did not load\n";
        return 2;
    }
    std::vector<rsbench::Report> runs(static_cast<size_t>(repeat));
    const std::vector<std::string> context = runContext(options, quick, repeat);
    bool written = true;
    // Rewritten after every row, so that a run cut short still leaves its table.
    auto writeTable = [&] {
        if (markdownFile.empty())
            return;
        std::ofstream out(markdownFile, std::ios::trunc);
        out << rsbench::medianOfRuns(runs).markdown("Benchmark run", context);
        written = static_cast<bool>(out);
    };
    bool ran = true;
    for (int run = 0; run < repeat; ++run) {
        if (repeat > 1)
            std::cout << "run " << run + 1 << " of " << repeat << "\n";
        rsbench::Scenarios scenarios(options, runs[static_cast<size_t>(run)], std::cout, writeTable);
        ran = scenarios.run() && ran;
    }
    // Stop the driver's threads before static destructors take the logging library away.
    zephcomm::fini();
    writeTable();
    if (!written) {
        std::cerr << "rsbench: cannot write " << markdownFile << "\n";
        return 2;
    }
    const rsbench::Report medians = rsbench::medianOfRuns(runs);
    if (repeat > 1)
        for (const rsbench::Row& row : medians.rows())
            std::cout << "median: " << rsbench::Report::line(row) << "\n";
    std::cout << medians.shortfalls() << " target(s) not met\n";
    return ran ? 0 : 1;
}
