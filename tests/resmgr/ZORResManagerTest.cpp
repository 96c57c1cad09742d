// ZORResManager driven against the embedded cluster, and the parts that the
// library's threads drive (callbacks, recovery, house-keeping) on their own.

#include "rs/resmgr/ZORResManager.h"

#include "common/KavErrorInfo.h"
#include "common/LogCapture.h"
#include "common/ResultCodes.h"
#include "platform/zor/ClusterFixture.h"
#include "support/ScratchDir.h"

#include <gmock/gmock.h>

#include <sys/stat.h>

#include <algorithm>
#include <deque>
#include <stdexcept>

using namespace rs::resmgr;
using namespace zortest;
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
    return kav::takeErrorInfo();
}

bool logged(const kav::test::LogCapture& capture, const std::string& text)
{
    auto lines = capture.lines();
    return std::any_of(
        lines.begin(), lines.end(), [&](auto& l) { return l.message.find(text) != std::string::npos; });
}

// The library's records hold char*; the tests' texts are literals.
char* text(const char* literal)
{
    return const_cast<char*>(literal);
}

// A FIFO for a container to write to: reading it waits for the container,
// and ends once every process of it that held the FIFO open has ended.
std::string fifo(const std::string& path)
{
    EXPECT_EQ(mkfifo(path.c_str(), 0600), 0);
    return path;
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

    // Registers the consumer and asks for up to maxRes slots of G3.
    void allocate(const std::string& id, RecordingConsumer& consumer, int maxRes)
    {
        ASSERT_EQ(manager.registerConsumer(id, &consumer, "test", 0), 0);
        ASSERT_EQ(manager.getResources(id, 1, maxRes, "any", "G3", "any"), 0);
    }
    bool isRegistered(ZORResManager& m, const std::string& id)
    {
        ZORConsumer::Resources books;
        if (m.getAllocactedList(id, books) == 0)
            return true;
        EXPECT_EQ(takeError()->getCode(), kav::rc::ZOR_CONSUMER_GONE);
        return false;
    }

    // Consumers outlive every registration: callbacks may come until cleanup.
    RecordingConsumer& make() { return consumers.emplace_back(); }

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

TEST_F(ZORResManagerTest, AReleasedSlotLeavesTheBooksEvenWhenNoLongerOwned)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 3);
    ASSERT_TRUE(consumer.waitForCount(3));
    ASSERT_EQ(manager.release(consumer.on("hostb")), 0);
    ZORConsumer::Resources books;
    ASSERT_EQ(manager.getAllocactedList("/apps/web", books), 0);
    EXPECT_EQ(books.size(), 2u);
    EXPECT_EQ(manager.release(consumer.on("hostb")), 0) << "not owned any more: dropped all the same";
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
    EXPECT_FALSE(isRegistered(manager, "run-1"));
    ZORConsumer::Resources books;
    ASSERT_EQ(manager.getAllocactedList("run-2", books), 0);
    EXPECT_EQ(books.size(), 1u);
    EXPECT_EQ(manager.provisionAs(second.resources[0].get(), "true", {}, "", ""), 0)
        << "the remaining registration still works its handle";
}

TEST_F(ZORResManagerTest, CancelEmptiesTheBooks)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 4);
    ASSERT_TRUE(consumer.waitForCount(4));
    ASSERT_EQ(manager.cancel("/apps/web"), 0);
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

// ---------------------------------------------------------------- containers

TEST_F(ZORResManagerTest, ProvisionAsRunsTheCommandInItsHostTree)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 1);
    ASSERT_TRUE(consumer.waitForCount(1));
    std::string out = fifo(scratch.dir() + "/provisioned");
    ASSERT_EQ(manager.provisionAs(consumer.on("hosta"), "printf '%s|%s' \"$PWD\" \"$PATH\" > " + out,
                  { "Path=/bin:/usr/bin" }, "", "${QEL_TOP}/eservice/rs/work"),
        0);
    EXPECT_FALSE(consumer.on("hosta")->containerId().empty());
    EXPECT_EQ(rs::test::readFile(out),
        scratch.stateDir() + "/hosts/hosta/eservice/rs/work|/bin:/usr/bin:" + zor_getconfparam("QEL_LIBDIR"));
}

// Signal 7 kills the container outright; 1 asks it to end, which a shell can hear.
TEST_F(ZORResManagerTest, KillAndHangupSendTheirSignalsToTheContainer)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 1);
    ASSERT_TRUE(consumer.waitForCount(1));
    VrmResource* r = consumer.on("hosta");
    struct Case {
        int32_t (ZORResManager::*signal)(VrmResource*);
        const char* heard;
    };
    int n = 0;
    for (const Case& c : { Case { &ZORResManager::killContainer, "up\n" },
             Case { &ZORResManager::hangupContainer, "up\nTERM\n" } }) {
        std::string path = fifo(scratch.dir() + "/signal" + std::to_string(n++));
        ASSERT_EQ(manager.provisionAs(r,
                      "trap 'echo TERM >&3; exit 0' TERM; exec 3>" + path
                          + "; (trap - TERM; echo up >&3; exec sleep 600) & wait",
                      {}, "", ""),
            0);
        std::ifstream heard(path); // open once the container holds the other end
        std::string line;
        ASSERT_TRUE(std::getline(heard, line));
        ASSERT_EQ((manager.*c.signal)(r), 0);
        std::string rest((std::istreambuf_iterator<char>(heard)), {});
        EXPECT_EQ(line + "\n" + rest, c.heard);
    }
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

TEST_F(ZORResManagerTest, AUrlThatCannotBeRegisteredThrows)
{
    manager.registerURL({ "RS_DEPLOY" }, { "node7:5005" });
    try {
        manager.registerURL({ "BAD|NAME" }, { "x:1" });
        ADD_FAILURE() << "a name with '|' was accepted";
    } catch (kav::KavException* e) {
        EXPECT_EQ(e->code(), kav::rc::ZOR_CALL_FAILED);
        e->release();
    }
}

TEST_F(ZORResManagerTest, StartUpStopsOnAMalformedClusterFileNamingItsLine)
{
    std::string file = scratch.useRaw("[[hosts]]\nname = \"a\"\ncpuf = \"fast\"\n");
    PeriodicManager otherPeriodic;
    ZORResManager starting(otherPeriodic);
    EXPECT_LT(starting.init("RSDEPLOY", 1, 1), 0);
    auto error = takeError();
    ASSERT_TRUE(error);
    EXPECT_THAT(error->getDetail(), HasSubstr(file + ":3"));
    EXPECT_FALSE(isRegistered(starting, kKeepAliveConsumer));
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

TEST_F(ZORResManagerTest, KeepAliveConsumerLivesFromInitToCleanup)
{
    kav::test::LogCapture capture(resManagerLogger());
    PeriodicManager otherPeriodic;
    ZORResManager withKeepAlive(otherPeriodic);
    ASSERT_EQ(withKeepAlive.init("RSDEPLOY", 1, 1), 0);
    EXPECT_TRUE(isRegistered(withKeepAlive, kKeepAliveConsumer));
    EXPECT_TRUE(logged(capture, " Change ResourceBalanceInterval from '0' to '5'"));
    RecordingConsumer& consumer = make();
    ASSERT_EQ(withKeepAlive.registerConsumer("/apps/web", &consumer, "d", 2), 0);
    withKeepAlive.cleanup();
    EXPECT_FALSE(isRegistered(withKeepAlive, kKeepAliveConsumer));
    EXPECT_FALSE(isRegistered(withKeepAlive, "/apps/web"));
}

// ---------------------------------------------------------------- the library's callbacks

namespace {

// One registration in a table, its callbacks fed by hand as the library
// would feed them.
class LibraryCallbacksTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        consumer = std::make_shared<ZORConsumer>("run-1", "/apps/web", nullptr, &recorder);
        context = table.add(consumer, &callbacks);
    }
    void added(const char* allocId, std::vector<zor_hostslots_t> hosts)
    {
        zor_allocation_t allocation { text(allocId), text("/apps/web"), static_cast<int32_t>(hosts.size()),
            hosts.data() };
        LibraryCallbacks::table().resourceAdded(nullptr, context, &allocation);
    }
    size_t booked()
    {
        std::lock_guard lock(table.mutex());
        return consumer->resources().size();
    }

    RecordingConsumer recorder;
    ConsumerTable table { resManagerLogger() };
    LibraryCallbacks callbacks { table, resManagerLogger() };
    ConsumerTable::ConsumerPtr consumer;
    ConsumerTable::CallbackContext* context = nullptr;
};

} // namespace

TEST_F(LibraryCallbacksTest, ResourcesComeAndGoWithTheirHost)
{
    added("alloc-1", { { text("hosta"), 1, 0, nullptr }, { text("hostc"), 2, 0, nullptr } });
    ASSERT_THAT(recorder.names(), ElementsAre("hosta", "hostc", "hostc"));
    EXPECT_FLOAT_EQ(recorder.on("hostc")->cpuFactor(), 1.0f) << "no cpuf attribute";
    EXPECT_EQ(booked(), 3u);

    recorder.on("hosta")->setContainerId("ctr-1");
    zor_container_t finished { text("ctr-1"), text("hosta"), text("alloc-1"), ZOR_CONTAINER_FINISH,
        ZOR_EXIT_NORMAL, 0 };
    LibraryCallbacks::table().containerStateChange(nullptr, context, &finished);
    EXPECT_EQ(recorder.on("hosta")->containerState(), ZOR_CONTAINER_FINISH);

    // Only an unavailable host takes its resources along.
    LibraryCallbacks::table().hostStateChange(nullptr, context, "hostc", ZOR_HOST_CLOSE);
    EXPECT_EQ(booked(), 3u);
    LibraryCallbacks::table().hostStateChange(nullptr, context, "hostc", ZOR_HOST_UNAVAIL);
    EXPECT_THAT(recorder.reclaimed, ElementsAre("hostc", "hostc"));
    EXPECT_EQ(booked(), 1u);

    zor_hostslots_t taken { text("hosta"), 1, 0, nullptr };
    zor_reclaim_t reclaim { text("alloc-1"), 1, &taken };
    zor_reclaimlist_t list { 1, &reclaim };
    LibraryCallbacks::table().reclaimForce(nullptr, context, &list);
    EXPECT_THAT(recorder.forced, ElementsAre("alloc-1"));
    EXPECT_THAT(recorder.reclaimed, ElementsAre("hostc", "hostc", "hosta"));
    EXPECT_EQ(booked(), 0u);
}

// A consumer whose callback throws must not end the library's callback
// thread: the throw is logged and goes no further.
TEST_F(LibraryCallbacksTest, ACallbackThatThrowsIsLoggedAndGoesNoFurther)
{
    kav::test::LogCapture capture(resManagerLogger());
    recorder.throws = true;
    added("alloc-1", { { text("hosta"), 1, 0, nullptr } });
    EXPECT_TRUE(logged(capture, "Code[S1]: ")) << "an error line";
    EXPECT_TRUE(logged(capture, "broken consumer"));
    recorder.throws = false;
    added("alloc-1", { { text("hostb"), 1, 0, nullptr } });
    EXPECT_THAT(recorder.names(), ElementsAre("hosta", "hostb"));
}

// ---------------------------------------------------------------- recovery at registration

TEST(ZORResManagerRecovery, LiveContainersTakeTheSlotsTheSurplusIsKilledTheRestIsFree)
{
    zor_attr_t aix[] = { { text("type"), text("aix") } };
    zor_hostslots_t hosts[] = { { text("h1"), 2, 1, aix }, { text("h2"), 1, 0, nullptr } };
    zor_allocation_t allocations[]
        = { { text("alloc-1"), text("/p"), 2, hosts }, { text("alloc-2"), text("/p"), 0, nullptr } };
    zor_hostslots_t beingReclaimed { text("h2"), 1, 0, nullptr };
    zor_reclaim_t reclaims[] = { { text("alloc-1"), 1, &beingReclaimed } };
    zor_container_t containers[] = {
        { text("c1"), text("h1"), text("alloc-1"), ZOR_CONTAINER_RUN, ZOR_EXIT_NONE, 0 },
        { text("c2"), text("h1"), text("alloc-1"), ZOR_CONTAINER_FINISH, ZOR_EXIT_NORMAL, 0 },
        { text("c3"), text("h1"), text("alloc-1"), ZOR_CONTAINER_UNKNOWN, ZOR_EXIT_NONE, 0 },
        { text("c4"), text("h1"), text("alloc-1"), ZOR_CONTAINER_START, ZOR_EXIT_NONE, 0 },
    };
    struct Case {
        const char* what;
        zor_allocreply_t reply;
        std::vector<std::string> books; // host/type/container
        std::vector<std::string> logged;
    };
    for (const Case& c :
        {
            Case { "nothing held", { 0, nullptr, 0, nullptr, 0, nullptr }, {},
                { "create ZORConsumer from scratch" } },
            Case { "live containers first, in reply order", { 1, allocations, 1, reclaims, 4, containers },
                { "h1/aix/c1", "h1/aix/c3" },
                { "Container <c2> on <h1> is CONTAINER_FINISH", "Killing c4 on h1",
                    "There are <4> containers of which <2> belong to allocated slots and <2> belong to other "
                    "slots." } },
            Case { "two allocations: the first", { 2, allocations, 0, nullptr, 0, nullptr },
                { "h1/aix/", "h1/aix/", "h2//" }, { "more than one allocation for consumer run-1" } },
        }) {
        kav::test::LogCapture capture(resManagerLogger());
        RecordingConsumer callback;
        ZORConsumer consumer("run-1", "/p", nullptr, &callback);
        recoverConsumer(consumer, c.reply, resManagerLogger());
        std::vector<std::string> books;
        for (auto& r : consumer.resources())
            books.push_back(r->name() + "/" + r->osType() + "/" + r->containerId());
        EXPECT_EQ(books, c.books) << c.what;
        for (const std::string& line : c.logged)
            EXPECT_TRUE(logged(capture, line)) << c.what << ": " << line;
        EXPECT_EQ(consumer.allocationId(), c.reply.nallocation ? "alloc-1" : "") << c.what;
    }
}

// ---------------------------------------------------------------- house-keeping

TEST(ZORResManagerHouseKeeping, ThePeriodIsTheSmallestScheduleIntervalRegistered)
{
    PeriodicManager periodic;
    ConsumerTable table(resManagerLogger());
    HouseKeeping houseKeeping(periodic, table, resManagerLogger(), [](int) { ADD_FAILURE() << "exited"; });
    for (auto [registered, period] :
        { std::pair { 0u, 0u }, { 5u, 5u }, { 2u, 2u }, { 10u, 2u }, { 0u, 2u } }) {
        houseKeeping.adoptScheduleInterval(registered);
        EXPECT_EQ(houseKeeping.interval(), period) << "after " << registered;
    }
}

TEST(ZORResManagerHouseKeeping, AnAllocationThatVanishedEndsTheProcess)
{
    ScratchCluster scratch;
    scratch.use(kThreeHosts);
    Consumer registered("/apps/web"); // a handle of our own, as a registration holds one
    PeriodicManager periodic;
    ConsumerTable table(resManagerLogger());
    std::vector<int> exits;
    HouseKeeping houseKeeping(periodic, table, resManagerLogger(), [&](int code) { exits.push_back(code); });
    RecordingConsumer callback;
    auto consumer = std::make_shared<ZORConsumer>("run-1", "/apps/web", registered.handle, &callback);
    consumer->setAllocationId("alloc-that-is-gone");
    consumer->requestRealloc(3);
    table.add(consumer, nullptr);
    houseKeeping.run();
    EXPECT_EQ(exits, std::vector<int> { 1 });
    consumer->takeHandle(); // the fixture's to close
}

TEST(ZORResManagerText, CredentialsAreMaskedInTheLogs)
{
    EXPECT_EQ(maskCredential("svc:secret"), "svc:****");
    EXPECT_EQ(maskCredential("opaque-token"), "****");
    EXPECT_EQ(maskCredential(""), "<none>");
}
