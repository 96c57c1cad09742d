#include "tools/rsdeploy/ServiceChannel.h"

#include "client/RsClient.h"
#include "interfaces/IAppDeployment.h"
#include "interfaces/IAppDeploymentResp.h"
#include "platform/zor/zor.h"

namespace rsdeploy {

ServiceChannel::ServiceChannel(std::string package, std::string host, std::chrono::milliseconds timeout)
    : package_(std::move(package))
    , host_(std::move(host))
    , timeout_(timeout)
{
}

ServiceChannel::~ServiceChannel() = default;

bool ServiceChannel::open(const std::string& credential, std::string& why)
{
    char* url = zor_lookupurl(kServiceName);
    if (!url) {
        why = std::string("no service address registered as ") + kServiceName;
        return false;
    }
    std::string address(url);
    zor_free_string(url);
    int error = 0;
    client_ = rsclient::Client::connect(address, IAppDeployment::kInterfaceName, timeout_, &error);
    if (!client_) {
        why = "connecting to " + address + " failed (" + std::to_string(error) + ")";
        return false;
    }
    auto logon = client_->call<IAppDeployment::logon_Call>(timeout_, credential, kLogonConsumer);
    if (logon.code() != 0) {
        why = "logon at " + address + " refused (code " + std::to_string(logon.code()) + ")";
        return false;
    }
    return true;
}

int ServiceChannel::report(uint32_t state, const kav::IKavErrorInfo* error)
{
    auto reply = client_->call<IAppDeployment::setPackageStatus_Call>(
        timeout_, error, package_, host_, static_cast<int32_t>(state));
    return reply.code();
}

int ServiceChannel::fetch(
    const std::string& package, const std::string& type, std::string& fileName, std::string& contents)
{
    auto reply = client_->call<IAppDeployment::getPackage_Call>(timeout_, package, type, "");
    if (reply.code() != 0)
        return reply.code();
    fileName = reply->packageFileName() ? *reply->packageFileName() : "";
    contents = rpc::blockText(reply->moduleData());
    return 0;
}

} // namespace rsdeploy
