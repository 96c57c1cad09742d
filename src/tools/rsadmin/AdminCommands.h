#pragma once
// The commands of rsadmin, one method each, apart from their command-line
// parsing (AdminApp) so that tests can run them in-process. Every method
// returns an ExitStatus or throws AdminFailure.
//
// Single-threaded: one command per object, on the calling thread.

#include "interfaces/types/DplStatusList.h"
#include "tools/rsadmin/GlobalOptions.h"
#include "tools/rsadmin/ServiceSession.h"
#include "tools/rsadmin/Transfer.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <string>
#include <utility>

namespace rsadmin {

// Where a package goes: a resource group and optionally one host.
struct Placement {
    std::string group;
    std::string host;
};

struct StatusQuery {
    uint32_t stateFilter = 0; // 0: every host
    bool watch = false;
    std::chrono::milliseconds interval { 2000 };
    std::chrono::milliseconds maxWait { 0 }; // 0: watch until every host is final
};

class AdminCommands {
public:
    AdminCommands(
        const GlobalOptions& options, AdminIo& io, RegistryLookup lookup, ProgressBar::Clock clock = {});

    int version();
    int shutdown(const std::string& reason);

    int moduleAdd(const std::string& name, const std::string& file);
    int moduleList();
    int moduleGet(const std::string& name, const std::string& version, const std::string& output);
    int moduleLink(const std::string& application, const std::string& name, bool link);
    int moduleRemove(const std::string& name);

    int packageAdd(const std::string& name, const std::string& type, const std::string& file);
    int packageList();
    int packageGet(const std::string& name, const std::string& type, const std::string& output);
    int packageRemove(const std::string& name, const std::string& type);
    enum class Deploy { install, recheck, uninstall };
    int packageDeploy(Deploy kind, const std::string& name, const Placement& placement);
    int packageCancel(const std::string& name);
    int packageStatus(const std::string& name, const StatusQuery& query);

    // The password file of the sec_passwd plug-in: `file`, else the
    // QEL_SEC_CONF parameter of the resource manager.
    int userSet(const std::string& file, const std::string& user, bool mustExist);

private:
    ServiceSession repository();
    ServiceSession deployment();
    ServiceSession connect(const char* interfaceName);
    // Prints `json` (with --json) or runs `human`.
    void emit(const nlohmann::json& json, const std::function<void()>& human);
    // The current version of a module for the session's consumer.
    std::string currentModuleVersion(ServiceSession& session, const std::string& name);
    rs::DplStatusList readStatus(ServiceSession& session, const std::string& name, uint32_t filter);
    // Reads the status until every host is final (or --max-wait passes),
    // drawing each round; returns the last reading.
    rs::DplStatusList watchStatus(ServiceSession& session, const std::string& name, const StatusQuery& query);
    void drawStatusRound(const rs::DplStatusList& list, int round);
    void reportDone(const std::string& text, nlohmann::json json);
    // Sends `file` in pieces of `pieceSize` bytes (fewer when a piece would
    // not fit into one request), several in flight, each through
    // `start(block, flag)`, and returns the last piece's checked answer with
    // the file size; `what` names the request in a failure. A file that
    // `limit` says could not be fetched again is refused before sending.
    template <class Answer, class Start>
    std::pair<rsclient::Reply<Answer>, uint64_t> uploadFile(ServiceSession& session, const std::string& file,
        uint64_t pieceSize, const TransferLimit& limit, const char* what, Start start);

    GlobalOptions options_;
    AdminIo& io_;
    RegistryLookup lookup_;
    ProgressBar::Clock clock_;
};

template <class Answer, class Start>
std::pair<rsclient::Reply<Answer>, uint64_t> AdminCommands::uploadFile(ServiceSession& session,
    const std::string& file, uint64_t pieceSize, const TransferLimit& limit, const char* what, Start start)
{
    std::error_code unreadable; // reported by sendFileInPieces
    const uint64_t fileSize = std::filesystem::file_size(file, unreadable);
    if (!unreadable)
        limit.requireFetchable(std::filesystem::path(file).filename().string(), fileSize);
    rsclient::UploadOptions uploadOptions;
    uploadOptions.answerWait = session.timeout();
    rsclient::PieceUpload<Answer> upload(
        [&](std::string_view piece, int32_t flag) {
            // The file's buffer is reused for the next piece: each piece gets a block of its own.
            return start(rpc::makeBlock(piece).get(), flag);
        },
        uploadOptions);
    const uint64_t size = sendFileInPieces(file, limit.pieceSize(pieceSize), clock_, io_.err,
        io_.errIsTerminal, [&](std::string_view piece, int32_t flag) {
            if (!upload.send(piece, flag))
                session.check(upload.finish(), what);
        });
    auto reply = upload.finish();
    session.check(reply, what);
    return { std::move(reply), size };
}

} // namespace rsadmin
