#include "rs/repository/operations/GetModuleListWork.h"

#include "rs/repository/IndexFile.h"
#include "rs/repository/operations/ModuleWorkSupport.h"

namespace rs {

using namespace rs::modules;

GetModuleListWork::GetModuleListWork(
    IRepositoryRespClient* response, std::string consumer, std::string user, std::string repository)
    : ModuleWork("GetModuleListWork", response, std::move(consumer), std::move(user), std::move(repository))
{
}

void GetModuleListWork::execute()
{
    if (consumer_ == "/") {
        // The permission asked for is the one on "/": without it every
        // consumer is left out and the list is empty, not refused.
        if (!isPermitted(user_, consumer_, Operation::List))
            return;
        for (const std::string& path : consumerPaths(repository_))
            appendIndex(indexDirectory(repository_, path), path);
        return;
    }
    checkConsumer(consumer_);
    requirePermission(user_, consumer_, Operation::List);
    appendIndex(indexDirectory(repository_, consumer_), consumer_);
}

void GetModuleListWork::appendIndex(const std::string& directory, const std::string& consumer)
{
    kav::IndexFile index(directory);
    for (const kav::ModuleIndexEntry& entry : index.getAllEntries())
        list_.append(toRecord(entry, consumer));
}

void GetModuleListWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    if (error)
        list_ = {};
    response_->getModuleListResp(error ? error : &success, &list_);
}

} // namespace rs
