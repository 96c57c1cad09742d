#pragma once
// AppDeploymentServer: the IAppDeployment side of one client connection
// (administration clients and the deploy command on the hosts). Every call
// takes the request path of ConnectionServer; this class adds the work item
// of each queued operation, the last status report of the connection (for a
// lost deploy command) and the immediate answer of getRSVersion.
//
// Threads and locks as ConnectionServer says; the last status report is
// guarded by mutex_ too.
// References (kav::Referable): the stub's method table holds the server;
// logon work items hold one each.

#include "interfaces/IAppDeployment.h"
#include "interfaces/types/HostDeployState.h"
#include "rs/core/ConnectionServer.h"
#include "rs/deployment/operations/AppWork.h"
#include "rs/repository/operations/UploadFile.h"

#include <memory>
#include <mutex>
#include <string>

namespace rs {

class AppDeploymentServer final : public ConnectionServer<IAppDeployment::Interface, AppDeploymentServer> {
public:
    explicit AppDeploymentServer(ServiceContext& context);

    // Binds a new server to an accepted channel; false when it could not.
    static bool serve(zephcomm::Channel* channel, ServiceContext& context);

    // The work item of each queued operation (null when it cannot be made).
    std::unique_ptr<Work> makeWork(std::unique_ptr<IAppDeployment::logon_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IAppDeployment::addPackage_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IAppDeployment::removePackage_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IAppDeployment::installPackage_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IAppDeployment::installPackageRecheck_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IAppDeployment::cancelPackage_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IAppDeployment::uninstallPackage_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IAppDeployment::getPackageList_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IAppDeployment::getPackage_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IAppDeployment::setPackageStatus_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IAppDeployment::getPackageStatus_Call> call);
    void answerAtOnce(std::unique_ptr<IAppDeployment::getRSVersion_Call> call);
    // A call failed or the connection closed: a deploy command that went away
    // before a final report sets its host to ERROR (0xd0014c39); once closed,
    // later answers are dropped and the unfinished package uploads discarded.
    void connectionTrouble(bool closed);

    // The last status report received on this connection.
    struct LastReport {
        std::string package;
        std::string host;
        uint32_t state = HOST_NOT_STARTED;
    };
    // True when a connection that last reported `last` ended a deploy command
    // before its host reached a final state.
    static bool lostDeployCommand(const LastReport& last);

private:
    ~AppDeploymentServer() override;

    void auditRefusal(const rpc::OperationFacts& facts, const std::string& user, const std::string& subject,
        const kav::IKavErrorInfo& error) override;
    AppCaller caller() const;
    std::unique_ptr<Work> installWork(
        std::string package, std::string resourceGroup, std::string host, bool recheck);
    void remember(const std::string& package, const std::string& host, uint32_t state);
    void reportLostDeployCommand();

    LastReport lastReport_;
    const std::shared_ptr<modules::ConnectionUploads> uploads_;
};

} // namespace rs
