// ZORResManager driven against the embedded cluster.

#include "rs/resmgr/ZORResManager.h"

#include "common/KavErrorInfo.h"
#include "common/LogCapture.h"
#include "common/ResultCodes.h"
#include "platform/zor/ClusterFixture.h"
#include "support/ScratchDir.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <deque>
#include <stdexcept>

using namespace rs::resmgr;
using namespace zortest;
using rs::test::readFile;
using ::testing::ElementsAre;
using ::testing::HasSubstr;

namespace {

// Records what the manager hands to a consumer.
class RecordingConsumer : public IResourceConsumer, public Waiter {
public:
    int32_t onResource(VrmResource* r) override
    {
        update([&] { resources.emplace_back(r); });
        if (throws)
            throw std::runtime_error("broken consumer");
        return 0;
    }
    int32_t onReclaimForce(const std::string& allocationId) override
    {
        update([&] { forced.push_back(allocationId); });
        return 0;
    }
    int32_t onReclaimResource(VrmResource* r) override
    {
        update([&] { reclaimed.push_back(r->name()); });
        return 0;
    }
    int32_t startContainer(VrmResource*) override { return 0; }
    int32_t onReleaseResources(VrmResource*) override { return 0; }
    void cleanup() override { }
    void destroy() override { }

    size_t count()
    {
        std::lock_guard lock(mutex());
        return resources.size();
    }
    bool waitForCount(size_t n)
    {
        return waitFor([&] { return resources.size() >= n; });
    }
    std::vector<std::string> names()
    {
        std::lock_guard lock(mutex());
        std::vector<std::string> out;
        for (auto& r : resources)
            out.push_back(r->name());
        return out;
    }
    VrmResource* on(const std::string& host)
    {
        std::lock_guard lock(mutex());
        for (auto& r : resources)
            if (r->name() == host)
                return r.get();
        return nullptr;
    }

    std::vector<kav::RefPtr<VrmResource>> resources;
    std::vector<std::string> forced, reclaimed;
    bool throws = false; // onResource throws after recording
};

std::unique_ptr<kav::KavErrorInfo> takeError()
{
    return std::unique_ptr<kav::KavErrorInfo>(kav::takeErrorInfo());
}

class ZORResManagerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        setenv("QEL_SERVICE_CREDENTIAL", "svc:secret", 1);
        scratch.use(kThreeHosts);
        ASSERT_EQ(manager.init("RSDEPLOY", 1, 0), 0);
    }
    void TearDown() override { manager.cleanup(); }

    // Registers the consumer and asks for up to maxRes slots of group.
    void allocate(
        const std::string& id, RecordingConsumer& consumer, int maxRes, const std::string& group = "G3")
    {
        ASSERT_EQ(manager.registerConsumer(id, &consumer, "test", 0), 0);
        ASSERT_EQ(manager.getResources(id, 1, maxRes, "any", group, "any"), 0);
    }

    // Consumers outlive every registration: callbacks may come until cleanup.
    RecordingConsumer& make() { return consumers.emplace_back(); }

    // The service dies holding `consumerId`, and its restart (`restarted`,
    // a manager of its own) registers the consumer anew; `books` gets what
    // the restart recovered.
    void restartHolding(
        const std::string& consumerId, ZORResManager& restarted, ZORConsumer::Resources& books)
    {
        zor::EmbeddedCluster::instance().abandonConsumer(consumerId);
        ASSERT_EQ(restarted.init("RSDEPLOY", 1, 0), 0);
        ASSERT_EQ(restarted.registerConsumer(consumerId, &make(), "test", 0), 0);
        ASSERT_EQ(restarted.getAllocactedList(consumerId, books), 0);
    }

    ScratchCluster scratch;
    std::deque<RecordingConsumer> consumers;
    PeriodicManager periodic;
    ZORResManager manager { periodic };
};

} // namespace

// ---------------------------------------------------------------- allocation

TEST_F(ZORResManagerTest, ThreeHostGroupGivesThreeResourcesWithNamesAndTypes)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 3);
    ASSERT_TRUE(consumer.waitForCount(3));
    EXPECT_THAT(consumer.names(), ElementsAre("hosta", "hostb", "hostc"));
    for (auto& r : consumer.resources) {
        EXPECT_EQ(r->osType(), "linux");
        EXPECT_EQ(r->consumerId(), "/apps/web");
        EXPECT_EQ(r->allocationId(), consumer.resources[0]->allocationId());
    }
    EXPECT_FLOAT_EQ(consumer.on("hostb")->cpuFactor(), 2.5f);
    EXPECT_THAT(consumer.on("hostb")->dump(), HasSubstr("VrmResource name = <hostb> osType = <linux>"));
    ZORConsumer::Resources books;
    ASSERT_EQ(manager.getAllocactedList("/apps/web", books), 0);
    EXPECT_EQ(books.size(), 3u);
}

// A consumer whose callback throws must not end the callback thread: later
// callbacks, for it and for others, still come.
TEST_F(ZORResManagerTest, ACallbackThatThrowsIsLoggedAndLaterCallbacksStillCome)
{
    kav::test::LogCapture capture(log4cxx::Logger::getLogger("servers.common.resmngr.ZORResManager"));
    RecordingConsumer& broken = make();
    broken.throws = true;
    allocate("/apps/db", broken, 1);
    ASSERT_TRUE(broken.waitForCount(1));
    RecordingConsumer& other = make();
    allocate("/apps/web", other, 2);
    ASSERT_TRUE(other.waitForCount(2));
    bool logged = false;
    for (const auto& line : capture.lines())
        logged = logged
            || (line.level == log4cxx::Level::getError() && line.message.rfind("Code[S1]: ", 0) == 0
                && line.message.find("broken consumer") != std::string::npos);
    EXPECT_TRUE(logged);
}

TEST_F(ZORResManagerTest, ReleasedSlotIsGrantedAgain)
{
    RecordingConsumer& first = make();
    RecordingConsumer& second = make();
    allocate("/apps/web", first, 4);
    ASSERT_TRUE(first.waitForCount(4));
    allocate("/apps/db", second, 1);
    ASSERT_EQ(manager.release(first.on("hostb")), 0);
    ASSERT_TRUE(second.waitForCount(1));
    EXPECT_EQ(second.names(), std::vector<std::string> { "hostb" });
    ZORConsumer::Resources books;
    ASSERT_EQ(manager.getAllocactedList("/apps/web", books), 0);
    EXPECT_EQ(books.size(), 3u);
    // Releasing it twice: the manager no longer counts it as ours; dropped all the same.
    EXPECT_EQ(manager.release(first.on("hostb")), 0);
}

TEST_F(ZORResManagerTest, AReplacedHostMakesRoomForAnotherThatIsNotItself)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 2);
    ASSERT_TRUE(consumer.waitForCount(2));
    ASSERT_EQ(manager.replace(consumer.on("hosta"), { "hosta" }), 0);
    ASSERT_TRUE(consumer.waitForCount(3)) << "the maximum stays";
    EXPECT_THAT(consumer.names(), ElementsAre("hosta", "hostb", "hostc"));
    ZORConsumer::Resources books;
    ASSERT_EQ(manager.getAllocactedList("/apps/web", books), 0);
    EXPECT_EQ(books.size(), 2u);
}

// Two deployment runs of one user: two registrations on the user's consumer
// path, each with its own allocation, and unregistering one leaves the other.
TEST_F(ZORResManagerTest, RegistrationsOnOneConsumerPathKeepTheirOwnBooks)
{
    RecordingConsumer& first = make();
    RecordingConsumer& second = make();
    ASSERT_EQ(manager.registerConsumer("run-1", &first, "test", 0, "/apps/web"), 0);
    ASSERT_EQ(manager.registerConsumer("run-2", &second, "test", 0, "/apps/web"), 0);
    EXPECT_LT(manager.registerConsumer("run-2", &second, "test", 0, "/apps/web"), 0) << "names are unique";
    takeError();
    ASSERT_EQ(manager.getResources("run-1", 1, 1, "any", "G3", "any"), 0);
    ASSERT_EQ(manager.getResources("run-2", 1, 1, "any", "G3", "any"), 0);
    ASSERT_TRUE(first.waitForCount(1));
    ASSERT_TRUE(second.waitForCount(1));
    EXPECT_EQ(first.resources[0]->consumerId(), "run-1");
    EXPECT_EQ(second.resources[0]->consumerId(), "run-2");
    EXPECT_NE(first.names(), second.names());

    ASSERT_EQ(manager.unregisterConsumer("run-1"), 0);
    EXPECT_FALSE(manager.isRegistered("run-1"));
    EXPECT_TRUE(manager.isRegistered("run-2"));
    ZORConsumer::Resources books;
    ASSERT_EQ(manager.getAllocactedList("run-2", books), 0);
    EXPECT_EQ(books.size(), 1u);
    EXPECT_EQ(manager.provisionAs(second.resources[0].get(), "true", {}, "", ""), 0)
        << "the remaining registration still works its handle";
}

TEST_F(ZORResManagerTest, CancelGivesEverythingBack)
{
    RecordingConsumer& first = make();
    RecordingConsumer& second = make();
    allocate("/apps/web", first, 4);
    ASSERT_TRUE(first.waitForCount(4));
    allocate("/apps/db", second, 4);
    ASSERT_EQ(manager.cancel("/apps/web"), 0);
    ASSERT_TRUE(second.waitForCount(4));
    ZORConsumer::Resources books;
    ASSERT_EQ(manager.getAllocactedList("/apps/web", books), 0);
    EXPECT_TRUE(books.empty());
    EXPECT_LT(manager.cancel("/apps/web"), 0); // no allocation any more
    takeError();
}

TEST_F(ZORResManagerTest, HouseKeepingCarriesOutAModifyRequest)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 1);
    ASSERT_TRUE(consumer.waitForCount(1));
    ASSERT_EQ(manager.modify("/apps/web", 3), 0);
    manager.houseKeeping();
    ASSERT_TRUE(consumer.waitForCount(3));
    EXPECT_THAT(consumer.names(), ElementsAre("hosta", "hostb", "hostc"));
    EXPECT_EQ(manager.checkAllocations(), 0);
}

TEST_F(ZORResManagerTest, UnavailableHostAndForcedReclaimTakeResourcesOff)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 3);
    ASSERT_TRUE(consumer.waitForCount(3));
    zor::EmbeddedCluster::instance().setHostUnavailable("hostb", true);
    ASSERT_TRUE(consumer.waitFor([&] { return consumer.reclaimed.size() == 1; }));
    EXPECT_EQ(consumer.reclaimed[0], "hostb");
    // The allocation still wants 3: hostc's second slot makes up for hostb.
    ASSERT_TRUE(consumer.waitForCount(4));
    EXPECT_EQ(consumer.resources[3]->name(), "hostc");
    zor::EmbeddedCluster::instance().reclaimHost("hosta");
    ASSERT_TRUE(consumer.waitFor([&] { return consumer.reclaimed.size() == 2; }));
    EXPECT_EQ(consumer.reclaimed[1], "hosta");
    EXPECT_EQ(consumer.forced, std::vector<std::string> { consumer.resources[0]->allocationId() });
    ZORConsumer::Resources books;
    ASSERT_EQ(manager.getAllocactedList("/apps/web", books), 0);
    ASSERT_EQ(books.size(), 2u);
    EXPECT_EQ(books[0]->name(), "hostc");
    EXPECT_EQ(books[1]->name(), "hostc");
}

// ---------------------------------------------------------------- containers

TEST_F(ZORResManagerTest, ProvisionAsRunsTheCommandInItsHostTree)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 1);
    ASSERT_TRUE(consumer.waitForCount(1));
    VrmResource* r = consumer.on("hosta");
    ASSERT_EQ(manager.provisionAs(r,
                  "printf '%s|%s|%s' \"$QEL_TOP\" \"$GREETING\" \"$PATH\" > \"$QEL_TOP/provisioned.txt\"",
                  { "GREETING=hello ${ZOR_HOST}", "Path=/bin:/usr/bin" }, "", "${QEL_TOP}/eservice/rs/work"),
        0);
    ASSERT_FALSE(r->containerId().empty());
    ASSERT_TRUE(manager.waitForContainerState(r->containerId(), ZOR_CONTAINER_FINISH, kWait));
    EXPECT_EQ(r->containerState(), ZOR_CONTAINER_FINISH);
    std::string top = scratch.stateDir() + "/hosts/hosta";
    EXPECT_EQ(readFile(top + "/provisioned.txt"),
        top + "|hello hosta|/bin:/usr/bin:" + zor_getconfparam("QEL_LIBDIR"));
    EXPECT_TRUE(std::filesystem::is_directory(top + "/eservice/rs/work"));
}

TEST_F(ZORResManagerTest, KilledContainerFinishes)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 1);
    ASSERT_TRUE(consumer.waitForCount(1));
    VrmResource* r = consumer.on("hosta");
    ASSERT_EQ(manager.provisionAs(r, "exec sleep 600", {}, "", ""), 0);
    ASSERT_EQ(manager.killContainer(r), 0);
    EXPECT_TRUE(manager.waitForContainerState(r->containerId(), ZOR_CONTAINER_FINISH, kWait));
    EXPECT_LT(manager.hangupContainer(r), 0); // nothing left to signal
    takeError();
}

TEST_F(ZORResManagerTest, FailStartAndUnavailableHostsBehaveAsNamed)
{
    scratch.use(
        "[[hosts]]\nname = \"bad\"\nfail_start = true\n[[hosts]]\nname = \"down\"\nunavailable = true\n"
        "[[hosts]]\nname = \"good\"\n[[consumers]]\npath = \"/p\"\n");
    RecordingConsumer& consumer = make();
    allocate("/p", consumer, 3, "InternalResourceGroup");
    ASSERT_TRUE(consumer.waitForCount(2));
    EXPECT_THAT(consumer.names(), ElementsAre("bad", "good"));
    EXPECT_LT(manager.provisionAs(consumer.on("bad"), "true", {}, "", ""), 0);
    auto error = takeError();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->getCode(), kav::rc::ZOR_CALL_FAILED);
    EXPECT_THAT(error->getDetail(), HasSubstr("container start failed"));
    EXPECT_EQ(manager.provisionAs(consumer.on("good"), "true", {}, "", ""), 0);
}

TEST_F(ZORResManagerTest, RecoveryAtRegistrationAdoptsAllocationAndContainers)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 2);
    ASSERT_TRUE(consumer.waitForCount(2));
    ASSERT_EQ(manager.provisionAs(consumer.on("hosta"), "exec sleep 600", {}, "", ""), 0);
    std::string running = consumer.on("hosta")->containerId();

    PeriodicManager otherPeriodic;
    ZORResManager restarted(otherPeriodic);
    ZORConsumer::Resources books;
    ASSERT_NO_FATAL_FAILURE(restartHolding("/apps/web", restarted, books));
    ASSERT_EQ(books.size(), 2u);
    auto adopted
        = std::find_if(books.begin(), books.end(), [](auto& r) { return !r->containerId().empty(); });
    ASSERT_NE(adopted, books.end());
    EXPECT_EQ((*adopted)->containerId(), running);
    EXPECT_EQ((*adopted)->name(), "hosta");
    EXPECT_EQ(restarted.killContainer(adopted->get()), 0);
    EXPECT_TRUE(restarted.waitForContainerState(running, ZOR_CONTAINER_FINISH, kWait));
    restarted.cleanup();
}

TEST_F(ZORResManagerTest, RecoveryKillsContainersBeyondTheAllocatedSlots)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 1);
    ASSERT_TRUE(consumer.waitForCount(1));
    VrmResource* slot = consumer.on("hosta");
    ASSERT_EQ(manager.provisionAs(slot, "exec sleep 600", {}, "", ""), 0);
    std::string first = slot->containerId();
    ASSERT_EQ(manager.provisionAs(slot, "exec sleep 600", {}, "", ""), 0);
    std::string second = slot->containerId();

    PeriodicManager otherPeriodic;
    ZORResManager restarted(otherPeriodic);
    ZORConsumer::Resources books;
    ASSERT_NO_FATAL_FAILURE(restartHolding("/apps/web", restarted, books));
    ASSERT_EQ(books.size(), 1u);
    EXPECT_EQ(books[0]->containerId(), first); // reply order: the first takes the one slot
    EXPECT_TRUE(restarted.waitForContainerState(second, ZOR_CONTAINER_FINISH, kWait));
    restarted.cleanup();
}

// ---------------------------------------------------------------- checks

TEST_F(ZORResManagerTest, CheckUserRoleHonoursLevelsAndAncestors)
{
    struct Case {
        const char* user;
        const char* consumer;
        int level;
        bool permitted;
    };
    for (const Case& c : { Case { "alice", "/apps/web", 2, true }, Case { "alice", "/apps/web", 3, true },
             Case { "alice", "/apps/web", 1, false }, Case { "alice", "/apps", 2, true },
             Case { "alice", "/other", 3, false }, Case { "bob", "/apps/web/sub", 3, true },
             Case { "bob", "/apps/web", 2, false }, Case { "bob", "/apps", 3, false },
             Case { "bob", "/apps/webshop", 3, false }, Case { "mallory", "/apps", 3, false },
             Case { "alice", "/apps/web", 0, false } }) {
        bool permitted = !c.permitted;
        EXPECT_EQ(manager.checkUserRole(c.user, c.consumer, c.level, permitted), 0)
            << c.user << " " << c.consumer;
        EXPECT_EQ(permitted, c.permitted) << c.user << " on " << c.consumer << " level " << c.level;
    }
    std::vector<std::string> consumers;
    ASSERT_EQ(manager.checkUserRole("alice", consumers), 0);
    EXPECT_EQ(consumers, std::vector<std::string> { "/apps" });
}

TEST_F(ZORResManagerTest, ConsumerGroupAndRequirementChecks)
{
    EXPECT_EQ(manager.checkConsumer("/apps/web", "G3"), 0);
    EXPECT_LT(manager.checkConsumer("/elsewhere", "G3"), 0);
    EXPECT_THAT(takeError()->getDetail(), HasSubstr("invalid consumer path"));
    EXPECT_EQ(manager.checkResReq("type==aix"), 0);
    EXPECT_LT(manager.checkResReq("type==vms"), 0);
    takeError();
    std::vector<std::string> hosts;
    ASSERT_EQ(manager.getHostGroupInfo("AIX", hosts), 0);
    EXPECT_EQ(hosts, std::vector<std::string> { "aix1" });
    EXPECT_LT(manager.getHostGroupInfo("nope", hosts), 0);
    takeError();
}

TEST_F(ZORResManagerTest, RegisteredUrlIsFoundFromASecondProcess)
{
    manager.registerURL({ "RS_DEPLOY" }, { "node7:5005" });
    int status = -1;
    EXPECT_EQ(lookUpFromAnotherProcess("RS_DEPLOY", status), "node7:5005\n");
    EXPECT_EQ(status, 0);

    try {
        manager.registerURL({ "BAD|NAME" }, { "x:1" });
        ADD_FAILURE() << "a name with '|' was accepted";
    } catch (kav::KavException* e) {
        EXPECT_EQ(e->code(), kav::rc::ZOR_CALL_FAILED);
        e->release();
    }
}

TEST_F(ZORResManagerTest, MalformedClusterFileReportsItsLine)
{
    std::string file = scratch.useRaw("[[hosts]]\nname = \"a\"\ncpuf = \"fast\"\n");
    RecordingConsumer& consumer = make();
    EXPECT_LT(manager.registerConsumer("/apps/web", &consumer, "test", 0), 0);
    auto error = takeError();
    ASSERT_TRUE(error);
    EXPECT_THAT(error->getDetail(), HasSubstr(file + ":3"));
    EXPECT_THAT(error->getDetail(), HasSubstr("hosts.cpuf"));
    EXPECT_FALSE(manager.isRegistered("/apps/web"));

    // Start-up with the keep-alive consumer stops on it, naming the line.
    PeriodicManager otherPeriodic;
    ZORResManager starting(otherPeriodic);
    EXPECT_LT(starting.init("RSDEPLOY", 1, 1), 0);
    error = takeError();
    ASSERT_TRUE(error);
    EXPECT_THAT(error->getDetail(), HasSubstr(file + ":3"));
}

// ---------------------------------------------------------------- registration rules

TEST_F(ZORResManagerTest, ArgumentChecksFailWithErrorInformation)
{
    RecordingConsumer& consumer = make();
    EXPECT_LT(manager.registerConsumer("", &consumer, "d", 0), 0);
    EXPECT_THAT(takeError()->getDetail(), HasSubstr("consumerId.length() != 0"));
    EXPECT_LT(manager.registerConsumer("/apps/web", nullptr, "d", 0), 0);
    takeError();
    EXPECT_LT(manager.init("", 1, 0), 0);
    EXPECT_THAT(takeError()->getDetail(), HasSubstr("clientName.length() != 0"));
    ASSERT_EQ(manager.registerConsumer("/apps/web", &consumer, "d", 0), 0);
    EXPECT_LT(manager.registerConsumer("/apps/web", &consumer, "d", 0), 0);
    takeError();
    EXPECT_LT(manager.getResources("/apps/web", 1, 0, "any", "G3", "any"), 0);
    takeError();
    EXPECT_LT(manager.getResources("/apps/web", 1, 1, "", "G3", "any"), 0);
    takeError();
    EXPECT_LT(manager.getResources("/nobody", 1, 1, "any", "G3", "any"), 0);
    EXPECT_EQ(takeError()->getCode(), kav::rc::ZOR_CONSUMER_GONE);
    EXPECT_EQ(manager.unregisterConsumer("/apps/web"), 0);
    EXPECT_LT(manager.unregisterConsumer("/apps/web"), 0);
    EXPECT_EQ(takeError()->getCode(), kav::rc::ZOR_CONSUMER_GONE);
}

TEST_F(ZORResManagerTest, KeepAliveAndScheduleIntervalsSetTheHouseKeepingPeriod)
{
    PeriodicManager otherPeriodic;
    ZORResManager withKeepAlive(otherPeriodic);
    ASSERT_EQ(withKeepAlive.init("RSDEPLOY", 1, 1), 0);
    EXPECT_TRUE(withKeepAlive.isRegistered("/KeepAlive"));
    EXPECT_EQ(withKeepAlive.resourceBalanceInterval(), 5u);
    RecordingConsumer& fast = make();
    RecordingConsumer& slow = make();
    ASSERT_EQ(withKeepAlive.registerConsumer("/apps/web", &fast, "d", 2), 0);
    EXPECT_EQ(withKeepAlive.resourceBalanceInterval(), 2u);
    ASSERT_EQ(withKeepAlive.registerConsumer("/apps/db", &slow, "d", 10), 0);
    EXPECT_EQ(withKeepAlive.resourceBalanceInterval(), 2u);
    withKeepAlive.cleanup();
    EXPECT_FALSE(withKeepAlive.isRegistered("/KeepAlive"));
    EXPECT_FALSE(withKeepAlive.isRegistered("/apps/web"));
}

TEST(ZORResManagerText, CredentialsAreMaskedAndStatesNamed)
{
    EXPECT_EQ(maskCredential("svc:secret"), "svc:****");
    EXPECT_EQ(maskCredential("opaque-token"), "****");
    EXPECT_EQ(maskCredential(""), "<none>");
    EXPECT_STREQ(hostStateName(1), "HOST_UNAVAIL");
    EXPECT_STREQ(hostStateName(9), "UNKNOWN");
    EXPECT_STREQ(containerStateName(4), "CONTAINER_FINISH");
    EXPECT_STREQ(containerStateName(-1), "UNKNOWN");
}
