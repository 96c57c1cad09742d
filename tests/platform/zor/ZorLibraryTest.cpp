// The calls of libzor's C API that the service makes, and the errors it must
// see, against the embedded cluster. What the service's resource-manager
// client sees of them (grants, releases, roles, groups, two registrations on
// one path, a malformed cluster file) is tested with that client.

#include "platform/zor/ClusterFixture.h"
#include "support/ScratchDir.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>

using namespace zortest;
using rs::test::readFile;

namespace {

class ZorLibrary : public ::testing::Test {
protected:
    void SetUp() override { scratch.use(kThreeHosts); }
    ScratchCluster scratch;
};

} // namespace

TEST_F(ZorLibrary, ContainerRunsInTheHostTreeWithExpandedEnvironment)
{
    Consumer c("/apps/web", "svc:pw");
    std::string allocId = c.alloc("G3", 1);
    ASSERT_TRUE(c.recorder.waitFor([&] { return c.recorder.granted() == 1; }));
    zor_containerId_t* id = c.start(allocId, "hosta",
        "printf '%s|%s|%s|%s|%s' \"$GREETING\" \"$ZOR_HOST\" \"$QEL_SERVICE_CREDENTIAL\" "
        "\"$ZOR_CONTAINER_ID\""
        " \"$ZOR_STATE_DIR\""
        " > \"$QEL_TOP/out.txt\"; exit 3",
        { "GREETING=hi from ${ZOR_HOST} in ${QEL_TOP}" });
    ASSERT_NE(id, nullptr) << zor_strerror(zorerrno);
    std::string cid = id->id;
    zor_free_containerId(id);

    zor_container_t finish {};
    ASSERT_TRUE(c.recorder.waitFor([&] { return c.recorder.finished(cid, &finish); }));
    EXPECT_EQ(finish.exitReason, ZOR_EXIT_NORMAL);
    EXPECT_EQ(finish.exitStatus, 3);
    EXPECT_EQ(c.recorder.states.front().state, ZOR_CONTAINER_START);
    std::string top = scratch.stateDir() + "/hosts/hosta";
    EXPECT_EQ(readFile(top + "/out.txt"),
        "hi from hosta in " + top + "|hosta|svc:pw|" + cid + "|" + scratch.stateDir());
    EXPECT_TRUE(std::filesystem::is_directory(top + "/work"));
}

TEST_F(ZorLibrary, FailStartHostAndForeignHostRefuseContainers)
{
    scratch.use("[[hosts]]\nname = \"bad\"\nfail_start = true\n[[hosts]]\nname = \"good\"\n"
                "[[consumers]]\npath = \"/p\"\n");
    Consumer c("/p");
    std::string allocId = c.alloc("InternalResourceGroup", 1);
    ASSERT_TRUE(c.recorder.waitFor([&] { return c.recorder.granted() == 1; }));
    EXPECT_EQ(c.recorder.grants[0].host, "bad");
    EXPECT_EQ(c.start(allocId, "bad", "true"), nullptr);
    EXPECT_EQ(zorerrno, ZORE_STARTFAIL);
    EXPECT_EQ(c.start(allocId, "good", "true"), nullptr); // no slot of it
    EXPECT_EQ(zorerrno, ZORE_NOTOWNED);
}

TEST_F(ZorLibrary, KilledContainerFinishesAsKilledAndCloseLeavesNothingRunning)
{
    std::string fifo = scratch.dir() + "/pid.fifo";
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    auto c = std::make_unique<Consumer>("/apps/web");
    std::string allocId = c->alloc("G3", 2);
    ASSERT_TRUE(c->recorder.waitFor([&] { return c->recorder.granted() == 2; }));

    zor_containerId_t* killed = c->start(allocId, "hosta", "exec sleep 600");
    ASSERT_NE(killed, nullptr);
    ASSERT_EQ(zor_signalcontainer(c->handle, killed->id, ZOR_SIG_KILL), 0);
    zor_container_t finish {};
    std::string killedId = killed->id;
    zor_free_containerId(killed);
    ASSERT_TRUE(c->recorder.waitFor([&] { return c->recorder.finished(killedId, &finish); }));
    EXPECT_EQ(finish.exitReason, ZOR_EXIT_KILLED);
    EXPECT_NE(zor_signalcontainer(c->handle, killedId.c_str(), 3), 0);

    zor_containerId_t* running = c->start(allocId, "hostb", "echo $$ > " + fifo + "; exec sleep 600");
    ASSERT_NE(running, nullptr);
    zor_free_containerId(running);
    pid_t pid = 0;
    {
        std::ifstream in(fifo); // blocks until the container has written its pid
        in >> pid;
    }
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), 0);
    c.reset(); // zor_close
    EXPECT_EQ(kill(pid, 0), -1);
    EXPECT_EQ(errno, ESRCH);
}

TEST_F(ZorLibrary, AbandonedRegistrationIsAdoptedWithItsAllocationAndContainers)
{
    Consumer first("/apps/web");
    std::string allocId = first.alloc("G3", 2);
    ASSERT_TRUE(first.recorder.waitFor([&] { return first.recorder.granted() == 2; }));
    zor_containerId_t* id = first.start(allocId, "hosta", "exec sleep 600");
    ASSERT_NE(id, nullptr);
    std::string cid = id->id;
    zor_free_containerId(id);

    // The first service dies without giving anything back; a new one registers.
    zor::ClusterAdmin::abandonConsumer("/apps/web");
    Consumer second("/apps/web");
    ASSERT_NE(second.reply, nullptr);
    ASSERT_EQ(second.reply->nallocation, 1);
    EXPECT_EQ(std::string(second.reply->allocations[0].allocId), allocId);
    EXPECT_EQ(second.reply->allocations[0].nhost, 2);
    ASSERT_EQ(second.reply->ncontainer, 1);
    EXPECT_EQ(std::string(second.reply->containers[0].containerId), cid);
    EXPECT_EQ(second.reply->containers[0].state, ZOR_CONTAINER_START);
    // The old handle lost the consumer; the new one owns the container.
    EXPECT_NE(zor_allocfree(first.handle, allocId.c_str()), 0);
    EXPECT_EQ(zor_signalcontainer(second.handle, cid.c_str(), ZOR_SIG_KILL), 0);
    zor_container_t finish {};
    ASSERT_TRUE(second.recorder.waitFor([&] { return second.recorder.finished(cid, &finish); }));
    EXPECT_EQ(finish.exitReason, ZOR_EXIT_KILLED);
    std::lock_guard lock(first.recorder.mutex());
    EXPECT_FALSE(first.recorder.finished(cid, &finish)); // the dead service hears nothing
}

TEST_F(ZorLibrary, RegisteredUrlIsFoundAfterTheHandleIsClosed)
{
    zor_openopt_t opt {};
    zor_handle_t* h = zor_open(&opt);
    zor_regreq_t req { "RS_DEPLOY", "host1:5005", 0, 0, nullptr };
    ASSERT_EQ(zor_register2(h, &req, nullptr, nullptr), 0) << zor_strerror(zorerrno);
    zor_regreq_t other { "OTHER", "host2:1", 0, 0, nullptr };
    ASSERT_EQ(zor_register2(h, &other, nullptr, nullptr), 0);
    zor_regreq_t hostile { "A|B", "host3:1", 0, 0, nullptr };
    EXPECT_NE(zor_register2(h, &hostile, nullptr, nullptr), 0) << "a name that would break the registry";
    zor_close(h);

    char* url = zor_lookupurl("RS_DEPLOY");
    ASSERT_NE(url, nullptr) << zor_strerror(zorerrno);
    EXPECT_STREQ(url, "host1:5005");
    zor_free_string(url);
    EXPECT_EQ(zor_lookupurl("NOBODY"), nullptr);
    EXPECT_EQ(zorerrno, ZORE_NOTFOUND);
}

TEST_F(ZorLibrary, CallsInTheWrongOrderFailWithTheirReason)
{
    zor_openopt_t opt {};
    zor_handle_t* h = zor_open(&opt);
    zor_callbacks_t cb {};
    zor_regreq_t req { "/apps/web", "", ZOR_REG_CONSUMER, 0, nullptr };
    EXPECT_NE(zor_register2(h, &req, &cb, nullptr), 0);
    EXPECT_EQ(zorerrno, ZORE_NOTLOGGEDON);
    ASSERT_EQ(zor_logon(h, nullptr, nullptr, "svc:pw"), 0);
    zor_regreq_t bad { "/not/listed", "", ZOR_REG_CONSUMER, 0, nullptr };
    EXPECT_NE(zor_register2(h, &bad, &cb, nullptr), 0);
    EXPECT_EQ(zorerrno, ZORE_BADCONSUMER);
    zor_allocreq_t alloc { "/apps/web", "G3", "", "any", 1, 1, 0 };
    char* id = nullptr;
    EXPECT_NE(zor_alloc(h, &alloc, &id), 0);
    EXPECT_EQ(zorerrno, ZORE_NOTREGISTERED);
    ASSERT_EQ(zor_register2(h, &req, &cb, nullptr), 0);
    EXPECT_NE(zor_register2(h, &req, &cb, nullptr), 0);
    EXPECT_EQ(zorerrno, ZORE_ALREADYREG);
    zor_allocreq_t zero { "/apps/web", "G3", "", "any", 0, 0, 0 };
    EXPECT_NE(zor_alloc(h, &zero, &id), 0);
    EXPECT_EQ(zorerrno, ZORE_BADARG);
    EXPECT_EQ(zor_unregister(h), 0);
    EXPECT_EQ(zor_logoff(h), 0);
    EXPECT_EQ(zor_close(h), 0);
}
