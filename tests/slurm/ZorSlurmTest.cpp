// libzor on a real Slurm cluster: partitions as groups, node features as host
// types, and what it refuses. The allocations, job steps and releases of a
// whole deployment are the deployment journey's (SlurmDeploymentE2eTest).

#include "platform/zor/ClusterFixture.h"
#include "slurm/SlurmTestCluster.h"
#include "support/ScratchDir.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <memory>

using namespace zortest;
using namespace rs::slurmtest;
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
    EXPECT_EQ(zor_verifyresreq("type==solaris"), 0);
    EXPECT_NE(zor_verifyresreq("type==aix"), 0);
    EXPECT_EQ(zorerrno, ZORE_BADRESREQ);
    EXPECT_EQ(zor_verifyconsumerpath("/ClusterServices/QELClusterServices", "Pair"), 0);
    EXPECT_NE(zor_verifyconsumerpath("/ClusterServices/QELClusterServices", "nope"), 0);

    // A container only on a host of the allocation.
    Consumer c("/ClusterServices/QELClusterServices");
    std::string allocId = c.alloc("Pair", 2);
    ASSERT_TRUE(c.recorder.waitFor([&] { return c.recorder.granted() == 2; }));
    EXPECT_EQ(c.start(allocId, "node3", "true"), nullptr);
    EXPECT_EQ(zorerrno, ZORE_NOTOWNED);
    ASSERT_EQ(zor_allocfree(c.handle, allocId.c_str()), 0);

    scratch_.use(description("Gone = \"no_such_partition\""));
    EXPECT_NE(zor_verifyresreq("any"), 0);
    EXPECT_EQ(zorerrno, ZORE_CONF);
    EXPECT_THAT(zor_strerror(zorerrno), HasSubstr("no_such_partition"));
}
