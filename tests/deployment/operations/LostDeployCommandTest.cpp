#include "rs/deployment/operations/AppDeploymentServer.h"

#include "deployment/FakeDeployment.h"
#include "rs/deployment/operations/DeploymentRuntime.h"
#include "support/FakeServiceContext.h"

#include <gtest/gtest.h>

namespace {

using Report = rs::AppDeploymentServer::LastReport;

// A connection whose last report left its host unfinished lost its deploy
// command; one that never named a package and host lost nothing.
TEST(LostDeployCommand, OnlyAnUnfinishedReportedHostIsLost)
{
    for (uint32_t state : { rs::HOST_NOT_STARTED, rs::HOST_WAITING, rs::HOST_DOWNLOADING, rs::HOST_RUNNING })
        EXPECT_TRUE(rs::AppDeploymentServer::lostDeployCommand(Report { "web", "h1", state })) << state;
    for (uint32_t state : { rs::HOST_INSTALLED, rs::HOST_UNINSTALLED, rs::HOST_ERROR, rs::HOST_CANCELLED })
        EXPECT_FALSE(rs::AppDeploymentServer::lostDeployCommand(Report { "web", "h1", state })) << state;
    EXPECT_FALSE(rs::AppDeploymentServer::lostDeployCommand(Report {}));
    EXPECT_FALSE(rs::AppDeploymentServer::lostDeployCommand(Report { "web", "", rs::HOST_DOWNLOADING }));
    EXPECT_FALSE(rs::AppDeploymentServer::lostDeployCommand(Report { "", "h1", rs::HOST_DOWNLOADING }));
}

// The call as the server receives it from the wire.
template <class Call, class... Args> std::unique_ptr<Call> received(const Args&... args)
{
    Call sent(args...);
    auto call = std::make_unique<Call>(zephCDRMarshal::prototype);
    call->unmarshal(sent.payload());
    return call;
}

TEST(LostDeployCommand, AReportStillQueuedWhenTheConnectionGoesDoesNotUndoTheError)
{
    rs::test::FakeServiceContext fake;
    fake.requireLogon = false;
    rs::test::FakeCluster cluster;
    fake.startDeployment(cluster);
    rs::HostStatusTable& table = fake.deployment()->hostStatusTable();
    table.createHMElement("web", "h1", "admin", {}, false);

    auto server = kav::RefPtr<rs::AppDeploymentServer>::adopt(new rs::AppDeploymentServer(fake));
    server->setResponse(new IAppDeploymentRespClient(static_cast<zephcomm::Proxy*>(nullptr)));
    const kav::KavErrorInfo none;
    const auto report = [&](uint32_t state) {
        server->complete(0,
            received<IAppDeployment::setPackageStatus_Call>(
                &none, std::string("web"), std::string("h1"), static_cast<int32_t>(state))
                .release());
    };
    report(rs::HOST_DOWNLOADING);
    fake.runQueued();
    report(rs::HOST_RUNNING); // still waiting when the connection goes
    server->complete(-1, nullptr);
    fake.runQueued();

    auto list = table.getHMStatus("web", rs::HostStatusTable::kFilterAll);
    ASSERT_TRUE(list);
    ASSERT_EQ(list->entries.size(), 1u);
    EXPECT_EQ(list->entries[0].state, rs::HOST_ERROR);
}

} // namespace
