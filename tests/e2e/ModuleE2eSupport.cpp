#include "e2e/ModuleE2eSupport.h"

#include "interfaces/rpc/RpcCodecs.h"
#include "platform/wardn/PasswordFile.h"

#include <algorithm>
#include <fstream>
#include <sstream>

namespace rs::e2e {

namespace fs = std::filesystem;

namespace {

std::string readText(const fs::path& path)
{
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

} // namespace

bool ModuleDaemon::start(const std::map<std::string, std::string>& env)
{
    // The audit directory comes from the cluster's parameters, so that
    // every test run writes its own audit file.
    const fs::path clusterFile = cluster().root() / "cluster.toml";
    std::string text = readText(clusterFile);
    const std::string section = "[params]\n";
    size_t at = text.find(section);
    if (at == std::string::npos) {
        daemon_.failure = "the test cluster file has no [params] section";
        return false;
    }
    text.insert(
        at + section.size(), "QEL_AUDIT_LOGDIR = \"" + (cluster().root() / "audits").string() + "\"\n");
    std::ofstream(clusterFile, std::ios::trunc) << text;
    wardn::setPassword((cluster().root() / "passwd").string(), kGuestUser, kGuestPassword);
    RunOptions options;
    options.env = env;
    options.env["RS_AUDIT_LOG"] = "on";
    return daemon_.start(options);
}

fs::path ModuleDaemon::auditFile() const
{
    return daemon_.cluster.root() / "audits" / "repositoryservice.audit.log";
}

std::vector<std::string> ModuleDaemon::auditLines() const
{
    std::vector<std::string> lines;
    std::istringstream in(readText(auditFile()));
    for (std::string line; std::getline(in, line);)
        if (!line.empty())
            lines.push_back(line);
    return lines;
}

const RepositoryAppEntry* ListResult::find(const std::string& module, const std::string& consumer) const
{
    auto found = std::find_if(records.begin(), records.end(), [&](const RepositoryAppEntry& record) {
        return record.moduleName == module && record.consumer == consumer;
    });
    return found == records.end() ? nullptr : &*found;
}

std::unique_ptr<ModuleSession> ModuleSession::open(
    int port, const std::string& user, const std::string& password, const std::string& consumer)
{
    auto client = rsclient::Client::connect(
        "127.0.0.1:" + std::to_string(port), IRepository::kInterfaceName, kAnswerWait);
    if (!client)
        return nullptr;
    auto logon = client->call<IRepository::logon_Call>(kAnswerWait, user + ":" + password, consumer);
    if (logon.code() != 0)
        return nullptr;
    return std::unique_ptr<ModuleSession>(new ModuleSession(std::move(client)));
}

int32_t ModuleSession::logon(
    const std::string& user, const std::string& password, const std::string& consumer)
{
    return client_->call<IRepository::logon_Call>(kAnswerWait, user + ":" + password, consumer).code();
}

AddResult ModuleSession::addPiece(
    const std::string& module, const std::string& fileName, const std::string& bytes, int32_t flag)
{
    rpc::BlockPtr piece = rpc::makeBlock(bytes);
    auto reply = client_->call<IRepository::addModule_Call>(kAnswerWait, module, fileName, piece.get(), flag);
    AddResult result;
    result.code = reply.code();
    if (reply.arrived() && reply->version())
        result.version = *reply->version();
    return result;
}

AddResult ModuleSession::upload(
    const std::string& module, const std::string& fileName, const std::string& bytes, size_t pieceSize)
{
    if (bytes.size() <= pieceSize)
        return addPiece(module, fileName, bytes, 1);
    AddResult result;
    for (size_t offset = 0; offset < bytes.size(); offset += pieceSize) {
        const bool last = offset + pieceSize >= bytes.size();
        const int32_t flag = offset == 0 ? 0 : last ? 1 : 2;
        result = addPiece(module, fileName, bytes.substr(offset, pieceSize), flag);
        if (result.code != 0)
            break;
    }
    return result;
}

int32_t ModuleSession::remove(const std::string& module)
{
    return client_->call<IRepository::removeModule_Call>(kAnswerWait, module).code();
}

ListResult ModuleSession::list()
{
    auto reply = client_->call<IRepository::getModuleList_Call>(kAnswerWait);
    ListResult result;
    result.code = reply.code();
    if (reply.arrived() && reply->applicationList())
        result.records = reply->applicationList()->entries();
    return result;
}

GetResult ModuleSession::get(
    const std::string& module, const std::string& version, const std::string& consumer)
{
    auto reply = client_->call<IRepository::getModule_Call>(kAnswerWait, module, version, consumer);
    GetResult result;
    result.code = reply.code();
    if (!reply.arrived())
        return result;
    result.packageName = reply->packageName() ? *reply->packageName() : "";
    result.fileName = reply->moduleFileName() ? *reply->moduleFileName() : "";
    result.contents = rpc::blockText(reply->moduleData());
    if (reply->applicationList())
        result.records = reply->applicationList()->entries();
    return result;
}

int32_t ModuleSession::link(const std::string& application, const std::string& module, bool link)
{
    return client_
        ->call<IRepository::linkModuleApplication_Call>(kAnswerWait, application, module, link ? 1 : 0)
        .code();
}

} // namespace rs::e2e
