// The C API of libzor against the embedded cluster.

#include "platform/zor/ClusterDescription.h"
#include "platform/zor/ClusterFixture.h"
#include "support/ScratchDir.h"

#include <gmock/gmock.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <thread>

using namespace zortest;
using rs::test::readFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

class ZorLibrary : public ::testing::Test {
protected:
    void SetUp() override { scratch.use(kThreeHosts); }
    ScratchCluster scratch;
};

// A listing call's names, or its error text.
std::vector<std::string> listed(int (*call)(zor_handle_t*, char***, int32_t*), zor_handle_t* h)
{
    char** names = nullptr;
    int32_t n = 0;
    if (call(h, &names, &n) != 0)
        return { zor_strerror(zorerrno) };
    std::vector<std::string> out(names, names + n);
    zor_free_string_array(names, n);
    return out;
}

} // namespace

// ---------------------------------------------------------------- description

TEST(ZorDescription, MalformedFileNamesFileLineAndKeyInEveryCall)
{
    ScratchCluster scratch;
    std::string file
        = scratch.useRaw("[[hosts]]\nname = \"a\"\n\n[[hosts]]\nname = \"b\"\nslots = \"two\"\n");
    zor_openopt_t opt {};
    EXPECT_EQ(zor_open(&opt), nullptr);
    EXPECT_EQ(zorerrno, ZORE_CONF);
    std::string text = zor_strerror(zorerrno);
    EXPECT_THAT(text, HasSubstr(file + ":6"));
    EXPECT_THAT(text, HasSubstr("hosts.slots"));
    EXPECT_EQ(zor_getconfparam("QEL_LIBDIR"), nullptr);
    EXPECT_EQ(zorerrno, ZORE_CONF);
    EXPECT_NE(zor_verifyconsumerpath("/x", nullptr), 0);
    EXPECT_THAT(zor_strerror(zorerrno), HasSubstr(file + ":6"));
}

TEST(ZorDescription, SyntaxErrorAndUnknownHostInGroupAreRefusedWithTheirLine)
{
    ScratchCluster scratch;
    std::string file = scratch.useRaw("[[hosts]]\nname = \"a\"\n[groups]\nG = [\"a\",\n \"zz\"]\n");
    EXPECT_NE(zor_verifyresreq("any"), 0);
    EXPECT_THAT(zor_strerror(zorerrno), HasSubstr(file + ":5"));
    EXPECT_THAT(zor_strerror(zorerrno), HasSubstr("unknown host 'zz'"));

    file = scratch.useRaw("[[hosts]\nname = \"a\"\n");
    EXPECT_NE(zor_verifyresreq("any"), 0);
    EXPECT_EQ(zorerrno, ZORE_CONF);
    EXPECT_THAT(zor_strerror(zorerrno), HasSubstr(file + ":1"));
}

TEST_F(ZorLibrary, GroupsRolesParamsAndConsumerPathsComeFromTheFile)
{
    zor_openopt_t opt {};
    zor_handle_t* h = zor_open(&opt);
    ASSERT_NE(h, nullptr);
    zor_hostgroup_t* g = nullptr;
    ASSERT_EQ(zor_gethostgroupinfo(h, "G3", &g), 0);
    EXPECT_THAT(
        std::vector<std::string>(g->hosts, g->hosts + g->nhost), ElementsAre("hosta", "hostb", "hostc"));
    zor_free_hostgroup(g);
    ASSERT_EQ(zor_gethostgroupinfo(h, "InternalResourceGroup", &g), 0);
    EXPECT_EQ(g->nhost, 4);
    zor_free_hostgroup(g);
    EXPECT_NE(zor_gethostgroupinfo(h, "nope", &g), 0);
    EXPECT_EQ(zorerrno, ZORE_NOSUCHGROUP);
    EXPECT_THAT(listed(zor_gethostgroups, h), ElementsAre("AIX", "G3", "InternalResourceGroup"));
    EXPECT_THAT(listed(zor_getconsumers, h), ElementsAre("/apps/web", "/apps/db")); // the file's order
    EXPECT_THAT(listed(zor_getconsumers, nullptr), ElementsAre(HasSubstr("null handle")));

    zor_role_t* roles = nullptr;
    int32_t n = 0;
    ASSERT_EQ(zor_getroles4user(h, "alice", &roles, &n), 0);
    ASSERT_EQ(n, 1);
    EXPECT_STREQ(roles[0].consumer, "/apps");
    EXPECT_EQ(roles[0].level, 2);
    zor_free_role_array(roles, n);
    EXPECT_NE(zor_getroles4user(h, "mallory", &roles, &n), 0);
    EXPECT_EQ(zorerrno, ZORE_NOSUCHUSER);
    zor_close(h);

    EXPECT_STREQ(zor_getconfparam("QEL_EVENT_MASK"), "7");
    setenv("QEL_EVENT_MASK", "3", 1);
    EXPECT_STREQ(zor_getconfparam("QEL_EVENT_MASK"), "3"); // the environment wins
    unsetenv("QEL_EVENT_MASK");
    EXPECT_EQ(zor_getconfparam("QEL_NOT_SET_ANYWHERE"), nullptr);

    EXPECT_EQ(zor_verifyconsumerpath("/apps", "G3"), 0); // ancestor of a listed path
    EXPECT_EQ(zor_verifyconsumerpath("apps/web/", nullptr), 0);
    EXPECT_NE(zor_verifyconsumerpath("invalid", nullptr), 0);
    EXPECT_NE(zor_verifyconsumerpath("/apps/web", "nope"), 0);
    EXPECT_EQ(zor_verifyresreq("type==aix"), 0);
    EXPECT_NE(zor_verifyresreq("type==sparc"), 0);
    EXPECT_NE(zor_verifyresreq("mem>4"), 0);
}

TEST(ZorDescription, DocumentedExampleIsAValidDescription)
{
    zor::ClusterDescription d = zor::ClusterDescription::fromFile(RS_EXAMPLE_CLUSTER);
    ASSERT_EQ(d.hosts.size(), 4u);
    EXPECT_EQ(d.hosts.front().name, "aix1"); // kept in host-name order
    EXPECT_EQ(d.groups.at("LinuxNodes"), (std::vector<std::string> { "node1", "node2", "node3" }));
    EXPECT_EQ(d.groups.at("InternalResourceGroup").size(), 4u);
    EXPECT_TRUE(d.isConsumer("/apps"));
    EXPECT_FALSE(d.isConsumer("invalid"));
    EXPECT_EQ(d.findHost("node1")->slots, 2);
}

TEST(ZorDescription, RelativeStateDirIsTakenFromTheFilesDirectory)
{
    ScratchCluster scratch;
    std::string file = scratch.useRaw("[cluster]\nstate_dir = \"rel/state\"\n[[hosts]]\nname = \"h1\"\n");
    EXPECT_EQ(zor::ClusterDescription::fromFile(file).stateDir, scratch.dir() + "/rel/state");
    scratch.useRaw("[cluster]\nstate_dir = \"\"\n[[hosts]]\nname = \"h1\"\n");
    EXPECT_NE(zor_verifyresreq("any"), 0);
    EXPECT_THAT(zor_strerror(zorerrno), HasSubstr("cluster.state_dir"));
}

TEST(ZorDescription, BuiltInDefaultIsTheLocalHostAndAcceptsEveryPath)
{
    ScratchCluster scratch;
    unsetenv("ZOR_CLUSTER_FILE");
    const char* top = std::getenv("QEL_TOP");
    std::string savedTop = top ? top : "";
    unsetenv("QEL_TOP");
    zor::ClusterAdmin::reload();
    EXPECT_EQ(zor_verifyconsumerpath("invalid", nullptr), 0);
    EXPECT_THAT(zor::ClusterDescription::builtInDefault().groups.at("InternalResourceGroup"),
        ElementsAre(zor::localHostName()));
    zor_openopt_t opt {};
    zor_handle_t* h = zor_open(&opt);
    EXPECT_THAT(listed(zor_gethostgroups, h), ElementsAre("InternalResourceGroup"));
    EXPECT_THAT(listed(zor_getconsumers, h), ::testing::IsEmpty()); // it lists none: every path is valid
    zor_close(h);
    ASSERT_NE(zor_uname(), nullptr);
    EXPECT_EQ(std::string(zor_uname()->hostName), zor::localHostName());
    if (!savedTop.empty())
        setenv("QEL_TOP", savedTop.c_str(), 1);
}

// ---------------------------------------------------------------- allocation

TEST_F(ZorLibrary, AllocGrantsGroupHostsInNameOrderOnTheLibraryThread)
{
    Consumer c("/apps/web");
    std::string allocId = c.alloc("G3", 3);
    ASSERT_FALSE(allocId.empty());
    ASSERT_TRUE(c.recorder.waitFor([&] { return c.recorder.granted() == 3; }));
    auto& g = c.recorder.grants;
    ASSERT_EQ(g.size(), 3u);
    EXPECT_EQ(g[0].host, "hosta");
    EXPECT_EQ(g[1].host, "hostb");
    EXPECT_EQ(g[1].cpuf, "2.5");
    EXPECT_EQ(g[2].host, "hostc");
    EXPECT_EQ(g[2].type, "linux");
    EXPECT_NE(c.recorder.callbackThread, std::this_thread::get_id());

    // One allocation per consumer.
    zor_allocreq_t again { "/apps/web", "G3", "", "any", 1, 1, 0 };
    char* id = nullptr;
    EXPECT_NE(zor_alloc(c.handle, &again, &id), 0);
    EXPECT_EQ(zorerrno, ZORE_ALLOCEXISTS);
}

TEST_F(ZorLibrary, ReleasedSlotGoesToTheWaitingAllocation)
{
    Consumer first("/apps/web");
    Consumer second("/apps/db");
    std::string a1 = first.alloc("G3", 4); // every slot of the group
    ASSERT_TRUE(first.recorder.waitFor([&] { return first.recorder.granted() == 4; }));
    std::string a2 = second.alloc("G3", 1);

    zor_hostslots_t notHeld { const_cast<char*>("aix1"), 1, 0, nullptr };
    EXPECT_NE(zor_release(first.handle, a1.c_str(), 1, &notHeld, 0), 0);
    EXPECT_EQ(zorerrno, ZORE_NOTOWNED);
    EXPECT_NE(zor_release(second.handle, a1.c_str(), 1, &notHeld, 0), 0); // not its allocation
    EXPECT_EQ(zorerrno, ZORE_NOSUCHALLOC);

    zor_hostslots_t hostb { const_cast<char*>("hostb"), 1, 0, nullptr };
    ASSERT_EQ(zor_release(first.handle, a1.c_str(), 1, &hostb, ZOR_RELEASE_SHRINK), 0);
    ASSERT_TRUE(second.recorder.waitFor([&] { return second.recorder.granted() == 1; }));
    EXPECT_EQ(second.recorder.grants[0].host, "hostb");

    // Freeing gives everything back: the second allocation grows to its new maximum.
    ASSERT_EQ(zor_allocfree(first.handle, a1.c_str()), 0);
    ASSERT_EQ(zor_realloc(second.handle, a2.c_str(), 3), 0);
    ASSERT_TRUE(second.recorder.waitFor([&] { return second.recorder.granted() == 3; }));
    EXPECT_EQ(second.recorder.grants[1].host, "hosta");
}

TEST_F(ZorLibrary, UnavailableHostIsNeverGrantedAndIsReported)
{
    scratch.use("[[hosts]]\nname = \"up\"\n[[hosts]]\nname = \"down\"\nunavailable = true\n"
                "[[consumers]]\npath = \"/p\"\n");
    Consumer c("/p");
    c.alloc("InternalResourceGroup", 2);
    ASSERT_TRUE(
        c.recorder.waitFor([&] { return c.recorder.granted() == 1 && c.recorder.hostStates.count("down"); }));
    EXPECT_EQ(c.recorder.grants[0].host, "up");
    EXPECT_EQ(c.recorder.hostStates["down"], ZOR_HOST_UNAVAIL);
}

TEST_F(ZorLibrary, AllocationWaitsForTheHostDelay)
{
    scratch.use("[[hosts]]\nname = \"slow\"\nalloc_delay_ms = 50\n[[consumers]]\npath = \"/p\"\n");
    Consumer c("/p");
    auto before = std::chrono::steady_clock::now();
    c.alloc("InternalResourceGroup", 1);
    ASSERT_TRUE(c.recorder.waitFor([&] { return c.recorder.granted() == 1; }));
    EXPECT_GE(std::chrono::steady_clock::now() - before, std::chrono::milliseconds(50));
}

// ---------------------------------------------------------------- containers

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

TEST_F(ZorLibrary, TwoHandlesOnTheSamePathKeepTheirOwnAllocationsAndContainers)
{
    // Two packages deploying at once on the service's default consumer.
    const char* path = "/ClusterServices/QELClusterServices";
    Consumer first(path);
    Consumer second(path);
    ASSERT_NE(second.reply, nullptr);
    EXPECT_EQ(second.reply->nallocation, 0); // nothing of the first handle's is handed over

    std::string a1 = first.alloc("G3", 1);
    std::string a2 = second.alloc("G3", 2); // allowed: one allocation per handle, not per path
    ASSERT_FALSE(a2.empty());
    EXPECT_NE(a1, a2);
    ASSERT_TRUE(first.recorder.waitFor([&] { return first.recorder.granted() == 1; }));
    ASSERT_TRUE(second.recorder.waitFor([&] { return second.recorder.granted() == 2; }));
    EXPECT_EQ(first.recorder.grants[0].host, "hosta");

    zor_containerId_t* c1 = first.start(a1, "hosta", "exec sleep 600");
    zor_containerId_t* c2 = second.start(a2, second.recorder.grants[0].host.c_str(), "exit 5");
    ASSERT_NE(c1, nullptr) << zor_strerror(zorerrno);
    ASSERT_NE(c2, nullptr) << zor_strerror(zorerrno);
    std::string id1 = c1->id, id2 = c2->id;
    zor_free_containerId(c1);
    zor_free_containerId(c2);

    // Each container's states reach the handle that started it, and only that one.
    zor_container_t finish {};
    ASSERT_TRUE(second.recorder.waitFor([&] { return second.recorder.finished(id2, &finish); }));
    EXPECT_EQ(finish.exitStatus, 5);
    ASSERT_TRUE(first.recorder.waitFor([&] { return !first.recorder.stateIds.empty(); }));
    {
        std::lock_guard lock(first.recorder.mutex());
        for (auto& id : first.recorder.stateIds)
            EXPECT_EQ(id, id1);
    }

    // Neither handle can touch the other's allocation or container.
    EXPECT_NE(zor_allocfree(second.handle, a1.c_str()), 0);
    EXPECT_EQ(zorerrno, ZORE_NOSUCHALLOC);
    EXPECT_NE(zor_signalcontainer(second.handle, id1.c_str(), ZOR_SIG_KILL), 0);

    // Freeing the second's allocation leaves the first's running.
    ASSERT_EQ(zor_allocfree(second.handle, a2.c_str()), 0);
    ASSERT_EQ(zor_signalcontainer(first.handle, id1.c_str(), ZOR_SIG_KILL), 0);
    ASSERT_TRUE(first.recorder.waitFor([&] { return first.recorder.finished(id1, &finish); }));
    EXPECT_EQ(finish.exitReason, ZOR_EXIT_KILLED);
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

TEST_F(ZorLibrary, TwoHandlesRegisteringConcurrentlyEachGetTheirGrants)
{
    const char* path = "/ClusterServices/QELClusterServices";
    std::unique_ptr<Consumer> a, b;
    std::string allocA, allocB;
    std::thread t1([&] {
        a = std::make_unique<Consumer>(path);
        allocA = a->alloc("G3", 2);
    });
    std::thread t2([&] {
        b = std::make_unique<Consumer>(path);
        allocB = b->alloc("G3", 2);
    });
    t1.join();
    t2.join();
    ASSERT_FALSE(allocA.empty());
    ASSERT_FALSE(allocB.empty());
    // G3 has four slots: both allocations are served in full, on different slots.
    ASSERT_TRUE(a->recorder.waitFor([&] { return a->recorder.granted() == 2; }));
    ASSERT_TRUE(b->recorder.waitFor([&] { return b->recorder.granted() == 2; }));
    std::map<std::string, int> perHost;
    for (auto* c : { a.get(), b.get() })
        for (auto& g : c->recorder.grants)
            perHost[g.host] += g.slots;
    EXPECT_EQ(perHost["hosta"], 1);
    EXPECT_EQ(perHost["hostb"], 1);
    EXPECT_EQ(perHost["hostc"], 2);

    // Closing one handle gives back only its slots: the other keeps its own.
    a.reset();
    zor_hostslots_t held { const_cast<char*>(b->recorder.grants[0].host.c_str()), 1, 0, nullptr };
    EXPECT_EQ(zor_release(b->handle, allocB.c_str(), 1, &held, ZOR_RELEASE_SHRINK), 0)
        << zor_strerror(zorerrno);
}

// ---------------------------------------------------------------- registrations

TEST_F(ZorLibrary, RegisteredUrlIsFoundByAnotherProcess)
{
    zor_openopt_t opt {};
    zor_handle_t* h = zor_open(&opt);
    zor_regreq_t req { "RS_DEPLOY", "host1:5005", 0, 0, nullptr };
    ASSERT_EQ(zor_register2(h, &req, nullptr, nullptr), 0) << zor_strerror(zorerrno);
    zor_regreq_t other { "OTHER", "host2:1", 0, 0, nullptr };
    ASSERT_EQ(zor_register2(h, &other, nullptr, nullptr), 0);
    zor_close(h);

    int status = -1;
    EXPECT_EQ(lookUpFromAnotherProcess("RS_DEPLOY", status), "host1:5005\n");
    EXPECT_EQ(status, 0);

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
