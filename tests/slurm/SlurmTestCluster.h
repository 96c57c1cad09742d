#pragma once
// A Slurm cluster of four nodes on loopback for the tests, started with
// scripts/slurm-test-cluster in a scratch directory and stopped with the
// object. When this machine cannot run it (not root, packages missing, a
// daemon that does not come up) running() is false and why() says why, so
// that tests skip with that reason.
//
// Threads: the test thread only.

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace rs::slurmtest {

// Nodes and the host types their features give.
inline const std::vector<std::string> kNodes { "node1", "node2", "node3", "node4" };
inline const std::vector<std::string> kLinuxNodes { "node1", "node2" };
inline constexpr const char* kAllPartition = "rs_all"; // default partition, all four nodes
inline constexpr const char* kPairPartition = "rs_pair"; // node1 and node2

class SlurmTestCluster {
public:
    SlurmTestCluster();
    ~SlurmTestCluster();
    SlurmTestCluster(const SlurmTestCluster&) = delete;
    SlurmTestCluster& operator=(const SlurmTestCluster&) = delete;

    bool running() const { return running_; }
    const std::string& why() const { return why_; }
    // The slurm.conf of the cluster.
    std::string conf() const { return dir_ + "/slurm.conf"; }

    // Runs a shell command with SLURM_CONF set to this cluster; returns its
    // exit status and fills `output` with its standard output.
    int run(const std::string& command, std::string* output = nullptr) const;
    // Takes the nodes ("node[1-4]", `count` of them) for a job of its own
    // that only sleeps; its id, empty when Slurm refused it.
    std::string hold(const std::string& nodes, int count) const;
    void cancel(const std::string& jobId) const;
    // Jobs, steps and node states, for failure messages.
    std::string state() const;

private:
    std::string dir_;
    bool running_ = false;
    std::string why_;
};

// A suite sharing one cluster, started for the whole suite; each test skips,
// saying why, where the cluster cannot run. A derived SetUp calls this one
// first and returns when IsSkipped().
class SlurmClusterTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { slurm_ = new SlurmTestCluster(); }
    static void TearDownTestSuite()
    {
        delete slurm_;
        slurm_ = nullptr;
    }
    void SetUp() override
    {
#ifndef RS_ZOR_WITH_SLURM
        GTEST_SKIP() << "libzor was built without libslurm (scripts/install-deps installs libslurm-dev)";
#endif
        if (!slurm_->running())
            GTEST_SKIP() << "no Slurm cluster on this machine: " << slurm_->why();
    }

    static inline SlurmTestCluster* slurm_ = nullptr;
};

} // namespace rs::slurmtest
