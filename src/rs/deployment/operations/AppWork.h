#pragma once
// AppWork: the common part of the IAppDeployment work items: the caller
// (user and consumer of the connection), the response client, and the
// checks that most package operations start with.
//
// Threads: constructed on a communication thread, processed and deleted on a
// worker thread. Ownership: holds one reference on the response client.

#include "common/Referable.h"
#include "interfaces/IAppDeployment.h"
#include "interfaces/IAppDeploymentResp.h"
#include "rs/core/ServiceWork.h"

#include <string>

namespace rs {

class DeploymentRuntime;
class PackageStore;

// Who asks: the connection's user (empty before logon) and consumer.
struct AppCaller {
    std::string user;
    std::string consumer;
};

class AppWork : public ServiceWork {
protected:
    AppWork(std::string className, const rpc::OperationFacts& facts, ServiceContext& context,
        AppCaller caller, IAppDeploymentRespClient* response)
        : ServiceWork(std::move(className), facts, context)
        , caller_(std::move(caller))
        , response_(response)
    {
    }

    // Throws 0xd0014c26 when the caller lacks the role the operation needs on consumer.
    void checkPermission(const std::string& consumer) const;
    void checkPermission() const { checkPermission(caller_.consumer); }
    // Throws 0xd0014c35 when no package of that name is stored (any host type).
    void requireStoredPackage(const PackageStore& store, const std::string& package) const;
    // Cleans up finished installers, then throws 0xd0014c30 when a run of
    // the package is still going on: a package changes only between runs.
    void requireNoRunningInstaller(const std::string& package) const;
    // The service's deployment machinery; throws 0xd0014c0c when it is not running.
    DeploymentRuntime& deployment() const;
    PackageStore packageStore() const;

    const AppCaller& caller() const { return caller_; }
    IAppDeploymentRespClient& response() const { return *response_; }
    void closeConnection() override
    {
        if (response_)
            response_->closeConnection();
    }

private:
    AppCaller caller_;
    kav::RefPtr<IAppDeploymentRespClient> response_;
};

} // namespace rs
