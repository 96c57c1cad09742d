#include "tools/harness/DeploymentCluster.h"

#include "interfaces/rpc/RpcCodecs.h"

#include <filesystem>
#include <fstream>
#include <thread>

namespace fs = std::filesystem;

namespace rs::harness {

namespace {

// `backend` is the rest of [cluster] and what goes with it ([slurm], [[hosts]]).
std::string clusterFile(const fs::path& root, const std::string& backend)
{
    std::string text = "[cluster]\nstate_dir = \"" + (root / "cluster").string() + "\"\n" + backend
        + "[params]\nQEL_SEC_PLUGIN = \"sec_passwd\"\nQEL_SEC_CONF = \"" + (root / "passwd").string()
        + "\"\n";
    text += "[[consumers]]\npath = \"" + std::string(kKnownConsumer) + "\"\n";
    text += "[[roles]]\nuser = \"" + std::string(kAdminUser) + "\"\nconsumer = \"/\"\nlevel = 1\n";
    text += "[[roles]]\nuser = \"" + std::string(kServiceUser) + "\"\nconsumer = \"/\"\nlevel = 1\n";
    return text;
}

std::string hostTables(const std::vector<HostSpec>& hosts)
{
    std::string text;
    for (const auto& host : hosts)
        text += "[[hosts]]\nname = \"" + host.name + "\"\ntype = \"" + host.type + "\"\n" + host.extra + "\n";
    return text;
}

} // namespace

std::vector<std::string> hostNames(const std::vector<HostSpec>& hosts)
{
    std::vector<std::string> names;
    for (const auto& host : hosts)
        names.push_back(host.name);
    return names;
}

DeploymentCluster::DeploymentCluster(std::vector<HostSpec> hosts, std::map<std::string, std::string> env)
    : env_(std::move(env))
{
    setHosts(hosts);
}

void DeploymentCluster::setHosts(const std::vector<HostSpec>& hosts)
{
    std::ofstream(cluster_.root() / "cluster.toml", std::ios::trunc)
        << clusterFile(cluster_.root(), "") + hostTables(hosts);
}

std::unique_ptr<DeploymentCluster> DeploymentCluster::onSlurm(
    const std::string& slurmConf, std::map<std::string, std::string> env)
{
    auto cluster = std::make_unique<DeploymentCluster>(std::vector<HostSpec> {}, std::move(env));
    std::ofstream(cluster->cluster_.root() / "cluster.toml", std::ios::trunc) << clusterFile(
        cluster->cluster_.root(), "backend = \"slurm\"\n[slurm]\nconf = \"" + slurmConf + "\"\n");
    return cluster;
}

DeploymentCluster::~DeploymentCluster()
{
    stop();
}

bool DeploymentCluster::start()
{
    stop();
    process_ = std::make_unique<DaemonProcess>();
    port_ = DaemonProcess::freePort();
    RunOptions options;
    options.args = { "-p", std::to_string(port_) };
    auto environment = cluster_.environment();
    for (const auto& [name, value] : env_)
        environment[name] = value;
    process_->start(options, environment);
    if (process_->waitUntilServing())
        return true;
    failure_ = process_->standardError() + "\n--- log ---\n" + cluster_.logText();
    return false;
}

void DeploymentCluster::stop()
{
    if (process_)
        process_->stop();
    process_.reset();
}

std::unique_ptr<rsclient::Client> DeploymentCluster::connect(
    const std::string& user, const std::string& password, const std::string& consumer)
{
    auto client = rsclient::Client::connect(
        "localhost:" + std::to_string(port_), IAppDeployment::kInterfaceName, kCallWait);
    if (!client)
        return nullptr;
    auto logon = client->call<IAppDeployment::logon_Call>(kCallWait, user + ":" + password, consumer);
    return logon.code() == 0 ? std::move(client) : nullptr;
}

std::unique_ptr<rsclient::Client> DeploymentCluster::admin()
{
    return connect(kAdminUser, kAdminPassword);
}

std::string DeploymentCluster::hostTop(const std::string& host) const
{
    return (cluster_.root() / "cluster" / "hosts" / host).string();
}

int32_t addPackage(rsclient::Client& client, const std::string& name, const std::string& type,
    const std::string& fileName, const std::string& contents)
{
    auto data = rpc::makeBlock(contents);
    return client.call<IAppDeployment::addPackage_Call>(kCallWait, name, type, fileName, data.get(), 1)
        .code();
}

HostStates hostStates(rsclient::Client& client, const std::string& package, int32_t filter)
{
    HostStates states;
    auto reply = client.call<IAppDeployment::getPackageStatus_Call>(kCallWait, package, filter);
    states.code = reply.code();
    if (reply.arrived() && reply->list())
        for (const auto& entry : reply->list()->entries) {
            states.state[entry.hostName] = entry.state;
            states.message[entry.hostName] = entry.message;
        }
    return states;
}

HostStates waitForStates(rsclient::Client& client, const std::string& package,
    const std::function<bool(const HostStates&)>& done, std::chrono::seconds limit,
    const std::function<void(const HostStates&)>& observe)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    HostStates states = hostStates(client, package);
    while (true) {
        if (observe)
            observe(states);
        if (done(states) || std::chrono::steady_clock::now() >= deadline)
            return states;
        // The daemon offers no change notification; the states are read again.
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        states = hostStates(client, package);
    }
}

bool allIn(const HostStates& states, const std::vector<std::string>& hosts, uint32_t state)
{
    for (const auto& host : hosts) {
        auto found = states.state.find(host);
        if (found == states.state.end() || found->second != state)
            return false;
    }
    return true;
}

} // namespace rs::harness
