#include "rs/deployment/operations/DeploymentRuntime.h"
#include "deployment/FakeDeployment.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <atomic>
#include <vector>

namespace {

using rs::DeploymentRuntime;
using rs::HostStatusTable;

class DeploymentRuntimeTest : public ::testing::Test {
protected:
    std::unique_ptr<DeploymentRuntime> runtime(rs::DeploymentHostHooks hooks = {})
    {
        return std::make_unique<DeploymentRuntime>(
            std::move(hooks), dir_.path(), 7, cluster_, [this] { return clock_.load(); },
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

TEST_F(DeploymentRuntimeTest, ARestartResumesThePersistedStates)
{
    {
        auto first = runtime();
        HostStatusTable& table = first->hostStatusTable();
        table.createHMElement("web", "h2", "admin", {}, false);
        table.createHMElement("web", "h1", "admin", {}, false);
        ASSERT_EQ(table.updateHMStatus("web", "h1", "svc", rs::HOST_INSTALLED, nullptr, false), 0);
        EXPECT_EQ(first->hostTimeout(), 7);
    }
    auto second = runtime();
    auto resumed = states(*second, "web");
    EXPECT_EQ(resumed,
        (std::map<std::string, uint32_t> { { "h1", rs::HOST_INSTALLED }, { "h2", rs::HOST_ERROR } }));
    EXPECT_EQ(audits_.size(), 1u);
}

TEST_F(DeploymentRuntimeTest, RemovingThePersistedStateForgetsThePackageAcrossRestarts)
{
    {
        auto first = runtime();
        first->hostStatusTable().createHMElement("web", "h1", "admin", {}, false);
        first->hostStatusTable().createHMElement("db", "h1", "admin", {}, false);
        first->removePersistedState("web");
        EXPECT_TRUE(states(*first, "web").empty());
    }
    auto second = runtime();
    EXPECT_TRUE(states(*second, "web").empty());
    EXPECT_EQ(states(*second, "db").size(), 1u);
}

TEST_F(DeploymentRuntimeTest, CancelledHostsIgnoreLaterReports)
{
    auto run = runtime();
    HostStatusTable& table = run->hostStatusTable();
    table.createHMElement("web", "h1", "admin", {}, false);
    table.createHMElement("web", "h2", "admin", {}, false);
    ASSERT_EQ(table.updateHMStatus("web", "h2", "svc", rs::HOST_RUNNING, nullptr, false), 0);
    run->setCancelStatus("web");
    EXPECT_EQ(states(*run, "web"),
        (std::map<std::string, uint32_t> { { "h1", rs::HOST_CANCELLED }, { "h2", rs::HOST_RUNNING } }));
    EXPECT_EQ(table.updateHMStatus("web", "h1", "svc", rs::HOST_INSTALLED, nullptr, false),
        HostStatusTable::kStateFinal);
}

TEST_F(DeploymentRuntimeTest, TheServiceObjectAnswersThroughItsHooks)
{
    int cleanups = 0;
    std::vector<std::string> queued;
    auto run = runtime(
        { [](const std::string& a, const std::string& b) { return a.substr(0, 2) == b.substr(0, 2); },
            [&] { ++cleanups; }, [&](const std::string& consumer) { queued.push_back(consumer); } });
    EXPECT_TRUE(run->compareHostName("h1.example", "h1"));
    run->installers().cleanupPackageInstallers();
    run->addConsumerForCleanup("/c");
    EXPECT_EQ(cleanups, 1);
    EXPECT_EQ(queued, std::vector<std::string> { "/c" });
    EXPECT_NE(run->installerText(false), run->installerText(true));

    auto bare = runtime();
    EXPECT_FALSE(bare->compareHostName("h1.example", "h1"));
    EXPECT_TRUE(bare->compareHostName("h1", "h1"));
}

} // namespace
