#pragma once
// The commands of rsadmin, one method each, apart from their command-line
// parsing (AdminApp) so that tests can run them in-process. Every method
// returns an ExitStatus or throws AdminFailure.
//
// Single-threaded: one command per object, on the calling thread.

#include "interfaces/types/DplStatusList.h"
#include "tools/rsadmin/GlobalOptions.h"
#include "tools/rsadmin/Interrupt.h"
#include "tools/rsadmin/ServiceSession.h"
#include "tools/rsadmin/Transfer.h"

#include <nlohmann/json.hpp>

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// The name of the file a download goes to that means standard output.
inline constexpr const char* kStandardOutput = "-";

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

    // What the resource manager offers: resource groups with their hosts
    // (`groups`, else every group), consumers with the user's role on each.
    int clusterGroups(const std::vector<std::string>& groups);
    int clusterConsumers();

private:
    // Logged on to IRepository; without a consumer that is the global
    // module index, which `warnIfGlobal` says on standard error.
    ServiceSession repository(bool warnIfGlobal = true);
    ServiceSession deployment();
    ServiceSession connect(const char* interfaceName);
    // Prints `json` (with --json) or runs `human`.
    void emit(const nlohmann::json& json, const std::function<void()>& human);
    // The current version of a module for the session's consumer.
    std::string currentModuleVersion(ServiceSession& session, const std::string& name);
    // The hosts' states; nothing when the package has no deployment state.
    std::optional<rs::DplStatusList> readStatus(
        ServiceSession& session, const std::string& name, uint32_t filter);
    // Reads the status until the package has hosts and every one is final
    // (or --max-wait passes), showing each reading; returns the last one.
    rs::DplStatusList watchStatus(ServiceSession& session, const std::string& name, const StatusQuery& query);
    // The resource manager's reason for refusing the consumer, group or
    // host of a deployment, as a sentence.
    std::string placementRefusal(const Placement& placement);
    // Throws AdminFailure(kExitUsage) when `output` cannot take a download.
    void checkOutput(const std::string& output) const;
    // Writes a download to `output` (default: its stored file name;
    // kStandardOutput: standard output) and reports it with `json`.
    void deliverDownload(const std::string& output, const std::string& fileName, const std::string& contents,
        const std::string& what, nlohmann::json json);
    void reportDone(const std::string& text, nlohmann::json json);
    // Sends `file` in pieces of `pieceSize` bytes (fewer when a piece would
    // not fit into one request), several in flight, each through
    // `start(block, flag)`, and returns the last piece's checked answer with
    // the file size; `what` names the request in a failure. A file that
    // `limit` says could not be fetched again is refused before sending.
    // Ctrl-C stops it: the connection is closed (the service then drops
    // the unfinished upload) and AdminFailure(kExitInterrupted) says so.
    template <class Answer, class Start>
    std::pair<rsclient::Reply<Answer>, uint64_t> uploadFile(ServiceSession& session, const std::string& file,
        uint64_t pieceSize, const TransferLimit& limit, const char* what, Start start);

    GlobalOptions options_;
    AdminIo& io_;
    RegistryLookup lookup_;
    ProgressBar::Clock clock_;
};

// The failure of an upload stopped by Ctrl-C.
AdminFailure interruptedUpload(const std::string& file, const std::string& server);

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
    InterruptGuard interrupt([&session] { session.client().close(); });
    try {
        const uint64_t size = sendFileInPieces(file, limit.pieceSize(pieceSize), clock_, io_.err,
            io_.errIsTerminal, [&](std::string_view piece, int32_t flag) {
                if (interrupt.interrupted())
                    throw interruptedUpload(file, session.server());
                if (!upload.send(piece, flag))
                    session.check(upload.finish(), what);
            });
        auto reply = upload.finish();
        session.check(reply, what);
        return { std::move(reply), size };
    } catch (const AdminFailure& failure) {
        if (!interrupt.interrupted() || failure.status() == kExitInterrupted)
            throw;
        throw interruptedUpload(file, session.server());
    }
}

} // namespace rsadmin
