#include "rs/core/RepositoryService.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"

#include <gtest/gtest.h>

#include <map>
#include <memory>

namespace {

// A resource manager that answers from tables.
class TableResourceManager : public rs::ResourceManagerAccess {
public:
    std::map<std::string, std::vector<std::string>> groups;
    int32_t groupFailure = 0;

    int32_t checkUserRole(const std::string&, const std::string&, int, std::string&) override { return 0; }
    int32_t consumersOfUser(const std::string&, std::vector<std::string>&) override { return 0; }
    int32_t checkConsumer(const std::string&) override { return 0; }
    int32_t hostsOfGroup(const std::string& group, std::vector<std::string>& hosts) override
    {
        if (groupFailure < 0)
            return kav::setError(groupFailure, "group look-up failed", KAV_LOCATION);
        auto it = groups.find(group);
        if (it != groups.end())
            hosts = it->second;
        return 0;
    }
    int32_t unregisterConsumer(const std::string&) override { return 0; }
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
        kav::clearErrorInfo();
    }
    // The check's result code; a refusal must leave its parameters (none: the
    // caller reports the resource manager's failure itself).
    template <class Check> int32_t resultOf(Check check, const kav::Params& parameters = {})
    {
        int32_t result = KAV_GUARDED(check);
        std::unique_ptr<kav::KavErrorInfo> error(kav::takeErrorInfo());
        if (!parameters.empty()) {
            EXPECT_TRUE(error && error->getParams() == parameters) << result;
        }
        return result;
    }

    TableResourceManager resourceManager_;
    TestableService service_;
};

// The checks the operations run against the resource manager, and the code
// each refusal gives.
TEST_F(RepositoryServiceTest, ChecksAgainstTheResourceManager)
{
    auto& groups = resourceManager_.groups;
    groups = { { "busy", { "h1", "h2" } }, { "empty", {} },
        { "InternalResourceGroup", { "node1.example.com", "node2.example.com" } },
        { "Nodes", { "node1.example.com" } } };
    EXPECT_EQ(resultOf([&] { return service_.checkResourceGroup("busy"); }), 0);
    EXPECT_EQ(
        resultOf([&] { return service_.checkResourceGroup("empty"); }, { "empty" }), kav::rc::RS_EMPTY_GROUP);
    EXPECT_EQ(resultOf([&] { return service_.checkHostName("NODE2"); }), 0) << "short name, any case";
    EXPECT_EQ(resultOf([&] { return service_.checkHostName("node"); }, { "node" }), kav::rc::RS_UNKNOWN_HOST)
        << "a prefix of a host's name";
    EXPECT_EQ(
        resultOf([&] { return service_.checkHostName("node3"); }, { "node3" }), kav::rc::RS_UNKNOWN_HOST);
    EXPECT_EQ(resultOf([&] { return service_.checkHostInGroup("node1", "Nodes"); }), 0);
    EXPECT_EQ(resultOf([&] { return service_.checkHostInGroup("node2", "Nodes"); }, { "node2" }),
        kav::rc::RS_UNKNOWN_HOST)
        << "a host of the cluster outside the group";

    groups["InternalResourceGroup"] = {};
    EXPECT_EQ(resultOf([&] { return service_.checkHostName("node1"); }), kav::rc::RS_EMPTY_GROUP);
    resourceManager_.groupFailure = kav::rc::ZOR_CALL_FAILED;
    EXPECT_EQ(resultOf([&] { return service_.checkResourceGroup("busy"); }), kav::rc::ZOR_CALL_FAILED);
}

} // namespace
