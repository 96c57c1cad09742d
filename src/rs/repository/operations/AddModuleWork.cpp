#include "rs/repository/operations/AddModuleWork.h"

#include "common/ResultCodes.h"
#include "rs/repository/IndexFile.h"
#include "rs/repository/KavCacheFile.h"
#include "rs/repository/dplfileutils.h"
#include "rs/repository/operations/FileReplacement.h"
#include "rs/repository/operations/ModuleWorkSupport.h"

#include <fcntl.h>

#include <ctime>

namespace rs {

using namespace rs::modules;

AddModuleWork::AddModuleWork(std::string module, std::string fileName, rpc::BlockPtr piece, int32_t flag,
    IRepositoryRespClient* response, std::string consumer, std::string user, std::string repository)
    : ModuleWork("AddModuleWork", response, std::move(consumer), std::move(user), std::move(repository))
    , module_(std::move(module))
    , fileName_(std::move(fileName))
    , piece_(std::move(piece))
    , flag_(flag)
{
}

void AddModuleWork::execute()
{
    checkName("moduleName", module_);
    checkName("moduleFileName", fileName_);
    checkConsumer(consumer_);
    if (consumer_.empty()) {
        storeGlobalModule();
        return;
    }
    requirePermission(user_, consumer_, Operation::Add);
    const std::string moduleDir = moduleDirectory(repository_, consumer_, module_);
    rsmanagerutils::assertPath(moduleDir);
    storePiece(moduleDir);
    if (flag_ == kLastPiece) {
        completeUpload(moduleDir);
        auditSuccess(Audited::Add, user_, module_);
    }
}

void AddModuleWork::storePiece(const std::string& moduleDir)
{
    const std::string upload = moduleDir + "/" + fileName_ + ".tmp";
    int openFlags = O_APPEND;
    if (flag_ == kFirstPiece) {
        kav::IndexFile index(indexDirectory(repository_, consumer_));
        const std::string stored = index.getEntryAnyCase(module_);
        if (!stored.empty() && stored != module_)
            KAV_THROW(kav::rc::RS_NAME_CASE_CLASH, module_ + " clashes with " + stored, { module_, stored });
        openFlags = O_TRUNC;
    }
    // The upload is synced once complete; each piece starts its way to the
    // disk now, so that the sync waits for the last piece only.
    const int written
        = rsmanagerutils::createFile(upload, *piece_, openFlags, rsmanagerutils::Writeback::Start);
    releasePiece();
    if (written != 0)
        KAV_THROW(kav::rc::RS_FILE_WRITE_FAILED, "cannot write " + upload, { upload });
}

void AddModuleWork::releasePiece()
{
    // The piece's receive buffer goes back before the answer does, so the
    // client's next piece is received into it again instead of into fresh
    // memory that has to be faulted in page by page.
    piece_.reset();
}

void AddModuleWork::completeUpload(const std::string& moduleDir)
{
    const std::string upload = moduleDir + "/" + fileName_ + ".tmp";
    const std::string target = moduleDir + "/" + fileName_;
    kav::IndexFile index(indexDirectory(repository_, consumer_));
    kav::ModuleIndexEntry previous;
    const bool hadEntry = index.getServiceEntryByName(module_, previous) == 0;

    // The upload's bytes reach the disk before its name replaces the served
    // file, and the old file goes only once the index names the new one: a
    // crash at any point leaves an index whose file is there, and a failed
    // index write puts the replaced file back.
    FileReplacement replacement(upload, target, index.getVersionByName(module_));
    if (rsmanagerutils::syncFile(upload) != 0 || replacement.apply() != 0)
        KAV_THROW(kav::rc::RS_FILE_WRITE_FAILED, "cannot move the upload to " + target, { target });

    kav::ModuleIndexEntry entry;
    entry.moduleName = module_;
    entry.version = index.nextVersion(module_);
    entry.fileName = fileName_;
    entry.addTime = static_cast<int32_t>(std::time(nullptr));
    entry.owner = user_;
    entry.fileSize = static_cast<int32_t>(rsmanagerutils::fileSize(target));
    if (hadEntry && !previous.deleted) {
        entry.linkCount = previous.linkCount;
        entry.linkedApps = previous.linkedApps;
    }
    index.addServiceEntry(entry);
    writeIndex(index);
    replacement.commit();
    version_ = entry.version;
    if (hadEntry && !previous.fileName.empty() && previous.fileName != fileName_) {
        kav::KavFileCache::instance()->closeFile(moduleDir + "/" + previous.fileName);
        rsmanagerutils::deleteFile(moduleDir + "/" + previous.fileName);
    }
}

void AddModuleWork::storeGlobalModule()
{
    const std::string moduleDir = moduleDirectory(repository_, consumer_, module_);
    int created = rsmanagerutils::assertPath(moduleDir);
    if (created < 0)
        KAV_THROW(kav::rc::RS_DIR_FAILED, "cannot create " + moduleDir, { moduleDir });

    // Each call stores a whole file: it is written beside the previous one,
    // moved into place, and only then are the older files removed.
    const std::string upload = moduleDir + "/" + fileName_ + ".tmp";
    const std::string target = moduleDir + "/" + fileName_;
    const int written = rsmanagerutils::createFile(upload, *piece_, O_TRUNC);
    releasePiece();
    if (written != 0 || rsmanagerutils::syncFile(upload) != 0)
        KAV_THROW(kav::rc::RS_FILE_WRITE_FAILED, "cannot write " + upload, { target });
    kav::IndexFile index(repository_);
    FileReplacement replacement(upload, target, index.getVersionByName(module_));
    if (replacement.apply() != 0)
        KAV_THROW(kav::rc::RS_FILE_WRITE_FAILED, "cannot move the upload to " + target, { target });

    const std::string version = index.nextVersion(module_);
    index.addServiceEntry(
        module_, version, fileName_, static_cast<int32_t>(std::time(nullptr)), user_, false, 0, 0);
    writeIndex(index);
    replacement.commit();
    version_ = version;
    removeOtherFiles(moduleDir, fileName_);
}

void AddModuleWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    if (error) {
        auditFailure(Audited::Add, user_, module_, *error);
        version_.clear();
    }
    response_->addModuleResp(error ? error : &success, &version_);
}

} // namespace rs
