#pragma once
// A daemon on a cluster of given hosts (the embedded cluster's simulated
// hosts, or the nodes of a Slurm controller), an administration
// connection, and waits for host states read through getPackageStatus.

#include "client/RsClient.h"
#include "interfaces/IAppDeployment.h"
#include "interfaces/IAppDeploymentResp.h"
#include "interfaces/types/DplStatusList.h"
#include "tools/harness/DaemonProcess.h"

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace rs::harness {

struct HostSpec {
    std::string name;
    std::string type;
    std::string extra; // further TOML keys of the host ("fail_start = true")
};

class DeploymentCluster {
public:
    explicit DeploymentCluster(std::vector<HostSpec> hosts, std::map<std::string, std::string> env = {});
    ~DeploymentCluster();
    // A cluster whose hosts are the nodes of a running Slurm controller.
    static std::unique_ptr<DeploymentCluster> onSlurm(
        const std::string& slurmConf, std::map<std::string, std::string> env = {});

    // Rewrites the hosts of an embedded cluster; the daemon sees them from
    // its next start.
    void setHosts(const std::vector<HostSpec>& hosts);

    // Starts (or restarts) the daemon on the same storage and cluster state.
    bool start();
    void stop();
    const std::string& failure() const { return failure_; }

    // A new IAppDeployment connection logged on as `user`.
    std::unique_ptr<rsclient::Client> connect(const std::string& user, const std::string& password,
        const std::string& consumer = "/ClusterServices/QELClusterServices");
    std::unique_ptr<rsclient::Client> admin();

    // ${QEL_TOP} of a host of the cluster (<state>/hosts/<host> for both backends).
    std::string hostTop(const std::string& host) const;
    std::string logText() const { return cluster_.logText(); }
    const TestCluster& cluster() const { return cluster_; }

private:
    TestCluster cluster_;
    std::map<std::string, std::string> env_;
    std::unique_ptr<DaemonProcess> process_;
    int port_ = 0;
    std::string failure_;
};

inline constexpr std::chrono::seconds kCallWait { 20 };

int32_t addPackage(rsclient::Client& client, const std::string& name, const std::string& type,
    const std::string& fileName, const std::string& contents);

// The package's host states by host (errors: message).
struct HostStates {
    int32_t code = -1;
    std::map<std::string, uint32_t> state;
    std::map<std::string, std::string> message;
};
HostStates hostStates(rsclient::Client& client, const std::string& package, int32_t filter = 0);

// Reads the states until `done` holds or `limit` passes; every reading is
// also handed to `observe`. Returns the last reading.
HostStates waitForStates(rsclient::Client& client, const std::string& package,
    const std::function<bool(const HostStates&)>& done, std::chrono::seconds limit,
    const std::function<void(const HostStates&)>& observe = {});

// True when every one of `hosts` is in `state`.
bool allIn(const HostStates& states, const std::vector<std::string>& hosts, uint32_t state);
std::vector<std::string> hostNames(const std::vector<HostSpec>& hosts);

} // namespace rs::harness
