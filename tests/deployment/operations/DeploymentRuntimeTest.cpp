#include "rs/deployment/operations/DeploymentRuntime.h"
#include "deployment/FakeDeployment.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <map>
#include <vector>

namespace {

using rs::DeploymentRuntime;
using rs::HostStatusTable;

class DeploymentRuntimeTest : public ::testing::Test {
protected:
    std::unique_ptr<DeploymentRuntime> runtime()
    {
        return std::make_unique<DeploymentRuntime>(
            rs::DeploymentHostHooks {}, dir_.path(), 7, cluster_, [this] { return clock_.load(); },
            [this](uint32_t number, const kav::Params&, bool isError) {
                audits_.push_back({ number, isError });
            });
    }
    std::map<std::string, uint32_t> states(DeploymentRuntime& runtime, const std::string& package)
    {
        std::map<std::string, uint32_t> out;
        if (auto list = runtime.hostStatusTable().getHMStatus(package, HostStatusTable::kFilterAll))
            for (const auto& entry : list->entries)
                out[entry.hostName] = entry.state;
        return out;
    }

    rs::test::ScratchDir dir_;
    rs::test::FakeCluster cluster_;
    std::atomic<int32_t> clock_ { 1000 };
    std::vector<std::pair<uint32_t, bool>> audits_;
};

// A restart resumes each host's last persisted state (a host still being
// allocated comes back in error), except those of a removed package.
TEST_F(DeploymentRuntimeTest, ARestartResumesThePersistedStatesOfPackagesNotRemoved)
{
    {
        auto first = runtime();
        HostStatusTable& table = first->hostStatusTable();
        table.createHMElement("web", "h2", "admin", {}, false);
        table.createHMElement("web", "h1", "admin", {}, false);
        table.createHMElement("gone", "h1", "admin", {}, false);
        ASSERT_EQ(table.updateHMStatus("web", "h1", "svc", rs::HOST_INSTALLED, nullptr, false), 0);
        first->removePersistedState("gone");
        EXPECT_TRUE(states(*first, "gone").empty());
    }
    auto second = runtime();
    EXPECT_EQ(states(*second, "web"),
        (std::map<std::string, uint32_t> { { "h1", rs::HOST_INSTALLED }, { "h2", rs::HOST_ERROR } }));
    EXPECT_TRUE(states(*second, "gone").empty());
    EXPECT_EQ(audits_.size(), 1u);
}

} // namespace
