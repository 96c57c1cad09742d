#include "rs/deployment/operations/PackageStore.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "rs/core/ServiceContext.h"
#include "rs/repository/IndexFile.h"
#include "rs/repository/KavCacheFile.h"
#include "rs/repository/ModuleDirectory.h"
#include "rs/repository/NameValidator.h"
#include "rs/repository/dplfileutils.h"
#include "rs/repository/operations/ModuleWalk.h"

#include <ace/Message_Block.h>

namespace rs {

namespace {

AppDplEntry recordOf(const kav::ModuleIndexEntry& entry, const std::string& consumer)
{
    AppDplEntry record;
    record.setStoredName(entry.moduleName);
    record.consumer = consumer;
    record.owner = entry.owner;
    record.fileName = entry.fileName;
    record.fileSize = static_cast<uint32_t>(entry.fileSize);
    record.addTime = static_cast<uint32_t>(entry.addTime);
    return record;
}

} // namespace

PackageStore::PackageStore(ServiceContext& context)
    : context_(context)
    , storageDir_(context.storageDir())
    , indexDir_(storageDir_ + "/" + kConsumer)
{
}

std::string PackageStore::storedName(const std::string& package, const std::string& type)
{
    kav::NameValidator::check("packageName", package, kav::NameKind::Segment);
    if (type.empty())
        return package;
    kav::NameValidator::check("packageType", type, kav::NameKind::Segment);
    return package + kTypeSeparator + type;
}

std::string PackageStore::packageDir(const std::string& storedName) const
{
    return indexDir_ + "/" + storedName;
}

bool PackageStore::storePiece(const std::string& storedName, const std::string& fileName,
    const ACE_Message_Block& piece, int32_t flag, const std::string& owner,
    const modules::UploadSender& sender)
{
    kav::NameValidator::check("packageFileName", fileName, kav::NameKind::Segment);
    if (flag == modules::UploadFile::kFirstPiece)
        modules::refuseNameCaseClash(kav::IndexFile(indexDir_), storedName);
    modules::UploadFile upload(packageDir(storedName), fileName, sender);
    if (!upload.store(piece, flag))
        return false;
    if (flag == modules::UploadFile::kLastPiece) {
        kav::IndexFile index(indexDir_);
        modules::completeUpload(index, packageDir(storedName), storedName, fileName, owner, context_.now(),
            upload, context_.fileCache());
    }
    return true;
}

void PackageStore::remove(const std::string& storedName)
{
    modules::refuseConsumerDirectory("packageName", storedName, storageDir_, packageDir(storedName));
    kav::IndexFile index(indexDir_);
    if (!index.doesEntryExist(storedName))
        KAV_THROW(kav::rc::RS_NO_SUCH_PACKAGE, "package not stored", { storedName });
    modules::removeModule(index, packageDir(storedName), storedName, kConsumer, context_.fileCache());
}

bool PackageStore::contains(const std::string& package) const
{
    return kav::IndexFile(indexDir_).doesEntryExistAnyOS(package);
}

AppDplList PackageStore::list(const std::string& consumer) const
{
    AppDplList list;
    for (const auto& entry : kav::IndexFile(indexDir_).getAllEntries())
        if (!entry.deleted)
            list.entries.push_back(recordOf(entry, consumer));
    return list;
}

void PackageStore::read(const std::string& storedName, const std::string& consumer, AppDplEntry& record,
    ACE_Message_Block*& data) const
{
    data = nullptr;
    kav::ModuleIndexEntry entry;
    if (kav::IndexFile(indexDir_).getServiceEntryByName(storedName, entry) != 0 || entry.deleted)
        KAV_THROW(kav::rc::RS_NO_SUCH_PACKAGE, "package not stored", { storedName });
    const std::string dir = packageDir(storedName);
    const std::string fileName = modules::servedFile(dir, entry.fileName);
    if (fileName.empty())
        KAV_THROW(kav::rc::RS_NO_MODULE_FILE, "package directory holds no file", { dir });
    if (context_.fileCache().readFile(dir + "/" + fileName, data) != 0)
        KAV_THROW(kav::rc::RS_FILE_READ_FAILED, rsmanagerutils::failureDetail("package file not read"),
            { dir + "/" + fileName });
    record = recordOf(entry, consumer);
    record.fileName = fileName;
}

} // namespace rs
