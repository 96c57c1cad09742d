#pragma once
// ServiceChannel: the deploy command's connection to the repository
// service. It finds the service's address registered as "RS_DEPLOY" with
// the resource manager, connects to IAppDeployment and logs on with the
// host's QEL_SERVICE_CREDENTIAL and the cluster services consumer.
//
// Thread: the command's main thread; the client library answers on its own.

#include "tools/rsdeploy/DeployCommand.h"

#include <chrono>
#include <memory>
#include <string>

namespace rsclient {
class Client;
}

namespace rsdeploy {

inline constexpr const char* kServiceName = "RS_DEPLOY";
inline constexpr const char* kLogonConsumer = "/ClusterServices/QELClusterServices";

class ServiceChannel final : public IDeploymentChannel {
public:
    ServiceChannel(std::string package, std::string host, std::chrono::milliseconds timeout);
    ~ServiceChannel() override;

    // Connects and logs on; false with the reason in `why`.
    bool open(const std::string& credential, std::string& why);

    int report(uint32_t state, const kav::IKavErrorInfo* error) override;
    int fetch(const std::string& package, const std::string& type, std::string& fileName,
        std::string& contents) override;

private:
    std::string package_;
    std::string host_;
    std::chrono::milliseconds timeout_;
    std::unique_ptr<rsclient::Client> client_;
};

} // namespace rsdeploy
