#pragma once
// Module repository requests for the end-to-end tests: a logged-on client
// connection to the real daemon with one helper per IRepository request,
// and a daemon whose cluster also knows an unprivileged user and writes an
// audit log of its own.

#include "client/RsClient.h"
#include "e2e/E2eSupport.h"
#include "interfaces/IRepository.h"
#include "interfaces/IRepositoryResp.h"
#include "tools/harness/PatternBytes.h"

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace rs::e2e {

inline constexpr const char* kGuestUser = "guest";
inline constexpr const char* kGuestPassword = "guest-Pass-7";
inline constexpr std::chrono::seconds kAnswerWait { 60 };

// A serving daemon with RS_AUDIT_LOG on, its audit directory inside the
// test cluster, and the user kGuestUser holding no role anywhere.
class ModuleDaemon {
public:
    // False (with the reason in failure()) when the daemon did not serve.
    // `env` is added to the daemon's environment.
    bool start(const std::map<std::string, std::string>& env = {});
    int port() const { return daemon_.port; }
    const std::string& failure() const { return daemon_.failure; }
    TestCluster& cluster() { return daemon_.cluster; }
    DaemonProcess& process() { return daemon_.process; }
    std::filesystem::path storageDir() const { return daemon_.cluster.storageDir(); }
    std::filesystem::path auditFile() const;
    // The audit file's lines.
    std::vector<std::string> auditLines() const;

private:
    ServingDaemon daemon_;
};

struct AddResult {
    int32_t code = -1;
    std::string version;
};

struct GetResult {
    int32_t code = -1;
    std::string packageName;
    std::string fileName;
    std::string contents;
    std::vector<RepositoryAppEntry> records;
};

struct ListResult {
    int32_t code = -1;
    std::vector<RepositoryAppEntry> records;
    // The record of that module and consumer; null when absent.
    const RepositoryAppEntry* find(const std::string& module, const std::string& consumer) const;
};

class ModuleSession {
public:
    // Connects to the daemon on port and logs on; null when either fails.
    static std::unique_ptr<ModuleSession> open(
        int port, const std::string& user, const std::string& password, const std::string& consumer);

    // Another logon on the same connection. The connection takes the
    // consumer even when the logon is refused, and keeps the user of its
    // last successful logon: the way to reach the consumer "/", which the
    // resource manager does not accept. The empty consumer (the global
    // index) is accepted.
    int32_t logon(const std::string& user, const std::string& password, const std::string& consumer);

    // One addModule call (flag 0 first piece, 1 last, other middle).
    AddResult addPiece(
        const std::string& module, const std::string& fileName, const std::string& bytes, int32_t flag);
    // The whole contents in pieces of at most pieceSize bytes; the result of the last call
    // (or of the first failing one).
    AddResult upload(
        const std::string& module, const std::string& fileName, const std::string& bytes, size_t pieceSize);
    int32_t remove(const std::string& module);
    ListResult list();
    GetResult get(const std::string& module, const std::string& version, const std::string& consumer);
    int32_t link(const std::string& application, const std::string& module, bool link);

    rsclient::Client& client() { return *client_; }

private:
    explicit ModuleSession(std::unique_ptr<rsclient::Client> client)
        : client_(std::move(client))
    {
    }

    std::unique_ptr<rsclient::Client> client_;
};

} // namespace rs::e2e
