#pragma once
// AppDeploymentServer: the IAppDeployment side of one client connection
// (administration clients and the deploy command on the hosts). Each call
// is checked and turned into a work item for the service's queue;
// getRSVersion is answered on the spot.
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

#include <initializer_list>

#include <memory>
#include <mutex>
#include <string>

namespace rs {

class AppDeploymentServer final
    : public ConnectionServer<IAppDeployment::CallCompletionImp, IAppDeploymentRespClient> {
public:
    explicit AppDeploymentServer(ServiceContext& context);

    // Binds a new server to an accepted channel; false when it could not.
    static bool serve(zephcomm::Channel* channel, ServiceContext& context);

    // The connection closed: later answers are dropped, a deploy command
    // that went away before a final report sets its host to ERROR (0xd0014c39),
    // and the connection's unfinished package uploads are discarded.
    void complete(int error, zephcomm::Call* call) override;

    void logon(std::unique_ptr<std::string> credential, std::unique_ptr<std::string> consumer) override;
    void addPackage(std::unique_ptr<std::string> packageName, std::unique_ptr<std::string> packageType,
        std::unique_ptr<std::string> packageFileName, rpc::BlockPtr packageData, int32_t flag) override;
    void removePackage(
        std::unique_ptr<std::string> packageName, std::unique_ptr<std::string> packageType) override;
    void installPackage(std::unique_ptr<std::string> packageName, std::unique_ptr<std::string> resourceGroup,
        std::unique_ptr<std::string> hostName) override;
    void cancelPackage(std::unique_ptr<std::string> packageName) override;
    void uninstallPackage(std::unique_ptr<std::string> packageName,
        std::unique_ptr<std::string> resourceGroup, std::unique_ptr<std::string> hostName) override;
    void getPackageList() override;
    void getPackage(std::unique_ptr<std::string> packageName, std::unique_ptr<std::string> packageType,
        std::unique_ptr<std::string> extra) override;
    void setPackageStatus(std::unique_ptr<kav::KavErrorInfo> error, std::unique_ptr<std::string> packageName,
        std::unique_ptr<std::string> hostName, int32_t state) override;
    void getPackageStatus(std::unique_ptr<std::string> packageName, int32_t state) override;
    void installPackageRecheck(std::unique_ptr<std::string> packageName,
        std::unique_ptr<std::string> resourceGroup, std::unique_ptr<std::string> hostName) override;
    void getRSVersion(std::unique_ptr<KavVersion> qelVersion, int32_t value) override;

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

    AppCaller caller() const;
    // Throws 0xd0014c13 unless every argument is present.
    static void requireArguments(std::initializer_list<bool> present, const char* operation);
    // Queues the item that make() creates; any failure is logged, audited
    // when `audited`, and answered at once through fail(error).
    template <class Make, class Fail>
    void submit(const char* operation, bool audited, const std::string& package, Make&& make, Fail&& fail);
    void installPackageCommon(std::unique_ptr<std::string> packageName,
        std::unique_ptr<std::string> resourceGroup, std::unique_ptr<std::string> hostName, bool recheck);
    void remember(const std::string& package, const std::string& host, uint32_t state);
    void reportLostDeployCommand();

    LastReport lastReport_;
    const std::shared_ptr<modules::ConnectionUploads> uploads_;
};

} // namespace rs
