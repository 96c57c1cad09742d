#include "tools/rsbench/HttpScrape.h"

#include "interfaces/IRepository.h"
#include "tools/harness/DaemonProcess.h"
#include "tools/rsbench/BenchDaemon.h"
#include "tools/rsbench/Load.h"

#include <httplib.h>

#include <algorithm>
#include <condition_variable>
#include <fstream>
#include <mutex>
#include <optional>
#include <thread>

namespace rsbench {

namespace {

constexpr int kRounds = 3;
constexpr int kConnections = 50;

// One GET on a fresh connection; true when the answer was 200.
bool httpGet(int port, const std::string& path)
{
    httplib::Client client("127.0.0.1", port);
    const auto answer = client.Get(path);
    return answer && answer->status == 200;
}

// Polls the page's data and scrapes the metrics once a second until stopped.
class Poller {
public:
    explicit Poller(int port)
        : thread_([this, port] { run(port); })
    {
    }
    ~Poller()
    {
        {
            std::lock_guard guard(mutex_);
            stopped_ = true;
        }
        wake_.notify_all();
        thread_.join();
    }
    int failures() const { return failures_; }

private:
    void run(int port)
    {
        std::unique_lock lock(mutex_);
        while (!stopped_) {
            lock.unlock();
            for (const char* path : { "/metrics", "/api/status" })
                if (!httpGet(port, path))
                    ++failures_;
            lock.lock();
            wake_.wait_for(lock, std::chrono::seconds(1), [this] { return stopped_; });
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    bool stopped_ = false;
    std::atomic<int> failures_ { 0 };
    std::thread thread_;
};

struct Subject {
    rs::harness::ServingDaemon daemon;
    std::vector<ClientPtr> sessions;
};

bool start(Subject& subject, int httpPort, std::string* why)
{
    const auto root = subject.daemon.cluster.root();
    std::ofstream(root / "cluster.toml", std::ios::app)
        << "\n[[consumers]]\npath = \"" << kRateConsumer << "\"\n";
    rs::harness::RunOptions options;
    options.env = quietLogEnvironment(root);
    if (httpPort > 0)
        options.env["RS_HTTP_LISTEN"] = "127.0.0.1:" + std::to_string(httpPort);
    if (!subject.daemon.start(options)) {
        *why = subject.daemon.failure;
        return false;
    }
    subject.sessions = openSessions(subject.daemon.port, kConnections,
        { rs::harness::kAdminUser, rs::harness::kAdminPassword }, kRateConsumer, 4, why);
    return subject.sessions.size() == static_cast<size_t>(kConnections);
}

// The fastest rate of the rounds, and the daemon's CPU per request over all of them.
struct SideFigures {
    double fastest = 0;
    double serverCpu = 0;
    uint64_t requests = 0;

    void measure(Subject& subject, double seconds)
    {
        const KavVersion none;
        const RateFigure figure = measureRateAndCpu<IRepository::getRSVersion_Call>(
            firstClients(subject.sessions, subject.sessions.size()), std::chrono::duration<double>(seconds),
            subject.daemon.process.pid(), none, none, 0);
        fastest = std::max(fastest, figure.perSecond);
        serverCpu += figure.serverCpu;
        requests += figure.completed;
    }
    std::optional<Figure> cpuPerRequest() const
    {
        if (requests == 0)
            return std::nullopt;
        return Figure { serverCpu * 1e6 / static_cast<double>(requests), "us" };
    }
};

} // namespace

void runHttpScrape(const BenchOptions& options, std::ostream& progress, const std::function<void(Row)>& add)
{
    Row row;
    row.scenario = "getRSVersion, " + std::to_string(kConnections)
        + " connections, status page polled and /metrics scraped every second";
    row.anchorName = "the same daemon without the side door";
    row.target = Target::ratioAtLeast(0.98);
    Subject plain, open;
    const int httpPort = rs::harness::DaemonProcess::freePort();
    std::string why;
    if (!start(plain, 0, &why) || !start(open, httpPort, &why)) {
        row.note = why;
        add(std::move(row));
        return;
    }
    progress << "side door cost: " << kRounds << " rounds of " << options.seconds
             << " s each, without and with the side door" << std::endl;
    // The fastest of several rounds each, taking turns (and turning the
    // order round by round): the machine's other work moves single rates
    // more than the difference looked for. The daemons' CPU per request
    // moves less, and is reported beside.
    SideFigures without, with;
    int pollFailures = 0;
    const auto measureWith = [&] {
        Poller poller(httpPort);
        with.measure(open, options.seconds);
        pollFailures += poller.failures();
    };
    for (int round = 0; round < kRounds; ++round) {
        if (round % 2 == 0) {
            without.measure(plain, options.seconds);
            measureWith();
        } else {
            measureWith();
            without.measure(plain, options.seconds);
        }
    }
    row.ours = Figure { with.fastest, "req/s" };
    row.anchor = Figure { without.fastest, "req/s" };
    if (pollFailures > 0)
        row.note = std::to_string(pollFailures) + " page or metrics requests failed";
    add(std::move(row));
    Row cpu;
    cpu.scenario = "daemon CPU per getRSVersion, " + std::to_string(kConnections)
        + " connections, with the side door polled (lower is better)";
    cpu.anchorName = "the same daemon without the side door";
    cpu.ours = with.cpuPerRequest();
    cpu.anchor = without.cpuPerRequest();
    add(std::move(cpu));
    plain.sessions.clear();
    open.sessions.clear();
    plain.daemon.process.stop();
    open.daemon.process.stop();
}

} // namespace rsbench
