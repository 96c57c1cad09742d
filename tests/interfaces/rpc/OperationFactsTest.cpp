// The role level each permission operation number, and so each request
// operation, needs, as interfaces.rpc gives it to the generated code.

#include "interfaces/rpc/RpcSupport.h"

#include <gtest/gtest.h>

namespace {

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

TEST(OperationFacts, ChangesNeedLevelTwoReadsLevelThreeAndUncheckedOperationsNone)
{
    const struct {
        const char* interfaceName;
        const char* operation;
        int level;
    } rows[] = { { "IRepository", "addModule", 2 }, { "IRepository", "removeModule", 2 },
        { "IRepository", "linkModuleApplication", 2 }, { "IRepository", "getModuleList", 3 },
        { "IRepository", "getModule", 0 }, { "IRepository", "logon", 0 },
        { "IAppDeployment", "addPackage", 2 }, { "IAppDeployment", "removePackage", 2 },
        { "IAppDeployment", "installPackage", 2 }, { "IAppDeployment", "installPackageRecheck", 2 },
        { "IAppDeployment", "uninstallPackage", 2 }, { "IAppDeployment", "cancelPackage", 2 },
        { "IAppDeployment", "getPackageList", 3 }, { "IAppDeployment", "getPackageStatus", 3 },
        { "IAppDeployment", "getPackage", 0 }, { "IAppDeployment", "setPackageStatus", 0 },
        { "IAppDeployment", "logon", 0 } };
    for (const auto& row : rows) {
        const rpc::OperationFacts* facts = rpc::findOperation(row.interfaceName, row.operation);
        ASSERT_TRUE(facts) << row.operation;
        EXPECT_EQ(facts->roleLevel, row.level) << row.interfaceName << "::" << row.operation;
    }
}

} // namespace
