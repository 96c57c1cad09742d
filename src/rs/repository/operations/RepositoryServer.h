#pragma once
// RepositoryServer: the IRepository side of one client connection. Each
// call is checked and turned into a work item for the service's queue;
// getRSVersion and shutdownRS are answered on the spot.
//
// Threads and locks as ConnectionServer says; the stored credential is
// guarded by mutex_ too.
// References (kav::Referable): the stub's method table holds the server;
// work items that must reach it back (logon) hold one each.

#include "interfaces/IRepository.h"
#include "rs/core/ConnectionServer.h"
#include "rs/repository/operations/UploadFile.h"

#include <memory>
#include <mutex>
#include <string>

namespace rs {

class RepositoryServer final
    : public ConnectionServer<IRepository::CallCompletionImp, IRepositoryRespClient> {
public:
    // mayShutdown: whether shutdownRS on this connection stops the service.
    explicit RepositoryServer(ServiceContext& context, bool mayShutdown = true);

    // Binds a new server to an accepted channel; false when it could not.
    static bool serve(zephcomm::Channel* channel, ServiceContext& context);

    // The connection closed: later answers are dropped, and its unfinished
    // uploads are discarded.
    void complete(int error, zephcomm::Call* call) override;

    void addModule(std::unique_ptr<std::string> moduleName, std::unique_ptr<std::string> moduleFileName,
        rpc::BlockPtr moduleData, int32_t flag) override;
    void removeModule(std::unique_ptr<std::string> moduleName) override;
    void getModuleList() override;
    void getModule(std::unique_ptr<std::string> moduleName, std::unique_ptr<std::string> version,
        std::unique_ptr<std::string> consumer) override;
    void linkModuleApplication(std::unique_ptr<std::string> applicationName,
        std::unique_ptr<std::string> moduleName, int32_t flag) override;
    void logon(std::unique_ptr<std::string> credential, std::unique_ptr<std::string> consumer) override;
    void shutdownRS(std::unique_ptr<std::string> reason) override;
    void getRSVersion(std::unique_ptr<KavVersion> narvVersion, std::unique_ptr<KavVersion> qelVersion,
        int32_t value) override;

private:
    ~RepositoryServer() override;

    // Whether the connection's user may stop the service.
    bool mayStopService() const;

    const bool mayShutdown_;
    std::string credential_; // guarded by mutex_
    const std::shared_ptr<modules::ConnectionUploads> uploads_;
};

} // namespace rs
