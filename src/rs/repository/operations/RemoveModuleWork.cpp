#include "rs/repository/operations/RemoveModuleWork.h"

#include "interfaces/IRepository.h"

#include "common/ResultCodes.h"
#include "rs/repository/IndexFile.h"
#include "rs/repository/ModuleDirectory.h"
#include "rs/repository/dplfileutils.h"
#include "rs/repository/operations/ModuleWalk.h"
#include "rs/repository/operations/ModuleWorkSupport.h"

namespace rs {

using namespace rs::modules;

RemoveModuleWork::RemoveModuleWork(ServiceContext& context, std::string module,
    IRepositoryRespClient* response, std::string consumer, std::string user)
    : ModuleWork("RemoveModuleWork", IRepository::removeModule_Call::facts(), context, response,
        std::move(consumer), std::move(user))
    , module_(std::move(module))
{
}

void RemoveModuleWork::execute()
{
    checkName("moduleName", module_);
    checkConsumer(consumer_);
    // The module directory goes as a whole tree: never a consumer's with it.
    const std::string moduleDir = moduleDirectory(repository_, consumer_, module_);
    refuseConsumerDirectory("moduleName", module_, repository_, moduleDir);
    requirePermission();
    kav::IndexFile index(indexDirectory(repository_, consumer_));
    removeModule(index, moduleDir, module_, consumer_, context().fileCache());
    auditSuccess(context(), Audited::Remove, user_, module_);
}

void RemoveModuleWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    if (error)
        auditFailure(context(), Audited::Remove, user_, module_, *error);
    response_->removeModuleResp(error ? error : &success);
}

} // namespace rs
