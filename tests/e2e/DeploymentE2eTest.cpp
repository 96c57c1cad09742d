// The deployment journey on the embedded cluster: the daemon and the real
// deploy command on six hosts of two types. Holding the hosts means
// restarting the daemon on hosts that take ten minutes to grant a slot.

#include "e2e/DeploymentScenario.h"

namespace rs::e2e {
namespace {

class EmbeddedBackend final : public DeploymentBackend {
public:
    std::string name() const override { return "Embedded"; }
    std::string unavailableReason() const override { return ""; }
    std::unique_ptr<DeploymentCluster> makeCluster() override
    {
        return std::make_unique<DeploymentCluster>(sixHosts());
    }
    std::vector<std::string> hosts() const override { return hostNames(sixHosts()); }
    std::vector<std::string> linuxHosts() const override { return { "n1", "n2", "n3" }; }
    bool holdHosts(DeploymentCluster& cluster) override
    {
        std::vector<HostSpec> slow = sixHosts();
        for (auto& host : slow)
            host.extra = "alloc_delay_ms = 600000";
        cluster.setHosts(slow);
        return true;
    }
    bool releaseHosts(DeploymentCluster& cluster) override
    {
        cluster.setHosts(sixHosts());
        return true;
    }
};

EmbeddedBackend embedded;

INSTANTIATE_TEST_SUITE_P(Embedded, DeploymentE2eTest, ::testing::Values(&embedded), backendName);

} // namespace
} // namespace rs::e2e
