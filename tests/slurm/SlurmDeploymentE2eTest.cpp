// The deployment journey on a real Slurm cluster: the daemon and the real
// deploy command, the deploy command running as a job step on each of four
// Slurm nodes of two types. Skips, saying why, where Slurm cannot run here.

#include "e2e/DeploymentScenario.h"
#include "slurm/SlurmTestCluster.h"
#include "support/ScratchDir.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using namespace rs::e2e;
using namespace rs::slurmtest;

namespace {

// One Slurm cluster for the whole run (started by gtest before the first
// test, stopped after the last). Holding the hosts means a job of our own
// on every node, so that the package's allocation waits in Slurm's queue.
class SlurmBackend final : public DeploymentBackend, public ::testing::Environment {
public:
    void SetUp() override { slurm_ = std::make_unique<SlurmTestCluster>(); }
    void TearDown() override { slurm_.reset(); }

    std::string name() const override { return "Slurm"; }
    std::string unavailableReason() const override
    {
#ifndef RS_ZOR_WITH_SLURM
        return "libzor was built without libslurm (scripts/install-deps installs libslurm-dev)";
#endif
        if (!slurm_ || !slurm_->running())
            return "no Slurm cluster on this machine: " + (slurm_ ? slurm_->why() : std::string());
        return "";
    }
    std::unique_ptr<DeploymentCluster> makeCluster() override
    {
        return DeploymentCluster::onSlurm(slurm_->conf());
    }
    std::vector<std::string> hosts() const override
    {
        return kNodes;
    }
    std::vector<std::string> linuxHosts() const override
    {
        return kLinuxNodes;
    }
    bool holdHosts(DeploymentCluster&) override
    {
        blocker_ = slurm_->hold("node[1-4]", 4);
        EXPECT_FALSE(blocker_.empty()) << slurm_->state();
        return false;
    }
    bool releaseHosts(DeploymentCluster&) override
    {
        slurm_->cancel(blocker_);
        blocker_.clear();
        return false;
    }
    // Set by slurmd only: the hook ran in a job step on that very node.
    std::string hookLines() const override
    {
        return "echo \"$SLURMD_NODENAME $SLURM_JOB_ID $SLURM_STEP_ID\" > slurm-step\n";
    }
    void expectHookRanOn(const std::string& host, const std::string& appDir) const override
    {
        EXPECT_THAT(
            rs::test::readFile(appDir + "/slurm-step"), ::testing::MatchesRegex(host + " [0-9]+ [0-9]+\n"));
    }
    std::string state() const override
    {
        return slurm_ ? slurm_->state() : "";
    }

private:
    std::unique_ptr<SlurmTestCluster> slurm_;
    std::string blocker_;
};

// gtest owns the environment.
SlurmBackend* const slurm = static_cast<SlurmBackend*>(::testing::AddGlobalTestEnvironment(new SlurmBackend));

INSTANTIATE_TEST_SUITE_P(Slurm, DeploymentE2eTest, ::testing::Values(slurm), backendName);

} // namespace
