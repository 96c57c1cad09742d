#include "rs/core/RepositoryService.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace {

// A resource manager that answers from tables and records what it was asked.
class TableResourceManager : public rs::ResourceManagerAccess {
public:
    std::map<std::string, std::vector<std::string>> groups;
    std::map<std::string, int32_t> unregisterResults;
    int32_t roleResult = 0;
    int32_t groupFailure = 0;
    std::vector<std::string> unregistered;

    int32_t checkUserRole(const std::string&, const std::string&, int, std::string&) override
    {
        if (roleResult < 0)
            KAV_THROW(roleResult, "role refused");
        return roleResult;
    }
    int32_t consumersOfUser(const std::string&, std::vector<std::string>&) override { return 0; }
    int32_t checkConsumer(const std::string& consumer) override
    {
        return consumer == "/known" ? 0
                                    : kav::setError(kav::rc::ZOR_CALL_FAILED, "no consumer", KAV_LOCATION);
    }
    int32_t hostsOfGroup(const std::string& group, std::vector<std::string>& hosts) override
    {
        if (groupFailure < 0)
            return kav::setError(groupFailure, "group look-up failed", KAV_LOCATION);
        auto it = groups.find(group);
        if (it != groups.end())
            hosts = it->second;
        return 0;
    }
    int32_t unregisterConsumer(const std::string& consumer) override
    {
        unregistered.push_back(consumer);
        int32_t result = unregisterResults[consumer];
        return result < 0 ? kav::setError(result, "release failed", KAV_LOCATION) : result;
    }
};

// A listener that only records how it was used.
struct ListenerProbe {
    rs::ListenerSettings settings;
    int created = 0;
};

class ProbeListener : public rs::ConnectionListener {
public:
    int open() override { return 0; }
    void close() override { }
};

class TestableService : public rs::RepositoryService {
public:
    TestableService() = default;
};

class RepositoryServiceTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        service_.setResourceManager(&resourceManager_);
        service_.setListenerFactory([this](const rs::ListenerSettings& settings) {
            probe_.settings = settings;
            ++probe_.created;
            return std::make_unique<ProbeListener>();
        });
        kav::clearErrorInfo();
    }
    // Runs a check that may raise; returns its result code.
    template <class Check> int32_t resultOf(Check check) { return KAV_GUARDED(check); }
    std::unique_ptr<kav::KavErrorInfo> takeError()
    {
        return std::unique_ptr<kav::KavErrorInfo>(kav::takeErrorInfo());
    }

    TableResourceManager resourceManager_;
    ListenerProbe probe_;
    TestableService service_;
};

TEST_F(RepositoryServiceTest, InitReplacesAZeroHostTimeoutAndCreatesTheListener)
{
    service_.init(7070, 0, 9);
    EXPECT_EQ(service_.hostTimeout(), rs::RepositoryService::kDefaultHostTimeout);
    EXPECT_EQ(service_.portText(), "7070");
    EXPECT_EQ(probe_.created, 1);
    EXPECT_EQ(probe_.settings.portText, "7070");
    EXPECT_FALSE(probe_.settings.hostName.empty());

    TestableService other;
    other.setListenerFactory([](const rs::ListenerSettings&) { return std::make_unique<ProbeListener>(); });
    other.init(7071, 25, 1);
    EXPECT_EQ(other.hostTimeout(), 25);
}

TEST_F(RepositoryServiceTest, InitFailsWhenTheListenerCannotBeCreated)
{
    service_.setListenerFactory([](const rs::ListenerSettings&) { return nullptr; });
    EXPECT_EQ(resultOf([&] {
        service_.init(7070, 0, 9);
        return 0;
    }),
        kav::rc::RS_NO_SERVER_MANAGER);
}

TEST_F(RepositoryServiceTest, PermissionRefusalLeavesTheErrorForTheCaller)
{
    resourceManager_.roleResult = kav::rc::ZOR_CALL_FAILED;
    std::string out;
    EXPECT_EQ(service_.checkRole("ann", "/a", 2, out), kav::rc::ZOR_CALL_FAILED);
    auto error = takeError();
    ASSERT_TRUE(error);
    EXPECT_EQ(error->getCode(), kav::rc::ZOR_CALL_FAILED);
}

TEST_F(RepositoryServiceTest, ConsumerCheckDiscardsTheErrorInformation)
{
    EXPECT_EQ(service_.checkConsumerId("/known"), 0);
    EXPECT_EQ(service_.checkConsumerId("/unknown"), kav::rc::ZOR_CALL_FAILED);
    EXPECT_FALSE(takeError());
}

TEST_F(RepositoryServiceTest, ResourceGroupMustHaveHosts)
{
    resourceManager_.groups["busy"] = { "h1", "h2" };
    resourceManager_.groups["empty"] = {};
    EXPECT_EQ(service_.checkResourceGroup("busy"), 0);
    EXPECT_EQ(resultOf([&] { return service_.checkResourceGroup("empty"); }), kav::rc::RS_EMPTY_GROUP);
    EXPECT_EQ(takeError()->getParams(), kav::Params { "empty" });

    resourceManager_.groupFailure = kav::rc::ZOR_CALL_FAILED;
    EXPECT_EQ(service_.checkResourceGroup("busy"), kav::rc::ZOR_CALL_FAILED);
    EXPECT_FALSE(takeError());
}

TEST_F(RepositoryServiceTest, HostNameMustBeACLusterHost)
{
    resourceManager_.groups["InternalResourceGroup"] = { "node1.example.com", "node2.example.com" };
    EXPECT_EQ(service_.checkHostName("NODE2"), 0);
    EXPECT_EQ(resultOf([&] { return service_.checkHostName("node3"); }), kav::rc::RS_UNKNOWN_HOST);
    EXPECT_EQ(takeError()->getParams(), kav::Params { "node3" });
    resourceManager_.groups["Nodes"] = { "node1.example.com" };
    EXPECT_EQ(service_.checkHostInGroup("node1", "Nodes"), 0);
    EXPECT_EQ(resultOf([&] { return service_.checkHostInGroup("node2", "Nodes"); }), kav::rc::RS_UNKNOWN_HOST)
        << "a host of the cluster outside the group";

    resourceManager_.groups["InternalResourceGroup"] = {};
    EXPECT_EQ(resultOf([&] { return service_.checkHostName("node1"); }), kav::rc::RS_EMPTY_GROUP);
}

TEST_F(RepositoryServiceTest, CleanupKeepsConsumersWhoseReleaseFailed)
{
    resourceManager_.unregisterResults
        = { { "/gone", kav::rc::ZOR_CONSUMER_GONE }, { "/busy", kav::rc::ZOR_CALL_FAILED } };
    for (auto consumer : { "/done", "/gone", "/busy", "/done" })
        service_.addConsumerForCleanup(consumer);
    service_.cleanupPackageInstallers();
    EXPECT_EQ(resourceManager_.unregistered, (std::vector<std::string> { "/done", "/gone", "/busy" }));
    resourceManager_.unregistered.clear();
    service_.cleanupConsumers();
    EXPECT_EQ(resourceManager_.unregistered, (std::vector<std::string> { "/busy" }));
    EXPECT_FALSE(takeError());
}

TEST_F(RepositoryServiceTest, RefusedEnqueueReportsTheQueueFailure)
{
    service_.task().msg_queue()->close();
    EXPECT_EQ(service_.enqueue(new rs::Work()), kav::rc::RS_QUEUE_FAILED);
    EXPECT_EQ(takeError()->getCode(), kav::rc::RS_QUEUE_FAILED);
}

TEST_F(RepositoryServiceTest, ShutdownBeforeStartUpIsHarmless)
{
    service_.init(7070, 0, 2);
    EXPECT_NO_THROW(service_.shutdown());
}

} // namespace
