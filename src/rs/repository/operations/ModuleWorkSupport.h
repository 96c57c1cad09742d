#pragma once
// What the module work items share: where a consumer's index and modules
// live, the permission check, the checked index write, the records of the
// list answers and the audit records of uploads and removals.
//
// Threads: worker threads; the functions keep no state of their own.

#include "common/KavErrorInfo.h"
#include "interfaces/types/RepositoryAppList.h"
#include "rs/repository/IndexFile.h"

#include <string>
#include <vector>

namespace rs {
class ServiceContext;
}

namespace rs::modules {

// The directory of a consumer's index below the repository directory. The
// consumer is a resource manager path ("/apps/web"): its leading "/" only
// marks it as absolute, so "/apps/web" and "apps/web" name the same
// directory; the empty consumer is the repository directory itself.
std::string indexDirectory(const std::string& repository, const std::string& consumer);
// indexDirectory + "/" + module.
std::string moduleDirectory(
    const std::string& repository, const std::string& consumer, const std::string& module);

// Refuses (RS_BAD_NAME, logged) a consumer that cannot become a directory.
void checkConsumer(const std::string& consumer);
// Refuses (RS_BAD_NAME, logged) a module or file name.
void checkName(const std::string& argument, const std::string& value);
// Whether checkConsumer and checkName would let both pass; nothing logged.
bool namesPass(const std::string& consumer, const std::string& name);
// Refuses (RS_BAD_NAME, logged) an application name that an index line
// cannot hold; it never becomes a path, so "web/front" is a name like any.
void checkApplicationName(const std::string& value);

// writeServiceFile, throwing RS_FILE_WRITE_FAILED (".index") when it fails.
void writeIndex(kav::IndexFile& index);

// The list record of an index entry, as held by the consumer's index.
RepositoryAppEntry toRecord(const kav::ModuleIndexEntry& entry, const std::string& consumer);

// The payload size of a getModule answer that carries `records` and an
// empty file (zephcomm::wire::payloadWithBlock adds the file).
uint64_t getModuleAnswerWithoutFile(
    const std::string& module, const std::string& fileName, const RepositoryAppList& records);

// The consumer paths below the repository that hold an index, in directory
// listing order: "/" for the repository directory itself, then "/a",
// "/a/b", ... A failure inside the walk is logged and ends it.
std::vector<std::string> consumerPaths(const std::string& repository);

// Audit records of uploads and removals.
enum class Audited { Add, Remove };
void auditSuccess(
    ServiceContext& context, Audited action, const std::string& user, const std::string& module);
void auditFailure(ServiceContext& context, Audited action, const std::string& user, const std::string& module,
    const kav::IKavErrorInfo& error);
// The failure record of catalogue `message`: user, module, failure text.
void auditFailure(ServiceContext& context, uint32_t message, const std::string& user,
    const std::string& module, const kav::IKavErrorInfo& error);

} // namespace rs::modules
