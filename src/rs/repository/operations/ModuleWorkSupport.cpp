#include "rs/repository/operations/ModuleWorkSupport.h"

#include "common/Loggers.h"
#include "common/ResultCodes.h"
#include "interfaces/IRepositoryResp.h"
#include "rs/core/ServiceContext.h"
#include "rs/i18n/ErrorLine.h"
#include "rs/logging/AuditLog.h"
#include "rs/repository/NameValidator.h"
#include "rs/repository/dplfileutils.h"

#include <dirent.h>
#include <sys/stat.h>

#include <cerrno>
#include <memory>

namespace rs::modules {

namespace {

// Audit catalogue messages: add succeeded, add failed, remove succeeded, remove failed.
constexpr uint32_t kAddSucceeded = 0x14C22;
constexpr uint32_t kAddFailed = 0x14C23;
constexpr uint32_t kRemoveSucceeded = 0x14C24;
constexpr uint32_t kRemoveFailed = 0x14C25;
// The third parameter of a success record.
constexpr const char* kSuccessMark = "ZOZARAVODO";

const log4cxx::LoggerPtr& workLogger()
{
    static const log4cxx::LoggerPtr& logger = kav::loggers::get(kav::loggers::kWork);
    return logger;
}

std::string relativeConsumer(const std::string& consumer)
{
    return !consumer.empty() && consumer.front() == '/' ? consumer.substr(1) : consumer;
}

std::string orDash(const std::string& value)
{
    return value.empty() ? "-" : value;
}

// Walks REPO + "/" + path, appending the paths of the directories that hold an index.
void collectConsumerPaths(
    const std::string& repository, const std::string& path, std::vector<std::string>& paths)
{
    const std::string directory = repository + (path == "/" ? "" : path);
    std::unique_ptr<DIR, int (*)(DIR*)> handle(::opendir(directory.c_str()), ::closedir);
    if (!handle) {
        const int error = errno;
        KAV_THROW(-error, "cannot list " + directory + ": " + rsmanagerutils::errnoText(error));
    }
    while (const dirent* entry = ::readdir(handle.get())) {
        const std::string name = entry->d_name;
        if (name == "." || name == "..")
            continue;
        struct stat info { };
        if (::lstat((directory + "/" + name).c_str(), &info) != 0)
            continue; // removed while we looked
        if (S_ISDIR(info.st_mode))
            collectConsumerPaths(repository, (path.size() == 1 ? path : path + "/") + name, paths);
        else if (S_ISREG(info.st_mode) && name == kav::IndexFile::kFileName)
            paths.push_back(path);
    }
}

} // namespace

std::string indexDirectory(const std::string& repository, const std::string& consumer)
{
    const std::string relative = relativeConsumer(consumer);
    return relative.empty() ? repository : repository + "/" + relative;
}

std::string moduleDirectory(
    const std::string& repository, const std::string& consumer, const std::string& module)
{
    return indexDirectory(repository, consumer) + "/" + module;
}

void checkConsumer(const std::string& consumer)
{
    kav::NameValidator::check("consumer", relativeConsumer(consumer), kav::NameKind::Consumer);
}

void checkName(const std::string& argument, const std::string& value)
{
    kav::NameValidator::check(argument, value, kav::NameKind::Segment);
}

bool namesPass(const std::string& consumer, const std::string& name)
{
    return !kav::NameValidator::refusalReason(relativeConsumer(consumer), kav::NameKind::Consumer)
        && !kav::NameValidator::refusalReason(name, kav::NameKind::Segment);
}

void checkApplicationName(const std::string& value)
{
    kav::NameValidator::check("applicationName", value, kav::NameKind::Field);
}

void writeIndex(kav::IndexFile& index)
{
    if (index.writeServiceFile() != 0)
        KAV_THROW(kav::rc::RS_FILE_WRITE_FAILED,
            rsmanagerutils::failureDetail("cannot write " + index.path()), { kav::IndexFile::kFileName });
}

RepositoryAppEntry toRecord(const kav::ModuleIndexEntry& entry, const std::string& consumer)
{
    RepositoryAppEntry record;
    record.version = entry.version;
    record.moduleName = entry.moduleName;
    record.linkedApps = entry.linkedApps;
    record.consumer = consumer;
    record.owner = entry.owner;
    record.fileName = entry.fileName;
    record.fileSize = static_cast<uint32_t>(entry.fileSize);
    record.addTime = static_cast<uint32_t>(entry.addTime);
    record.deleted = entry.deleted;
    return record;
}

uint64_t getModuleAnswerWithoutFile(
    const std::string& module, const std::string& fileName, const RepositoryAppList& records)
{
    const IRepositoryResp::getModuleResp_Call answer(nullptr, module, fileName, nullptr, records);
    return answer.payload()->total_length();
}

std::vector<std::string> consumerPaths(const std::string& repository)
{
    std::vector<std::string> paths;
    int32_t result = KAV_GUARDED([&] {
        collectConsumerPaths(repository, "/", paths);
        return 0;
    });
    if (result < 0) {
        std::unique_ptr<kav::KavErrorInfo> error(kav::takeErrorInfo());
        LOG4CXX_ERROR(
            workLogger(), (error ? kav::errorLine(*error) : std::string()) << " getConsumerPathList failed.");
    }
    return paths;
}

void auditSuccess(ServiceContext& context, Audited action, const std::string& user, const std::string& module)
{
    context.audit(action == Audited::Add ? kAddSucceeded : kRemoveSucceeded,
        { orDash(user), orDash(module), kSuccessMark });
}

void auditFailure(ServiceContext& context, Audited action, const std::string& user, const std::string& module,
    const kav::IKavErrorInfo& error)
{
    auditFailure(context, action == Audited::Add ? kAddFailed : kRemoveFailed, user, module, error);
}

void auditFailure(ServiceContext& context, uint32_t message, const std::string& user,
    const std::string& module, const kav::IKavErrorInfo& error)
{
    std::string text
        = kav::catalogueText(static_cast<uint32_t>(error.getCode()) & 0xFFFFFFu, error.getParams());
    if (text.empty())
        text = error.getDetail();
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r'))
        text.pop_back();
    context.audit(message, { orDash(user), orDash(module), text });
}

} // namespace rs::modules
