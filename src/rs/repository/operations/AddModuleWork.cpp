#include "rs/repository/operations/AddModuleWork.h"

#include "rs/repository/operations/ModuleWalk.h"

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
        refuseNameCaseClash(kav::IndexFile(indexDirectory(repository_, consumer_)), module_);
    const std::string moduleDir = moduleDirectory(repository_, consumer_, module_);
    UploadFile upload(moduleDir, fileName_, sender());
    if (!storePiece(upload, flag_))
        return; // the connection has gone: nobody waits for this upload
    if (flag_ == kLastPiece) {
        kav::IndexFile index(indexDirectory(repository_, consumer_));
        version_ = completeUpload(
            index, moduleDir, module_, fileName_, user_, context().now(), upload, context().fileCache())
                       .version;
        auditSuccess(context(), Audited::Add, user_, module_);
    }
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

uint64_t AddModuleWork::answerWithoutFile() const
{
    const kav::IndexFile index(indexDirectory(repository_, consumer_));
    RepositoryAppList records;
    for (const kav::ModuleIndexEntry& present : index.getAllEntries())
        if (!present.deleted && present.moduleName != module_)
            records.append(toRecord(present, consumer_));
    records.append(toRecord(upcomingEntry(index, module_, fileName_, user_), consumer_));
    return getModuleAnswerWithoutFile(module_, fileName_, records);
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
        KAV_THROW(kav::rc::RS_DIR_FAILED, rsmanagerutils::failureDetail("cannot create " + moduleDir),
            { moduleDir });

    // Each call stores a whole file: it is written beside the previous one,
    // moved into place, and only then are the older files removed.
    const std::string upload = moduleDir + "/" + fileName_ + ".tmp";
    const std::string target = moduleDir + "/" + fileName_;
    const int written = rsmanagerutils::createFile(upload, *piece_, O_TRUNC);
    piece_.reset(); // as in storePiece
    if (written != 0 || rsmanagerutils::syncFile(upload) != 0)
        KAV_THROW(kav::rc::RS_FILE_WRITE_FAILED, rsmanagerutils::failureDetail("cannot write " + upload),
            { target });
    kav::IndexFile index(repository_);
    FileReplacement replacement(upload, target, index.getVersionByName(module_), &context().fileCache());
    if (replacement.apply() != 0)
        KAV_THROW(kav::rc::RS_FILE_WRITE_FAILED,
            rsmanagerutils::failureDetail("cannot move the upload to " + target), { target });

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
