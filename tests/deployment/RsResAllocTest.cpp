#include "rs/deployment/installer/RsResAlloc.h"

#include "deployment/FakeDeployment.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>

#include <filesystem>

namespace rs {
namespace {

using Hosts = std::vector<std::string>;

// Records the resources that allocation hands on.
struct RecordingDeployer : IHostDeployer {
    void deployNextHost(const ResourceHandle& resource) override { deployed.push_back(resource.hostName()); }
    Hosts deployed;
};

// One run's allocation over group hosts h1..h3, with package "pkg" stored for linux hosts.
struct AllocationRun {
    AllocationRun()
    {
        service.storage = storage.path();
        std::filesystem::create_directories(storage.path().string() + "/.global/pkg.type_linux");
        cluster.groups[RsResAlloc::kDefaultResourceGroup] = { "h1", "h2", "h3" };
        cluster.groups["grp"] = { "a1.example.com", "b1.example.com" };
    }
    static DeploymentRequest request(bool uninstall = false, const std::string& host = "")
    {
        DeploymentRequest r;
        r.package = "pkg";
        r.user = "alice";
        r.uninstall = uninstall;
        r.host = host;
        return r;
    }
    uint32_t stateOf(const std::string& host)
    {
        if (auto list = service.table.getHMStatus("pkg", 0))
            for (const auto& e : list->entries)
                if (e.hostName == host)
                    return e.state;
        return HOST_STATE_NONE;
    }

    test::ScratchDir storage;
    test::FakeService service;
    test::FakeCluster cluster;
    RecordingDeployer deployer;
    RsResAlloc alloc { service, cluster };
};

class RsResAllocTest : public ::testing::Test, protected AllocationRun { };

// A run deploys each target host once. Any other grant goes back as a
// replacement, so that the allocation still owes the remaining targets their
// hosts (a plain release would lower its maximum instead). A host whose type
// has no package is released and in error.
TEST(RsResAllocGrants, EachTargetHostIsDeployedOnceAndEveryOtherGrantIsReplaced)
{
    struct Grant {
        const char* host;
        const char* type;
    };
    const struct {
        const char* name;
        const char* host; // the requested single host; empty: the whole group
        std::vector<Grant> grants;
        Hosts deployed, replaced, released;
    } cases[] = {
        { "a host with two slots", "", { { "h1", "linux" }, { "h1", "linux" }, { "h2", "linux" } },
            { "h1", "h2" }, { "h1" }, {} },
        { "a single host that is not the group's first", "h2", { { "h1", "linux" }, { "h2", "linux" } },
            { "h2" }, { "h1" }, {} },
        { "a host outside the group", "", { { "stranger", "linux" }, { "h3", "linux" } }, { "h3" },
            { "stranger" }, {} },
        { "a host whose type has no package, twice", "", { { "h2", "arm" }, { "h2", "arm" } }, {}, { "h2" },
            { "h2" } },
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        AllocationRun run;
        run.alloc.init(run.deployer, AllocationRun::request(false, c.host));
        EXPECT_EQ(run.service.sink.changesTogether, 1) << "a run's hosts are persisted as one change";
        test::TestSlot::alive() = 0;
        for (const Grant& grant : c.grants)
            EXPECT_EQ(run.alloc.onResource(test::makeResource(grant.host, grant.type)), 0);
        EXPECT_EQ(run.deployer.deployed, c.deployed);
        EXPECT_EQ(run.cluster.replaced, c.replaced);
        EXPECT_EQ(run.cluster.released, c.released);
        EXPECT_EQ(test::TestSlot::alive(), 0) << "no reference kept";
        EXPECT_EQ(run.stateOf("stranger"), HOST_STATE_NONE) << "a host outside the targets gets no entry";
        if (!c.released.empty()) {
            auto list = run.service.table.getHMStatus("pkg", HOST_ERROR);
            ASSERT_NE(list, nullptr);
            EXPECT_EQ(list->entries.at(0).message,
                test::FakeHostStatusSink::format(
                    kav::KavErrorInfo(kav::rc::RS_NO_PACKAGE_FOR_TYPE, "", "", "", { "pkg", "h2", "arm" })));
        }
    }
}

// The resource manager takes a second unregistration of a consumer for an
// error: a run unregisters its consumer at most once, and leaves it to the
// service's consumer clean-up only when the unregistration failed.
TEST(RsResAllocCleanup, UnregistersTheRunsConsumerOnceAndQueuesOnlyAFailure)
{
    const struct {
        const char* run;
        bool registerFails, getResourcesFails, unregisterFails;
        size_t unregistrations;
        bool queued;
    } rows[] = {
        { "that got its request in", false, false, false, 1, false },
        { "whose resource request failed", false, true, false, 1, false },
        { "that could not register", true, false, false, 0, false },
        { "whose unregistration fails", false, false, true, 1, true },
        { "whose request and unregistration fail", false, true, true, 1, true },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(std::string("a run ") + row.run);
        AllocationRun run;
        run.cluster.registerFails = row.registerFails;
        run.cluster.getResourcesFails = row.getResourcesFails;
        run.cluster.unregisterFails = row.unregisterFails;
        run.alloc.init(run.deployer, AllocationRun::request());
        EXPECT_EQ(run.stateOf("h2"), HOST_ALLOCATING) << "the hosts are entered whatever failed";
        run.alloc.cleanup();
        EXPECT_EQ(run.cluster.unregistered, Hosts(row.unregistrations, run.alloc.registration()));
        EXPECT_EQ(run.service.consumersToClean, row.queued ? Hosts { run.alloc.registration() } : Hosts {});
        kav::clearErrorInfo();
    }
}

// Two packages of one user at the same time: each run registers on the
// user's consumer under a name of its own and cleans up only that.
TEST_F(RsResAllocTest, TwoRunsOnOneConsumerRegisterAndCleanUpApart)
{
    cluster.groups["grp"] = { "h1" };
    DeploymentRequest first = request();
    first.consumer = "/apps/mine";
    first.resourceGroup = "grp";
    DeploymentRequest second = first;
    second.package = "other";
    RsResAlloc otherRun(service, cluster);
    alloc.init(deployer, first);
    otherRun.init(deployer, second);
    EXPECT_EQ(cluster.registered, (Hosts { "/apps/mine", "/apps/mine" })) << "both on the user's consumer";
    EXPECT_EQ(cluster.live.size(), 2u) << "each run has a registration of its own";
    EXPECT_EQ(cluster.requests, (Hosts { "/apps/mine 1..1 grp any", "/apps/mine 1..1 grp any" }));

    alloc.cleanup();
    EXPECT_EQ(cluster.live.count(otherRun.registration()), 1u) << "the other run stays registered";
    EXPECT_EQ(cluster.live.size(), 1u);
    otherRun.cleanup();
    EXPECT_TRUE(cluster.live.empty());
}

} // namespace
} // namespace rs
