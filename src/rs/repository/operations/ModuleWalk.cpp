#include "rs/repository/operations/ModuleWalk.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "rs/repository/KavCacheFile.h"
#include "rs/repository/dplfileutils.h"
#include "rs/repository/operations/FileReplacement.h"
#include "rs/repository/operations/UploadFile.h"

namespace rs::modules {

namespace {

void writeIndexFile(kav::IndexFile& index)
{
    if (index.writeServiceFile() != 0)
        KAV_THROW(kav::rc::RS_FILE_WRITE_FAILED, rsmanagerutils::failureDetail("index not written"),
            { kav::IndexFile::kFileName });
}

} // namespace

void refuseNameCaseClash(const kav::IndexFile& index, const std::string& name)
{
    const std::string stored = index.getEntryAnyCase(name);
    if (!stored.empty() && stored != name)
        KAV_THROW(kav::rc::RS_NAME_CASE_CLASH, name + " clashes with " + stored, { name, stored });
}

kav::ModuleIndexEntry upcomingEntry(const kav::IndexFile& index, const std::string& name,
    const std::string& fileName, const std::string& owner)
{
    kav::ModuleIndexEntry entry;
    kav::ModuleIndexEntry previous;
    if (index.getServiceEntryByName(name, previous) == 0 && !previous.deleted) {
        entry.linkCount = previous.linkCount;
        entry.linkedApps = previous.linkedApps;
    }
    entry.moduleName = name;
    entry.version = index.nextVersion(name);
    entry.fileName = fileName;
    entry.owner = owner;
    return entry;
}

kav::ModuleIndexEntry completeUpload(kav::IndexFile& index, const std::string& dir, const std::string& name,
    const std::string& fileName, const std::string& owner, int32_t now, UploadFile& upload,
    kav::KavFileCache& cache)
{
    const std::string target = dir + "/" + fileName;
    kav::ModuleIndexEntry previous;
    const bool hadEntry = index.getServiceEntryByName(name, previous) == 0;

    // The upload's bytes reach the disk before its name replaces the served
    // file, and the old file goes only once the index names the new one: a
    // crash at any point leaves an index whose file is there, and a failed
    // index write puts the replaced file back.
    FileReplacement replacement(upload.path(), target, index.getVersionByName(name), &cache);
    if (rsmanagerutils::syncFile(upload.path()) != 0 || replacement.apply() != 0)
        KAV_THROW(kav::rc::RS_FILE_WRITE_FAILED,
            rsmanagerutils::failureDetail("cannot move the upload to " + target), { target });

    kav::ModuleIndexEntry entry = upcomingEntry(index, name, fileName, owner);
    entry.addTime = now;
    entry.fileSize = static_cast<int32_t>(rsmanagerutils::fileSize(target));
    index.addServiceEntry(entry);
    writeIndexFile(index);
    replacement.commit();
    upload.finish();
    if (hadEntry && !previous.fileName.empty() && previous.fileName != fileName) {
        cache.closeFile(dir + "/" + previous.fileName);
        rsmanagerutils::deleteFile(dir + "/" + previous.fileName);
    }
    return entry;
}

void removeModule(kav::IndexFile& index, const std::string& dir, const std::string& name,
    const std::string& consumer, kav::KavFileCache& cache)
{
    if (!index.doesEntryExist(name))
        KAV_THROW(kav::rc::RS_NO_SUCH_MODULE, name + " does not exist", { name, consumer });
    if (index.getLinkCountByName(name) != 0)
        KAV_THROW(kav::rc::RS_MODULE_LINKED, name + " has linked applications", { name });
    index.deleteServiceByName(name);
    writeIndexFile(index);

    const int removed = rsmanagerutils::deleteDir(dir, &cache);
    if (removed < 0)
        KAV_THROW(kav::rc::RS_DIR_DELETE_FAILED, rsmanagerutils::failureDetail("cannot delete " + dir));
    if (removed == 1)
        KAV_THROW(kav::rc::RS_NO_SUCH_MODULE, dir + " was already gone", { name, consumer });
}

} // namespace rs::modules
