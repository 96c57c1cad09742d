// The module commands: IRepository.
#include "tools/rsadmin/AdminCommands.h"

#include "interfaces/IRepository.h"
#include "interfaces/IRepositoryResp.h"
#include "tools/rsadmin/Render.h"

#include <filesystem>
#include <ostream>

namespace rsadmin {

namespace {

constexpr int32_t kModuleMissing = static_cast<int32_t>(0xD0014C1Au);

} // namespace

int AdminCommands::moduleAdd(const std::string& name, const std::string& file)
{
    ServiceSession session = repository();
    const std::string fileName = std::filesystem::path(file).filename().string();
    // Without a consumer the service stores every call as a whole file.
    const uint64_t pieceSize = options_.consumer.empty() ? UINT64_MAX : options_.pieceSize;
    const TransferLimit limit { payloadBytes(IRepository::addModule_Call(name, fileName, nullptr, 0)),
        payloadBytes(IRepositoryResp::getModuleResp_Call(
            nullptr, name, fileName, nullptr, rs::RepositoryAppList {})) };
    const auto [reply, size] = uploadFile<IRepositoryResp::addModuleResp_Call>(
        session, file, pieceSize, limit, "store the module", [&](ACE_Message_Block* block, int32_t flag) {
            return session.client().start<IRepository::addModule_Call>(name, fileName, block, flag);
        });
    const std::string version = reply->version() != nullptr ? *reply->version() : "";
    reportDone("Stored " + name + " version " + version + " (" + humanBytes(static_cast<double>(size)) + ").",
        { { "module", name }, { "version", version }, { "fileName", fileName }, { "size", size } });
    return kExitOk;
}

int AdminCommands::moduleList()
{
    ServiceSession session = repository();
    auto reply = session.request<IRepository::getModuleList_Call>("list the modules");
    const rs::RepositoryAppList empty;
    const rs::RepositoryAppList& list = reply->applicationList() ? *reply->applicationList() : empty;
    emit(toJson(list), [&] {
        if (list.count() == 0)
            io_.out << "No modules" << (options_.consumer.empty() ? "" : " for consumer " + options_.consumer)
                    << ". Add one with 'rsadmin module add NAME FILE'.\n";
        else
            moduleTable(list).print(io_.out);
    });
    return kExitOk;
}

std::string AdminCommands::currentModuleVersion(ServiceSession& session, const std::string& name)
{
    auto reply = session.request<IRepository::getModuleList_Call>("list the modules");
    if (reply->applicationList() != nullptr)
        for (const auto& entry : reply->applicationList()->entries())
            if (entry.moduleName == name && !entry.deleted)
                return entry.version;
    kav::KavErrorInfo missing(
        kModuleMissing, "AdminCommands::currentModuleVersion", "", "", { name, options_.consumer });
    throw AdminFailure(
        kExitRefused, "the service has no module " + name + ": " + describeRefusal(missing), kModuleMissing);
}

int AdminCommands::moduleGet(const std::string& name, const std::string& version, const std::string& output)
{
    checkOutput(output);
    ServiceSession session = repository();
    const std::string wanted = version.empty() ? currentModuleVersion(session, name) : version;
    auto reply
        = session.request<IRepository::getModule_Call>("send the module", name, wanted, options_.consumer);
    const std::string fileName = reply->moduleFileName() ? *reply->moduleFileName() : name;
    deliverDownload(output, fileName, rpc::blockText(reply->moduleData()), name + " version " + wanted,
        { { "module", name }, { "version", wanted } });
    return kExitOk;
}

int AdminCommands::moduleLink(const std::string& application, const std::string& name, bool link)
{
    ServiceSession session = repository();
    session.request<IRepository::linkModuleApplication_Call>(
        link ? "link the application" : "unlink the application", application, name, link ? 1 : 0);
    reportDone((link ? "Linked " : "Unlinked ") + application + (link ? " to " : " from ") + name + ".",
        { { "module", name }, { "application", application }, { "linked", link } });
    return kExitOk;
}

int AdminCommands::moduleRemove(const std::string& name)
{
    ServiceSession session = repository();
    session.request<IRepository::removeModule_Call>("remove the module", name);
    reportDone("Removed " + name + ".", { { "module", name } });
    return kExitOk;
}

} // namespace rsadmin
