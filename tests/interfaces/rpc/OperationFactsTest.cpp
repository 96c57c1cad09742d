// Which role a request needs: changes need the writer's level, listings the
// reader's, and what the service checks itself (logon, fetching by name,
// status reports) none.

#include "interfaces/rpc/RpcSupport.h"

#include <gtest/gtest.h>

namespace {

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
