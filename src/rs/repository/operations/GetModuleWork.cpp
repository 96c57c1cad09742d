#include "rs/repository/operations/GetModuleWork.h"

#include "interfaces/IRepository.h"

#include "common/ResultCodes.h"
#include "rs/repository/IndexFile.h"
#include "rs/repository/KavCacheFile.h"
#include "rs/repository/ModuleDirectory.h"
#include "rs/repository/dplfileutils.h"
#include "rs/repository/operations/ModuleWorkSupport.h"
#include "rs/repository/operations/UploadFile.h"

#include <algorithm>

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

namespace {

// Larger indexes are searched by a worker: a search on the connection's
// thread would hold up that thread's other connections.
constexpr size_t kMaxEntriesSearchedAtOnce = 4096;

} // namespace

void GetModuleWork::execute()
{
    if (contents_)
        return; // answered at once: everything was looked up
    checkName("moduleName", module_);
    checkConsumer(consumer_);
    const std::string indexDir = indexDirectory(repository_, consumer_);
    kav::IndexFile index(indexDir);
    if (index.getVersionByName(module_) != version_)
        KAV_THROW(
            kav::rc::RS_WRONG_VERSION, module_ + " is not at version " + version_, { module_, version_ });

    const std::string moduleDir = moduleDirectory(repository_, consumer_, module_);
    kav::ModuleIndexEntry entry;
    index.getServiceEntryByName(module_, entry);
    fileName_ = servedFile(moduleDir, entry.fileName);
    if (fileName_.empty())
        KAV_THROW(kav::rc::RS_NO_MODULE_FILE, moduleDir + " holds no file", { moduleDir });
    // Built once per version of the index, as the next download answered at once finds them.
    records_ = context().moduleLists().records(indexDir, consumer_, RecordSet::Present);

    // A module stored before the limit was lowered: told, never sent.
    const std::string path = moduleDir + "/" + fileName_;
    requireTransferable(
        fileName_, answerBytes(fileName_, *records_, static_cast<uint64_t>(rsmanagerutils::fileSize(path))));
    ACE_Message_Block* contents = nullptr;
    if (context().fileCache().readFile(path, contents) != 0)
        KAV_THROW(
            kav::rc::RS_FILE_READ_FAILED, rsmanagerutils::failureDetail("cannot read " + path), { path });
    contents_.reset(contents);
}

bool GetModuleWork::answerableAtOnce()
{
    // Refusals, a version that moved on and every other failure are the worker's to answer.
    if (!namesPass(consumer_, module_))
        return false;
    const std::string indexDir = indexDirectory(repository_, consumer_);
    kav::IndexSnapshot entries;
    SharedRecords records
        = context().moduleLists().builtRecords(indexDir, consumer_, RecordSet::Present, &entries);
    if (!records || entries->size() > kMaxEntriesSearchedAtOnce)
        return false;
    const auto entry = std::find_if(entries->begin(), entries->end(),
        [&](const kav::ModuleIndexEntry& present) { return present.moduleName == module_; });
    // A line without a file name is read by the worker, as the index file reads its version.
    if (entry == entries->end() || entry->fileName.empty() || entry->version != version_)
        return false;
    const std::string moduleDir = moduleDirectory(repository_, consumer_, module_);
    std::string fileName = servedFile(moduleDir, entry->fileName);
    ACE_Message_Block* cached = nullptr;
    if (fileName.empty() || context().fileCache().cachedFile(moduleDir + "/" + fileName, cached) != 0)
        return false;
    rpc::BlockPtr contents(cached);
    if (answerBytes(fileName, *records, contents->total_length()) > zephcomm::wire::maxMessageSize())
        return false; // the worker refuses it
    fileName_ = std::move(fileName);
    records_ = std::move(records);
    contents_ = std::move(contents);
    return true;
}

uint64_t GetModuleWork::answerBytes(
    const std::string& fileName, const RepositoryAppList& records, uint64_t fileBytes) const
{
    return zephcomm::wire::payloadWithBlock(
        getModuleAnswerWithoutFile(module_, fileName, records), fileBytes);
}

void GetModuleWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    std::string name = module_;
    const RepositoryAppList none;
    if (error) {
        name.clear();
        fileName_.clear();
        contents_ = rpc::makeBlock("");
    }
    response_->getModuleResp(error ? error : &success, &name, &fileName_, contents_.get(),
        error || !records_ ? &none : records_.get());
    contents_.reset();
}

} // namespace rs
