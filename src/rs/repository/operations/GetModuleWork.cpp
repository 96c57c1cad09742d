#include "rs/repository/operations/GetModuleWork.h"

#include "interfaces/IRepository.h"

#include "common/ResultCodes.h"
#include "rs/repository/IndexFile.h"
#include "rs/repository/KavCacheFile.h"
#include "rs/repository/ModuleDirectory.h"
#include "rs/repository/dplfileutils.h"
#include "rs/repository/operations/ModuleWorkSupport.h"
#include "rs/repository/operations/UploadFile.h"

namespace rs {

using namespace rs::modules;

GetModuleWork::GetModuleWork(ServiceContext& context, std::string module, std::string version,
    IRepositoryRespClient* response, std::string consumer)
    : ModuleWork(
        "GetModuleWork", IRepository::getModule_Call::facts(), context, response, std::move(consumer), "")
    , module_(std::move(module))
    , version_(std::move(version))
{
}

void GetModuleWork::execute()
{
    checkName("moduleName", module_);
    checkConsumer(consumer_);
    kav::IndexFile index(indexDirectory(repository_, consumer_));
    if (index.getVersionByName(module_) != version_)
        KAV_THROW(
            kav::rc::RS_WRONG_VERSION, module_ + " is not at version " + version_, { module_, version_ });

    const std::string moduleDir = moduleDirectory(repository_, consumer_, module_);
    kav::ModuleIndexEntry entry;
    index.getServiceEntryByName(module_, entry);
    fileName_ = servedFile(moduleDir, entry.fileName);
    if (fileName_.empty())
        KAV_THROW(kav::rc::RS_NO_MODULE_FILE, moduleDir + " holds no file", { moduleDir });

    for (const kav::ModuleIndexEntry& present : index.getAllEntries()) {
        if (present.deleted)
            continue;
        list_.append(toRecord(present, consumer_));
    }

    // A module stored before the limit was lowered: told, never sent.
    const std::string path = moduleDir + "/" + fileName_;
    requireTransferable(fileName_,
        zephcomm::wire::payloadWithBlock(getModuleAnswerWithoutFile(module_, fileName_, list_),
            static_cast<uint64_t>(rsmanagerutils::fileSize(path))));
    ACE_Message_Block* contents = nullptr;
    if (context().fileCache().readFile(path, contents) != 0)
        KAV_THROW(
            kav::rc::RS_FILE_READ_FAILED, rsmanagerutils::failureDetail("cannot read " + path), { path });
    contents_.reset(contents);
}

void GetModuleWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    std::string name = module_;
    if (error) {
        name.clear();
        fileName_.clear();
        list_ = {};
        contents_ = rpc::makeBlock("");
    }
    response_->getModuleResp(error ? error : &success, &name, &fileName_, contents_.get(), &list_);
    contents_.reset();
}

} // namespace rs
