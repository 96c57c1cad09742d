#pragma once
// RepositoryServer: the IRepository side of one client connection. Every
// call takes the request path of ConnectionServer; this class adds what is
// particular to the interface: the work item of each queued operation, the
// stored credential of logon, the connection's upload pieces, and the
// immediate answers of getRSVersion and shutdownRS.
//
// Threads and locks as ConnectionServer says; the stored credential is
// guarded by mutex_ too.
// References (kav::Referable): the stub's method table holds the server;
// work items that must reach it back (logon) hold one each.

#include "interfaces/IRepository.h"
#include "rs/core/ConnectionServer.h"
#include "rs/repository/operations/UploadFile.h"

#include <memory>
#include <string>

namespace rs {

class RepositoryServer final : public ConnectionServer<IRepository::Interface, RepositoryServer> {
public:
    // mayShutdown: whether shutdownRS on this connection stops the service.
    explicit RepositoryServer(ServiceContext& context, bool mayShutdown = true);

    // Binds a new server to an accepted channel; false when it could not.
    static bool serve(zephcomm::Channel* channel, ServiceContext& context);

    // The work item of each queued operation (null when it cannot be made).
    std::unique_ptr<Work> makeWork(std::unique_ptr<IRepository::addModule_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IRepository::removeModule_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IRepository::getModuleList_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IRepository::getModule_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IRepository::linkModuleApplication_Call> call);
    std::unique_ptr<Work> makeWork(std::unique_ptr<IRepository::logon_Call> call);
    void answerAtOnce(std::unique_ptr<IRepository::shutdownRS_Call> call);
    void answerAtOnce(std::unique_ptr<IRepository::getRSVersion_Call> call);
    // The connection closed: later answers are dropped, and its unfinished
    // uploads are discarded.
    void connectionTrouble(bool closed);

private:
    ~RepositoryServer() override;

    void auditRefusal(const rpc::OperationFacts& facts, const std::string& user, const std::string& subject,
        const kav::IKavErrorInfo& error) override;
    // Whether the connection's user may stop the service.
    bool mayStopService() const;

    const bool mayShutdown_;
    std::string credential_; // guarded by mutex_
    const std::shared_ptr<modules::ConnectionUploads> uploads_;
};

} // namespace rs
