#include "rs/repository/operations/GetModuleListWork.h"

#include "interfaces/IRepository.h"

#include "rs/repository/operations/ModuleWorkSupport.h"

namespace rs {

using namespace rs::modules;

GetModuleListWork::GetModuleListWork(
    ServiceContext& context, IRepositoryRespClient* response, std::string consumer, std::string user)
    : ModuleWork("GetModuleListWork", IRepository::getModuleList_Call::facts(), context, response,
        std::move(consumer), std::move(user))
{
}

void GetModuleListWork::execute()
{
    if (consumer_ == "/") {
        // The permission asked for is the one on "/": without it every
        // consumer is left out and the list is empty, not refused.
        if (!isPermitted(consumer_))
            return;
        for (const std::string& path : consumerPaths(repository_))
            appendIndex(indexDirectory(repository_, path), path);
        return;
    }
    checkConsumer(consumer_);
    requirePermission();
    if (built_)
        parts_.push_back(std::move(built_));
    else
        appendIndex(indexDirectory(repository_, consumer_), consumer_);
}

bool GetModuleListWork::answerableAtOnce()
{
    if (consumer_ != "/")
        built_ = context().moduleLists().builtRecords(indexDirectory(repository_, consumer_), consumer_);
    return built_ != nullptr;
}

void GetModuleListWork::appendIndex(const std::string& directory, const std::string& consumer)
{
    // Lists run often and indexes change seldom: an unchanged index is
    // neither read, parsed nor turned into records again.
    parts_.push_back(context().moduleLists().records(directory, consumer));
}

const RepositoryAppList& GetModuleListWork::answerList()
{
    if (parts_.size() == 1)
        return *parts_.front();
    for (const SharedRecords& part : parts_) {
        for (const RepositoryAppEntry& record : part->entries())
            joined_.append(record);
    }
    return joined_;
}

void GetModuleListWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    const RepositoryAppList empty;
    response_->getModuleListResp(error ? error : &success, error ? &empty : &answerList());
}

} // namespace rs
