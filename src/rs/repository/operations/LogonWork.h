#pragma once
// LogonWork: an IRepository logon (see LogonWorkFor).

#include "rs/core/LogonWorkFor.h"

#include <string>

class IRepositoryRespClient;

namespace rs {

class RepositoryServer;

class LogonWork final : public LogonWorkFor<RepositoryServer, IRepositoryRespClient> {
public:
    LogonWork(std::string credential, std::string consumer, RepositoryServer* server,
              IRepositoryRespClient* response);
    ~LogonWork() override;
};

} // namespace rs
