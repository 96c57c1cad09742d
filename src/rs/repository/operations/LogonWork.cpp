#include "rs/repository/operations/LogonWork.h"

#include "interfaces/IRepository.h"
#include "rs/repository/operations/RepositoryServer.h"

namespace rs {

LogonWork::LogonWork(
    std::string credential, std::string consumer, RepositoryServer* server, IRepositoryRespClient* response)
    : LogonWorkFor("LogonWork", IRepository::logon_Call::facts(), std::move(credential), std::move(consumer),
        server, response)
{
}

LogonWork::~LogonWork() = default;

} // namespace rs
