#pragma once
// RepositoryServer: the IRepository side of one client connection. Each
// call is checked and turned into a work item for the service's queue;
// getRSVersion and shutdownRS are answered on the spot.
//
// Threads: the operations run on the connection's driver thread, one at a
// time; setUserName and logonRefused come from a worker thread (logon). The
// logon state (user name, failed logons) is the gate's, under its own lock;
// consumer and stored credential are guarded by mutex_.
// References (kav::Referable): the stub's method table holds the server;
// work items that must reach it back (logon) hold one each. The server
// holds the response client and releases it when it goes.

#include "interfaces/IRepository.h"
#include "rs/core/LogonGate.h"

#include <mutex>
#include <string>

namespace rs {

class RepositoryServer final : public IRepository::CallCompletionImp {
public:
    // mayShutdown: whether shutdownRS on this connection stops the service.
    explicit RepositoryServer(bool mayShutdown = true);

    // Binds a new server to an accepted channel; false when it could not.
    static bool serve(zephcomm::Channel* channel);

    // Takes over the caller's reference.
    void setResponse(IRepositoryRespClient* response);
    void setUserName(const std::string& userName);
    std::string userName() const;
    // A logon of this connection was refused; the fifth closes it.
    void logonRefused();
    LogonGate& gate() { return gate_; }

    // The connection closed: later answers are dropped.
    void complete(int error, zephcomm::Call* call) override;

    void addModule(std::unique_ptr<std::string> moduleName, std::unique_ptr<std::string> moduleFileName,
                   rpc::BlockPtr moduleData, int32_t flag) override;
    void removeModule(std::unique_ptr<std::string> moduleName) override;
    void getModuleList() override;
    void getModule(std::unique_ptr<std::string> moduleName, std::unique_ptr<std::string> version,
                   std::unique_ptr<std::string> consumer) override;
    void linkModuleApplication(std::unique_ptr<std::string> applicationName, std::unique_ptr<std::string> moduleName,
                               int32_t flag) override;
    void logon(std::unique_ptr<std::string> credential, std::unique_ptr<std::string> consumer) override;
    void shutdownRS(std::unique_ptr<std::string> reason) override;
    void getRSVersion(std::unique_ptr<KavVersion> narvVersion, std::unique_ptr<KavVersion> qelVersion,
                      int32_t value) override;

private:
    ~RepositoryServer() override;

    std::string consumer() const;
    // Whether the connection's user may stop the service.
    bool mayStopService() const;

    const bool mayShutdown_;
    IRepositoryRespClient* response_ = nullptr;
    LogonGate gate_;
    mutable std::mutex mutex_;
    std::string consumer_;
    std::string credential_;
};

} // namespace rs
