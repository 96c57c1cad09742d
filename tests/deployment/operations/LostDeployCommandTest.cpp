#include "rs/deployment/operations/AppDeploymentServer.h"

#include <gtest/gtest.h>

namespace {

using Report = rs::AppDeploymentServer::LastReport;

TEST(LostDeployCommand, OnlyAnUnfinishedReportedHostIsLost)
{
    for (uint32_t state : { rs::HOST_NOT_STARTED, rs::HOST_WAITING, rs::HOST_DOWNLOADING, rs::HOST_RUNNING })
        EXPECT_TRUE(rs::AppDeploymentServer::lostDeployCommand(Report { "web", "h1", state })) << state;
    for (uint32_t state : { rs::HOST_INSTALLED, rs::HOST_UNINSTALLED, rs::HOST_ERROR, rs::HOST_CANCELLED })
        EXPECT_FALSE(rs::AppDeploymentServer::lostDeployCommand(Report { "web", "h1", state })) << state;
}

TEST(LostDeployCommand, AConnectionThatNeverReportedLosesNothing)
{
    EXPECT_FALSE(rs::AppDeploymentServer::lostDeployCommand(Report {}));
    EXPECT_FALSE(rs::AppDeploymentServer::lostDeployCommand(Report { "web", "", rs::HOST_DOWNLOADING }));
    EXPECT_FALSE(rs::AppDeploymentServer::lostDeployCommand(Report { "", "h1", rs::HOST_DOWNLOADING }));
}

} // namespace
