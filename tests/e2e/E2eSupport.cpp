#include "e2e/E2eSupport.h"

#include "interfaces/IAppDeployment.h"
#include "interfaces/IRepository.h"

namespace rs::e2e {

namespace {

template <class Response> LogonAnswer readLogon(WireClient& client, const std::string& responseInterface)
{
    Response response(zephCDRMarshal::prototype);
    LogonAnswer answer;
    if (!client.receive(responseInterface, response))
        return answer;
    answer.answered = true;
    answer.code = response.error() ? response.error()->getCode() : -1;
    answer.token = response.responseToken() ? *response.responseToken() : "";
    answer.user = response.responseUser() ? *response.responseUser() : "";
    return answer;
}

} // namespace

LogonAnswer logon(WireClient& client, const std::string& interfaceName, const std::string& credential,
    const std::string& consumer)
{
    if (interfaceName == kRepository) {
        if (!client.send(kRepository, IRepository::logon_Call(credential, consumer)))
            return {};
        return readLogon<IRepositoryResp::logonResp_Call>(client, "IRepositoryResp");
    }
    if (!client.send(kDeployment, IAppDeployment::logon_Call(credential, consumer)))
        return {};
    return readLogon<IAppDeploymentResp::logonResp_Call>(client, "IAppDeploymentResp");
}

VersionAnswer getVersion(WireClient& client, const std::string& interfaceName)
{
    VersionAnswer answer;
    KavVersion empty;
    if (interfaceName == kRepository) {
        if (!client.send(kRepository, IRepository::getRSVersion_Call(empty, empty, 0)))
            return answer;
        IRepositoryResp::getRSVersionResp_Call response(zephCDRMarshal::prototype);
        if (!client.receive("IRepositoryResp", response))
            return answer;
        answer.answered = true;
        answer.code = response.error() ? response.error()->getCode() : -1;
        if (response.narvVersion()) {
            answer.serviceMajor = response.narvVersion()->major;
            answer.serviceMinor = response.narvVersion()->minor;
            answer.serviceLevel = response.narvVersion()->level;
        }
        answer.productMajor = response.qelVersion() ? response.qelVersion()->major : -1;
        answer.value = response.value();
        return answer;
    }
    if (!client.send(kDeployment, IAppDeployment::getRSVersion_Call(empty, 0)))
        return answer;
    IAppDeploymentResp::getRSVersionResp_Call response(zephCDRMarshal::prototype);
    if (!client.receive("IAppDeploymentResp", response))
        return answer;
    answer.answered = true;
    answer.code = response.error() ? response.error()->getCode() : -1;
    answer.productMajor = response.qelVersion() ? response.qelVersion()->major : -1;
    answer.value = response.value();
    return answer;
}

bool serves(int port, const std::string& interfaceName)
{
    WireClient client;
    if (!client.connect(port, interfaceName))
        return false;
    LogonAnswer answer
        = logon(client, interfaceName, std::string(kAdminUser) + ":" + kAdminPassword, kKnownConsumer);
    return answer.answered && answer.code == 0 && getVersion(client, interfaceName).answered;
}

} // namespace rs::e2e
