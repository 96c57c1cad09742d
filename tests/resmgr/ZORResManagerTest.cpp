// ZORResManager driven against the embedded cluster, and the parts that the
// library's threads drive (callbacks, recovery) on their own.

#include "rs/resmgr/ZORResManager.h"

#include "common/KavErrorInfo.h"
#include "common/LogCapture.h"
#include "common/ResultCodes.h"
#include "platform/zor/ClusterAdmin.h"
#include "platform/zor/ClusterFixture.h"

#include <gmock/gmock.h>

#include <algorithm>
#include <deque>
#include <functional>
#include <stdexcept>

using namespace rs::resmgr;
using namespace zortest;
using ::testing::ElementsAre;

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
    int32_t onReclaimForce(const std::string&) override { return 0; }
    int32_t onReclaimResource(VrmResource*) override { return 0; }
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

// A released slot leaves the books, and so does the whole allocation at a
// cancel; giving back what the library no longer holds is no failure.
TEST_F(ZORResManagerTest, ReleaseAndCancelEmptyTheBooks)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 3);
    ASSERT_TRUE(consumer.waitForCount(3));
    EXPECT_THAT(consumer.names(), ElementsAre("hosta", "hostb", "hostc"));
    ASSERT_EQ(manager.release(consumer.on("hostb")), 0);
    ZORConsumer::Resources books;
    ASSERT_EQ(manager.getAllocactedList("/apps/web", books), 0);
    EXPECT_EQ(books.size(), 2u);
    EXPECT_EQ(manager.release(consumer.on("hostb")), 0) << "not owned any more: dropped all the same";

    ASSERT_EQ(manager.cancel("/apps/web"), 0);
    ASSERT_EQ(manager.getAllocactedList("/apps/web", books), 0);
    EXPECT_TRUE(books.empty());
    EXPECT_LT(manager.cancel("/apps/web"), 0); // no allocation any more
    takeError();
    EXPECT_EQ(manager.release(consumer.on("hosta")), 0) << "its allocation is gone: dropped all the same";
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

// A slot the library would not take back stays owed: house-keeping tries
// it again, and says so while it still fails.
TEST_F(ZORResManagerTest, AReleaseTheLibraryRefusesIsTriedAgainAtHouseKeeping)
{
    RecordingConsumer& consumer = make();
    allocate("/apps/web", consumer, 1);
    ASSERT_TRUE(consumer.waitForCount(1));
    zor::ClusterAdmin::abandonConsumer("/apps/web"); // the library refuses this handle's calls now
    EXPECT_LT(manager.release(consumer.on("hosta")), 0);
    takeError();
    kav::test::LogCapture capture(resManagerLogger());
    manager.houseKeeping();
    EXPECT_TRUE(logged(capture, "Remaining slots: <hosta:1>. Will be retried later."));
}

// ---------------------------------------------------------------- checks and refusals

TEST_F(ZORResManagerTest, CheckUserRoleHonoursLevelsAndAncestors)
{
    struct Case {
        const char* user;
        const char* consumer;
        int level;
        bool permitted;
    };
    for (const Case& c : { Case { "alice", "/apps/web", 2, true }, Case { "alice", "/apps/web", 1, false },
             Case { "alice", "/apps", 2, true }, Case { "alice", "/other", 3, false },
             Case { "bob", "/apps/web/sub", 3, true }, Case { "bob", "/apps", 3, false },
             Case { "bob", "/apps/webshop", 3, false }, Case { "mallory", "/apps", 3, false } }) {
        bool permitted = !c.permitted;
        EXPECT_EQ(manager.checkUserRole(c.user, c.consumer, c.level, permitted), 0)
            << c.user << " " << c.consumer;
        EXPECT_EQ(permitted, c.permitted) << c.user << " on " << c.consumer << " level " << c.level;
    }
    std::vector<std::string> consumers;
    ASSERT_EQ(manager.checkUserRole("alice", consumers), 0);
    EXPECT_EQ(consumers, std::vector<std::string> { "/apps" });
}

// Every call the daemon makes, refused: each gives a failure with its error
// record (code 0: any failure code) and leaves the manager working.
TEST_F(ZORResManagerTest, RefusedCallsFailWithTheirErrorAndHarmNothing)
{
    RecordingConsumer& consumer = make();
    ASSERT_EQ(manager.registerConsumer("/apps/web", &consumer, "d", 0), 0);
    std::vector<std::string> hosts;
    const struct {
        const char* what;
        std::function<int32_t()> call;
        int32_t code;
    } rows[] = {
        { "empty consumer id", [&] { return manager.registerConsumer("", &consumer, "d", 0); }, 0 },
        { "no callback", [&] { return manager.registerConsumer("/apps/x", nullptr, "d", 0); }, 0 },
        { "registered twice", [&] { return manager.registerConsumer("/apps/web", &consumer, "d", 0); }, 0 },
        { "no slots", [&] { return manager.getResources("/apps/web", 1, 0, "any", "G3", "any"); }, 0 },
        { "no type", [&] { return manager.getResources("/apps/web", 1, 1, "", "G3", "any"); }, 0 },
        { "unregistered consumer", [&] { return manager.getResources("/nobody", 1, 1, "any", "G3", "any"); },
            kav::rc::ZOR_CONSUMER_GONE },
        { "unknown group", [&] { return manager.getHostGroupInfo("nope", hosts); }, 0 },
        { "unregistered twice",
            [&] {
                manager.unregisterConsumer("/apps/web");
                return manager.unregisterConsumer("/apps/web");
            },
            kav::rc::ZOR_CONSUMER_GONE },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        EXPECT_LT(row.call(), 0);
        auto error = takeError();
        ASSERT_TRUE(error);
        if (row.code != 0) {
            EXPECT_EQ(error->getCode(), row.code);
        }
    }
    EXPECT_EQ(manager.checkConsumer("/apps/web", "G3"), 0) << "still working";
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
    RecordingConsumer recorder;
    ConsumerTable table { resManagerLogger() };
    LibraryCallbacks callbacks { table, resManagerLogger() };
    ConsumerTable::ConsumerPtr consumer;
    ConsumerTable::CallbackContext* context = nullptr;
};

} // namespace

// A consumer whose callback throws must not end the library's callback
// thread: the throw is logged and goes no further.
TEST_F(LibraryCallbacksTest, ACallbackThatThrowsIsLoggedAndGoesNoFurther)
{
    kav::test::LogCapture capture(resManagerLogger());
    recorder.throws = true;
    zor_hostslots_t hosta { text("hosta"), 1, 0, nullptr }, hostb { text("hostb"), 1, 0, nullptr };
    zor_allocation_t allocation { text("alloc-1"), text("/apps/web"), 1, &hosta };
    LibraryCallbacks::table().resourceAdded(nullptr, context, &allocation);
    EXPECT_TRUE(logged(capture, "Code[S1]: ")) << "an error line";
    EXPECT_TRUE(logged(capture, "broken consumer"));
    recorder.throws = false;
    allocation.hosts = &hostb;
    LibraryCallbacks::table().resourceAdded(nullptr, context, &allocation);
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

TEST(ZORResManagerText, CredentialsAreMaskedInTheLogs)
{
    EXPECT_EQ(maskCredential("svc:secret"), "svc:****");
    EXPECT_EQ(maskCredential("opaque-token"), "****");
    EXPECT_EQ(maskCredential(""), "<none>");
}
