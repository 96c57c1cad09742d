// libzor on a real Slurm cluster: partitions as groups, node features as host
// types, allocations as jobs, containers as job steps.

#include "platform/zor/ClusterFixture.h"
#include "slurm/SlurmTestCluster.h"
#include "support/ScratchDir.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <memory>
#include <regex>

using namespace zortest;
using namespace rs::slurmtest;
using rs::test::readFile;
using ::testing::HasSubstr;

namespace {

class ZorSlurm : public SlurmClusterTest {
protected:
    void SetUp() override
    {
        SlurmClusterTest::SetUp();
        if (IsSkipped())
            return;
        scratch_.use(description());
    }
    std::string description(const std::string& partitions = "Pair = \"rs_pair\"") const
    {
        return "backend = \"slurm\"\n[slurm]\nconf = \"" + slurm_->conf() + "\"\n[slurm.partitions]\n"
            + partitions + "\n";
    }
    // Waits until the cluster's jobs (squeue format) are `expected`.
    bool jobsBecome(const std::string& format, std::vector<std::string> expected)
    {
        std::sort(expected.begin(), expected.end());
        // squeue offers no notification; the controller is asked again.
        for (int i = 0; i < 400; ++i) {
            std::vector<std::string> jobs = slurm_->jobs(format);
            std::sort(jobs.begin(), jobs.end());
            if (jobs == expected)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
        }
        return false;
    }

    ScratchCluster scratch_;
};

std::vector<std::string> groupHosts(const char* group)
{
    zor_openopt_t opt {};
    zor_handle_t* h = zor_open(&opt);
    zor_hostgroup_t* g = nullptr;
    std::vector<std::string> hosts;
    if (zor_gethostgroupinfo(h, group, &g) == 0)
        hosts.assign(g->hosts, g->hosts + g->nhost);
    else
        hosts.push_back(std::string("error: ") + zor_strerror(zorerrno));
    zor_free_hostgroup(g);
    zor_close(h);
    return hosts;
}

} // namespace

TEST_F(ZorSlurm, PartitionsAreGroupsAndFeaturesAreHostTypes)
{
    EXPECT_EQ(groupHosts(kAllPartition), kNodes);
    EXPECT_EQ(groupHosts("InternalResourceGroup"), kNodes); // the default partition
    EXPECT_EQ(groupHosts("Pair"), kLinuxNodes);
    EXPECT_EQ(groupHosts(kPairPartition), kLinuxNodes);
    EXPECT_EQ(zor_verifyresreq("type==solaris"), 0);
    EXPECT_NE(zor_verifyresreq("type==aix"), 0);
    EXPECT_EQ(zorerrno, ZORE_BADRESREQ);
    EXPECT_EQ(zor_verifyconsumerpath("/ClusterServices/QELClusterServices", "Pair"), 0);
    EXPECT_NE(zor_verifyconsumerpath("/ClusterServices/QELClusterServices", "nope"), 0);

    scratch_.use(description("Gone = \"no_such_partition\""));
    EXPECT_NE(zor_verifyresreq("any"), 0);
    EXPECT_EQ(zorerrno, ZORE_CONF);
    EXPECT_THAT(zor_strerror(zorerrno), HasSubstr("no_such_partition"));
}

TEST_F(ZorSlurm, AllocationIsAJobStepsRunOnTheirNodeAndReleaseShrinksIt)
{
    Consumer c("/ClusterServices/QELClusterServices", "svc:pw");
    std::string allocId = c.alloc(kAllPartition, 2, "solaris");
    ASSERT_FALSE(allocId.empty());
    ASSERT_TRUE(c.recorder.waitFor([&] { return c.recorder.granted() == 2; }));
    ASSERT_EQ(c.recorder.grants.size(), 2u);
    EXPECT_EQ(c.recorder.grants[0].host, "node3");
    EXPECT_EQ(c.recorder.grants[1].host, "node4");
    EXPECT_EQ(c.recorder.grants[0].type, "solaris");
    std::vector<std::string> jobs = slurm_->jobs("%i %T %N %j");
    ASSERT_EQ(jobs.size(), 1u);
    std::smatch job;
    ASSERT_TRUE(std::regex_match(jobs[0], job, std::regex("([0-9]+) RUNNING node\\[3-4\\] (.*)")));
    EXPECT_EQ(job[2], "/ClusterServices/QELClusterServices");
    std::string jobId = job[1];

    // A step on node3: its node name, the node's tree and the exit status come through.
    zor_containerId_t* id = c.start(allocId, "node3",
        "echo \"$SLURMD_NODENAME $SLURM_JOB_ID $SLURM_STEP_ID $ZOR_HOST\" > \"$QEL_TOP/out.txt\"; echo said; "
        "exit 3");
    ASSERT_NE(id, nullptr) << zor_strerror(zorerrno);
    std::string cid = id->id;
    zor_free_containerId(id);
    zor_container_t finish {};
    ASSERT_TRUE(c.recorder.waitFor([&] { return c.recorder.finished(cid, &finish); }));
    EXPECT_EQ(finish.exitReason, ZOR_EXIT_NORMAL);
    EXPECT_EQ(finish.exitStatus, 3);
    std::string top = scratch_.stateDir() + "/hosts/node3";
    EXPECT_THAT(readFile(top + "/out.txt"), ::testing::MatchesRegex("node3 " + jobId + " [0-9]+ node3\n"));
    EXPECT_EQ(readFile(top + "/containers/" + cid + ".out"), "said\n");
    EXPECT_TRUE(std::filesystem::is_directory(top + "/work"));

    // A step killed through the controller finishes as killed; it was visible as a step by its name.
    zor_containerId_t* sleeper = c.start(allocId, "node4", "echo up > \"$QEL_TOP/up\"; exec sleep 600");
    ASSERT_NE(sleeper, nullptr) << zor_strerror(zorerrno);
    std::string sleeperId = sleeper->id;
    zor_free_containerId(sleeper);
    ASSERT_TRUE(jobsBecome("%i %T", { jobId + " RUNNING" }));
    bool visible = false;
    for (int i = 0; i < 400 && !visible; ++i) {
        for (const auto& step : slurm_->steps("%i %j %N"))
            visible |= step.find(" " + sleeperId + " node4") != std::string::npos;
        if (!visible)
            std::this_thread::sleep_for(std::chrono::milliseconds(25)); // squeue has no notification
    }
    ASSERT_TRUE(visible) << "no step named " << sleeperId;
    ASSERT_EQ(zor_signalcontainer(c.handle, sleeperId.c_str(), ZOR_SIG_KILL), 0) << zor_strerror(zorerrno);
    ASSERT_TRUE(c.recorder.waitFor([&] { return c.recorder.finished(sleeperId, &finish); }));
    EXPECT_EQ(finish.exitReason, ZOR_EXIT_KILLED);

    // Giving node3 back shrinks the job to node4; freeing ends it.
    zor_hostslots_t node3 { const_cast<char*>("node3"), 1, 0, nullptr };
    ASSERT_EQ(zor_release(c.handle, allocId.c_str(), 1, &node3, ZOR_RELEASE_SHRINK), 0)
        << zor_strerror(zorerrno);
    EXPECT_TRUE(jobsBecome("%i %N", { jobId + " node4" }));
    EXPECT_EQ(c.start(allocId, "node3", "true"), nullptr);
    EXPECT_EQ(zorerrno, ZORE_NOTOWNED);
    ASSERT_EQ(zor_allocfree(c.handle, allocId.c_str()), 0);
    EXPECT_TRUE(jobsBecome("%i", {}));
}
