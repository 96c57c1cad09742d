#include "rs/repository/operations/LinkModuleAppWork.h"

#include "interfaces/IRepository.h"

#include "common/ResultCodes.h"
#include "rs/repository/IndexFile.h"
#include "rs/repository/operations/ModuleWorkSupport.h"

#include <algorithm>

namespace rs {

using namespace rs::modules;

LinkModuleAppWork::LinkModuleAppWork(ServiceContext& context, bool link, std::string application,
    std::string module, IRepositoryRespClient* response, std::string consumer, std::string user)
    : ModuleWork("LinkModuleAppWork", IRepository::linkModuleApplication_Call::facts(), context, response,
        std::move(consumer), std::move(user))
    , link_(link)
    , application_(std::move(application))
    , module_(std::move(module))
{
}

void LinkModuleAppWork::execute()
{
    checkApplicationName(application_);
    checkName("moduleName", module_);
    checkConsumer(consumer_);
    requirePermission();
    kav::IndexFile index(indexDirectory(repository_, consumer_));
    if (!index.doesEntryExist(module_)) {
        if (link_)
            KAV_THROW(kav::rc::RS_LINK_NOT_FOUND, module_ + " does not exist");
        return; // nothing is linked to a module that is not there
    }
    kav::ModuleIndexEntry entry;
    index.getServiceEntryByName(module_, entry);
    auto linked = std::find(entry.linkedApps.begin(), entry.linkedApps.end(), application_);
    if (link_ && linked == entry.linkedApps.end()) {
        entry.linkedApps.push_back(application_);
        ++entry.linkCount;
    } else if (!link_ && linked != entry.linkedApps.end()) {
        entry.linkedApps.erase(linked);
        --entry.linkCount;
    }
    index.addServiceEntry(entry);
    writeIndex(index);
}

void LinkModuleAppWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    response_->linkModuleApplicationResp(error ? error : &success);
}

} // namespace rs
