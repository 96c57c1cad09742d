// Fan-out of one install over 100 simulated hosts of the embedded cluster,
// with the real daemon and deploy command. The installer starts at most four
// hosts at a time and, once the first resources have arrived, new hosts only
// on its one-second tick; so a run cannot take less than
//   bound = (ceil(N / 4) - 1) s + d,
// where d is the time one host takes from the install request to INSTALLED
// (measured first, on a single host). Counters: wall_s, bound_s, ratio
// (target: at most 1.5).

#include "e2e/DeploymentE2eSupport.h"

#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>

using namespace rs::e2e;

namespace {

constexpr int kHosts = 100;

std::vector<HostSpec> simulatedHosts()
{
    std::vector<HostSpec> hosts;
    for (int i = 1; i <= kHosts; ++i) {
        char name[16];
        std::snprintf(name, sizeof name, "h%03d", i);
        hosts.push_back({ name, "linux", "" });
    }
    return hosts;
}

// Seconds from the install request until every one of `hosts` is INSTALLED; -1 on failure.
double timedInstall(rsclient::Client& admin, const std::string& package, const std::string& host,
    const std::vector<std::string>& hosts)
{
    auto start = std::chrono::steady_clock::now();
    if (admin.call<IAppDeployment::installPackage_Call>(kCallWait, package, "", host).code() != 0)
        return -1;
    HostStates states = waitForStates(
        admin, package, [&](const HostStates& s) { return allIn(s, hosts, rs::HOST_INSTALLED); },
        std::chrono::seconds(600));
    if (!allIn(states, hosts, rs::HOST_INSTALLED))
        return -1;
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void BM_InstallOnHundredHosts(benchmark::State& state)
{
    auto hosts = simulatedHosts();
    DeploymentCluster cluster(hosts);
    if (!cluster.start()) {
        state.SkipWithError("daemon did not start");
        return;
    }
    auto admin = cluster.admin();
    if (!admin || addPackage(*admin, "small", "", "small.txt", "a small package\n") != 0
        || addPackage(*admin, "probe", "", "probe.txt", "a small package\n") != 0) {
        state.SkipWithError("package not stored");
        return;
    }
    const double single = timedInstall(*admin, "probe", "h001", { "h001" });
    double wall = -1;
    for (auto _ : state) {
        wall = timedInstall(*admin, "small", "", hostNames(hosts));
        state.SetIterationTime(wall);
    }
    if (single < 0 || wall < 0) {
        state.SkipWithError("deployment did not finish");
        return;
    }
    const double bound = (kHosts + 3) / 4 - 1 + single;
    state.counters["wall_s"] = wall;
    state.counters["single_host_s"] = single;
    state.counters["bound_s"] = bound;
    state.counters["ratio"] = wall / bound;
}

BENCHMARK(BM_InstallOnHundredHosts)->Iterations(1)->UseManualTime()->Unit(benchmark::kSecond);

} // namespace

BENCHMARK_MAIN();
