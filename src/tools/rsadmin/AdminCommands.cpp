// Commands that concern the service as a whole, the connection set-up, and
// the password file.
#include "tools/rsadmin/AdminCommands.h"

#include "interfaces/IAppDeployment.h"
#include "interfaces/IRepository.h"
#include "platform/wardn/PasswordFile.h"
#include "rs/logging/ConfParam.h"
#include "tools/rsadmin/Render.h"
#include "tools/rspasswd/PasswordCommand.h"

#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>

namespace rsadmin {

namespace {

// What this tool tells the service about itself in getRSVersion.
const KavVersion kToolVersion { 4, 0, 0, "rsadmin" };

nlohmann::json versionJson(const KavVersion* version)
{
    if (version == nullptr)
        return nullptr;
    return { { "major", version->major }, { "minor", version->minor }, { "level", version->level },
        { "text", version->text }, { "display", version->display() } };
}

} // namespace

AdminCommands::AdminCommands(
    const GlobalOptions& options, AdminIo& io, RegistryLookup lookup, ProgressBar::Clock clock)
    : options_(options)
    , io_(io)
    , lookup_(std::move(lookup))
    , clock_(std::move(clock))
{
    options_.consumer = resolveConsumer(options_, io_);
}

ServiceSession AdminCommands::connect(const char* interfaceName)
{
    return ServiceSession(resolveServer(options_, io_, lookup_), interfaceName, options_.timeout);
}

AdminFailure interruptedUpload(const std::string& file, const std::string& server)
{
    return AdminFailure(kExitInterrupted,
        "interrupted: the upload of " + file + " was stopped and the connection to " + server
            + " closed; the service keeps nothing of an unfinished upload, so nothing partial was kept");
}

ServiceSession AdminCommands::repository(bool warnIfGlobal)
{
    const std::string user = resolveUser(options_, io_);
    const std::string credential = makeCredential(user, obtainPassword(options_, io_, user));
    if (warnIfGlobal && options_.consumer.empty())
        io_.err << "rsadmin: warning: no consumer given (--consumer or RS_CONSUMER): this works on the "
                   "global module index\n";
    ServiceSession session = connect(IRepository::kInterfaceName);
    session.logon<IRepository::logon_Call>(credential, options_.consumer, true);
    return session;
}

ServiceSession AdminCommands::deployment()
{
    const std::string user = resolveUser(options_, io_);
    const std::string credential = makeCredential(user, obtainPassword(options_, io_, user));
    if (options_.consumer.empty())
        throw AdminFailure(kExitUsage,
            "package commands work for a consumer: pass --consumer PATH or set "
            "RS_CONSUMER (a consumer of the cluster on which you hold a role)");
    ServiceSession session = connect(IAppDeployment::kInterfaceName);
    session.logon<IAppDeployment::logon_Call>(credential, options_.consumer, false);
    return session;
}

void AdminCommands::emit(const nlohmann::json& json, const std::function<void()>& human)
{
    if (options_.json)
        io_.out << json.dump(2) << "\n";
    else
        human();
}

void AdminCommands::reportDone(const std::string& text, nlohmann::json json)
{
    json["ok"] = true;
    emit(json, [&] { io_.out << text << "\n"; });
}

void AdminCommands::checkOutput(const std::string& output) const
{
    if (output == kStandardOutput && options_.json)
        throw AdminFailure(
            kExitUsage, "-o - and --json would both write to standard output: leave out one of them");
}

void AdminCommands::deliverDownload(const std::string& output, const std::string& fileName,
    const std::string& contents, const std::string& what, nlohmann::json json)
{
    const std::string size = " (" + humanBytes(static_cast<double>(contents.size())) + ").";
    json["fileName"] = fileName;
    json["size"] = contents.size();
    if (output == kStandardOutput) {
        io_.out.write(contents.data(), static_cast<std::streamsize>(contents.size()));
        io_.out.flush();
        io_.err << "Wrote " << what << " to standard output" << size << "\n";
        return;
    }
    const std::string path = output.empty() ? std::filesystem::path(fileName).filename().string() : output;
    writeFileInPieces(path, contents, options_.pieceSize, io_.err, io_.errIsTerminal);
    json["path"] = path;
    reportDone("Saved " + what + " as " + path + size, std::move(json));
}

int AdminCommands::version()
{
    ServiceSession session = connect(IRepository::kInterfaceName);
    auto reply = session.request<IRepository::getRSVersion_Call>(
        "report its version", kToolVersion, KavVersion {}, 1);
    const KavVersion* service = reply->narvVersion();
    const KavVersion* manager = reply->qelVersion();
    nlohmann::json json = { { "server", session.server() }, { "host", session.client().peerName() },
        { "service", versionJson(service) }, { "resourceManager", versionJson(manager) },
        { "value", reply->value() } };
    emit(json, [&] {
        io_.out << "service            " << (service ? service->display() : "?") << " on "
                << session.client().peerName() << " (" << session.server() << ")\n";
        io_.out << "resource manager   " << (manager ? manager->display() : "?") << "\n";
    });
    return kExitOk;
}

int AdminCommands::shutdown(const std::string& reason)
{
    ServiceSession session = repository(false);
    const int rc = session.client().send<IRepository::shutdownRS_Call>(options_.timeout, reason);
    if (rc != 0)
        throw AdminFailure(kExitNoConnection,
            "the stop request did not reach " + session.server() + ": " + rsclient::describeResult(rc));
    reportDone("Asked the service at " + session.server() + " to stop.", { { "server", session.server() } });
    return kExitOk;
}

int AdminCommands::userSet(const std::string& file, const std::string& user, bool mustExist)
{
    std::string path = file;
    if (path.empty())
        path = kav::resourceManagerConfParams()("QEL_SEC_CONF").value_or("");
    if (path.empty())
        throw AdminFailure(
            kExitUsage, "no password file: pass --file FILE or set QEL_SEC_CONF in the cluster file");
    std::ifstream existing(path);
    std::stringstream text;
    if (existing)
        text << existing.rdbuf();
    const bool exists = wardn::parseAccounts(text.str()).count(user) != 0;
    if (mustExist && !exists)
        throw AdminFailure(kExitUsage, "user " + user + " is not in " + path + ": use 'rsadmin user add'");
    if (!mustExist && exists)
        throw AdminFailure(
            kExitUsage, "user " + user + " is already in " + path + ": use 'rsadmin user passwd'");
    const int status
        = rspasswd::setUserPassword(path, user, io_.in, io_.err, io_.inIsTerminal, io_.terminalFd);
    if (status != 0)
        return kExitUsage;
    reportDone(std::string(mustExist ? "Changed the password of " : "Added ") + user + " in " + path + ".",
        { { "user", user }, { "file", path } });
    return kExitOk;
}

} // namespace rsadmin
