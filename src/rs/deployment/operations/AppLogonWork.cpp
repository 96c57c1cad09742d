#include "rs/deployment/operations/AppLogonWork.h"

#include "interfaces/IAppDeployment.h"
#include "rs/deployment/operations/AppDeploymentServer.h"

namespace rs {

AppLogonWork::AppLogonWork(std::string credential, std::string consumer, AppDeploymentServer* server,
    IAppDeploymentRespClient* response)
    : LogonWorkFor("AppLogonWork", IAppDeployment::logon_Call::facts(), std::move(credential),
        std::move(consumer), server, response)
{
}

AppLogonWork::~AppLogonWork() = default;

} // namespace rs
