// The service's facts about every request operation, as interfaces.rpc
// gives them to the generated code: queue priority, lock mode, permission
// operation number and the role level each number needs.

#include "interfaces/rpc/RpcSupport.h"

#include <gtest/gtest.h>

namespace {

struct Queueing {
    const char* interfaceName;
    const char* operation;
    int32_t kind;
    bool shared;
    int permission; // 0: checks none
};

TEST(OperationFacts, EveryQueuedRequestHasItsKindSharingAndPermission)
{
    const Queueing rows[] = {
        { "IRepository", "logon", 3, true, 0 },
        { "IRepository", "addModule", 2, false, 1 },
        { "IRepository", "removeModule", 2, false, 2 },
        { "IRepository", "getModuleList", 3, true, 4 },
        { "IRepository", "getModule", 1, true, 0 },
        { "IRepository", "linkModuleApplication", 2, false, 3 },
        { "IAppDeployment", "logon", 3, true, 0 },
        { "IAppDeployment", "addPackage", 2, false, 1 },
        { "IAppDeployment", "removePackage", 2, false, 2 },
        { "IAppDeployment", "installPackage", 1, true, 5 },
        { "IAppDeployment", "installPackageRecheck", 1, true, 5 },
        { "IAppDeployment", "cancelPackage", 4, true, 7 },
        { "IAppDeployment", "uninstallPackage", 1, true, 6 },
        { "IAppDeployment", "getPackageList", 3, true, 4 },
        { "IAppDeployment", "getPackage", 1, true, 0 },
        { "IAppDeployment", "setPackageStatus", 2, false, 0 },
        { "IAppDeployment", "getPackageStatus", 3, true, 9 },
    };
    for (const Queueing& row : rows) {
        SCOPED_TRACE(std::string(row.interfaceName) + "::" + row.operation);
        const rpc::OperationFacts* facts = rpc::findOperation(row.interfaceName, row.operation);
        ASSERT_NE(facts, nullptr);
        EXPECT_TRUE(facts->queued);
        EXPECT_EQ(facts->kind, row.kind);
        EXPECT_EQ(facts->shared, row.shared);
        EXPECT_EQ(facts->permission, row.permission);
    }
    for (const char* atOnce : { "getRSVersion", "shutdownRS" })
        EXPECT_FALSE(rpc::findOperation("IRepository", atOnce)->queued) << atOnce;
    EXPECT_FALSE(rpc::findOperation("IAppDeployment", "getRSVersion")->queued);
}

TEST(OperationFacts, EachPermissionOperationNeedsItsRoleLevel)
{
    const struct {
        int permission;
        int level;
    } rows[] = { { 1, 2 }, { 2, 2 }, { 3, 2 }, { 4, 3 }, { 5, 2 }, { 6, 2 }, { 7, 2 }, { 8, 3 }, { 9, 3 },
        { 10, 3 }, { 11, 0 }, { 0, 0 }, { 12, 0 }, { -1, 0 } };
    for (const auto& row : rows)
        EXPECT_EQ(rpc::roleLevel(row.permission), row.level) << row.permission;
}

} // namespace
