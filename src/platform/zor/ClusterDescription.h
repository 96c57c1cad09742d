#pragma once
// The embedded cluster's description: hosts, groups, consumer paths, roles and
// configuration parameters, read from a TOML file or built in (the local host
// alone). Immutable once loaded.

#include <map>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace zor {

inline constexpr const char* kInternalGroup = "InternalResourceGroup";

struct HostInfo {
    std::string name;
    std::string type = "linux";
    int slots = 1;
    double cpuf = 1.0;
    bool failStart = false; // every container start on it fails
    bool unavailable = false; // never allocated
    int allocDelayMs = 0; // slots of this host are granted this long after the request
};

struct RoleInfo {
    std::string user;
    std::string consumer;
    int level = 3;
};

// A malformed file; what() names the file, line and key.
class DescriptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Where a Slurm-backed cluster finds its controller and how its terms map
// onto ours.
struct SlurmSettings {
    std::string conf; // slurm.conf; empty: libslurm's own default
    std::string internalPartition; // of "InternalResourceGroup"; empty: the default partition
    std::map<std::string, std::string> partitions; // resource group -> partition
    std::string typeFeaturePrefix; // a host's type is its first feature with this prefix
    std::string hostTop; // a node's QEL_TOP; ${SLURMD_NODENAME} is the node's name
    std::string srun = "srun";
};

inline constexpr const char* kNodeNameVariable = "SLURMD_NODENAME";

struct ClusterDescription {
    std::string sourceFile; // empty for the built-in description
    std::string backend = "embedded"; // or "slurm": hosts and groups come from the controller
    SlurmSettings slurm;
    std::string stateDir;
    std::map<std::string, std::string> params;
    std::vector<HostInfo> hosts; // host-name order
    std::map<std::string, std::vector<std::string>> groups; // hosts in host-name order
    std::vector<std::string> consumers; // normalised paths
    std::vector<RoleInfo> roles;

    bool builtIn() const { return sourceFile.empty(); }
    bool usesSlurm() const { return backend == "slurm"; }
    const HostInfo* findHost(const std::string& name) const;
    // True for "/", a listed path or an ancestor of one; every path when built in.
    bool isConsumer(const std::string& path) const;

    // Reads the file; throws DescriptionError.
    static ClusterDescription fromFile(const std::string& path);
    // The local host alone.
    static ClusterDescription builtInDefault();
    // ZOR_CLUSTER_FILE, else ${QEL_TOP}/conf/cluster.toml when it exists, else built in.
    static ClusterDescription load();
};

// "/a/b" from "a/b", "/a/b/", "//a//b".
std::string normaliseConsumerPath(const std::string& path);
std::string localHostName();

} // namespace zor
