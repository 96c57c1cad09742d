#include "rs/repository/operations/AddModuleWork.h"

#include "interfaces/IRepository.h"

#include "common/ResultCodes.h"
#include "rs/repository/IndexFile.h"
#include "rs/repository/KavCacheFile.h"
#include "rs/repository/ModuleDirectory.h"
#include "rs/repository/dplfileutils.h"
#include "rs/repository/operations/FileReplacement.h"
#include "rs/repository/operations/ModuleWorkSupport.h"

#include <fcntl.h>

namespace rs {

using namespace rs::modules;

AddModuleWork::AddModuleWork(ServiceContext& context, std::string module, std::string fileName,
    rpc::BlockPtr piece, int32_t flag, IRepositoryRespClient* response, std::string consumer,
    std::string user, std::shared_ptr<ConnectionUploads> uploads)
    : ModuleWork("AddModuleWork", IRepository::addModule_Call::facts(), context, response,
        std::move(consumer), std::move(user))
    , module_(std::move(module))
    , fileName_(std::move(fileName))
    , piece_(std::move(piece))
    , flag_(flag)
    , uploads_(std::move(uploads))
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
    requirePermission();
    if (flag_ == kFirstPiece)
        refuseNameCaseClash();
    const std::string moduleDir = moduleDirectory(repository_, consumer_, module_);
    UploadFile upload(moduleDir, fileName_, sender());
    if (!storePiece(upload, flag_))
        return; // the connection has gone: nobody waits for this upload
    if (flag_ == kLastPiece) {
        completeUpload(moduleDir, upload);
        auditSuccess(context(), Audited::Add, user_, module_);
    }
}

void AddModuleWork::refuseNameCaseClash() const
{
    kav::IndexFile index(indexDirectory(repository_, consumer_));
    const std::string stored = index.getEntryAnyCase(module_);
    if (!stored.empty() && stored != module_)
        KAV_THROW(kav::rc::RS_NAME_CASE_CLASH, module_ + " clashes with " + stored, { module_, stored });
}

bool AddModuleWork::storePiece(UploadFile& upload, int32_t flag)
{
    // The piece's receive buffer goes back before the answer does, so the
    // client's next piece is received into it again instead of into fresh
    // memory that has to be faulted in page by page.
    const rpc::BlockPtr piece = std::move(piece_);
    return upload.store(*piece, flag);
}

UploadSender AddModuleWork::sender() const
{
    return UploadSender { uploads_, [this] { return answerWithoutFile(); } };
}

kav::ModuleIndexEntry AddModuleWork::upcomingEntry(const kav::IndexFile& index) const
{
    kav::ModuleIndexEntry entry;
    kav::ModuleIndexEntry previous;
    if (index.getServiceEntryByName(module_, previous) == 0 && !previous.deleted) {
        entry.linkCount = previous.linkCount;
        entry.linkedApps = previous.linkedApps;
    }
    entry.moduleName = module_;
    entry.version = index.nextVersion(module_);
    entry.fileName = fileName_;
    entry.owner = user_;
    return entry;
}

uint64_t AddModuleWork::answerWithoutFile() const
{
    const kav::IndexFile index(indexDirectory(repository_, consumer_));
    RepositoryAppList records;
    for (const kav::ModuleIndexEntry& present : index.getAllEntries())
        if (!present.deleted && present.moduleName != module_)
            records.append(toRecord(present, consumer_));
    records.append(toRecord(upcomingEntry(index), consumer_));
    return getModuleAnswerWithoutFile(module_, fileName_, records);
}

void AddModuleWork::completeUpload(const std::string& moduleDir, UploadFile& upload)
{
    const std::string target = moduleDir + "/" + fileName_;
    kav::IndexFile index(indexDirectory(repository_, consumer_));
    kav::ModuleIndexEntry previous;
    const bool hadEntry = index.getServiceEntryByName(module_, previous) == 0;

    // The upload's bytes reach the disk before its name replaces the served
    // file, and the old file goes only once the index names the new one: a
    // crash at any point leaves an index whose file is there, and a failed
    // index write puts the replaced file back.
    FileReplacement replacement(
        upload.path(), target, index.getVersionByName(module_), &context().fileCache());
    if (rsmanagerutils::syncFile(upload.path()) != 0 || replacement.apply() != 0)
        KAV_THROW(kav::rc::RS_FILE_WRITE_FAILED, "cannot move the upload to " + target, { target });

    kav::ModuleIndexEntry entry = upcomingEntry(index);
    entry.addTime = context().now();
    entry.fileSize = static_cast<int32_t>(rsmanagerutils::fileSize(target));
    index.addServiceEntry(entry);
    writeIndex(index);
    replacement.commit();
    upload.finish();
    version_ = entry.version;
    if (hadEntry && !previous.fileName.empty() && previous.fileName != fileName_) {
        context().fileCache().closeFile(moduleDir + "/" + previous.fileName);
        rsmanagerutils::deleteFile(moduleDir + "/" + previous.fileName);
    }
}

void AddModuleWork::storeGlobalModule()
{
    // Storing a file here removes the directory's other files: it must not
    // be a consumer's, whose index would go with them.
    refuseConsumerDirectory(
        "moduleName", module_, repository_, moduleDirectory(repository_, consumer_, module_));
    requireStorable(fileName_, zephcomm::wire::payloadWithBlock(answerWithoutFile(), piece_->total_length()));
    const std::string moduleDir = moduleDirectory(repository_, consumer_, module_);
    int created = rsmanagerutils::assertPath(moduleDir);
    if (created < 0)
        KAV_THROW(kav::rc::RS_DIR_FAILED, "cannot create " + moduleDir, { moduleDir });

    // Each call stores a whole file: it is written beside the previous one,
    // moved into place, and only then are the older files removed.
    const std::string upload = moduleDir + "/" + fileName_ + ".tmp";
    const std::string target = moduleDir + "/" + fileName_;
    const int written = rsmanagerutils::createFile(upload, *piece_, O_TRUNC);
    piece_.reset(); // as in storePiece
    if (written != 0 || rsmanagerutils::syncFile(upload) != 0)
        KAV_THROW(kav::rc::RS_FILE_WRITE_FAILED, "cannot write " + upload, { target });
    kav::IndexFile index(repository_);
    FileReplacement replacement(upload, target, index.getVersionByName(module_), &context().fileCache());
    if (replacement.apply() != 0)
        KAV_THROW(kav::rc::RS_FILE_WRITE_FAILED, "cannot move the upload to " + target, { target });

    const std::string version = index.nextVersion(module_);
    index.addServiceEntry(module_, version, fileName_, context().now(), user_, false, 0, 0);
    writeIndex(index);
    replacement.commit();
    version_ = version;
    removeOtherFiles(moduleDir, fileName_, &context().fileCache());
}

void AddModuleWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    if (error) {
        auditFailure(context(), Audited::Add, user_, module_, *error);
        version_.clear();
    }
    response_->addModuleResp(error ? error : &success, &version_);
}

} // namespace rs
