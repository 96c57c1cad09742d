#include "rs/deployment/operations/AppPackageWork.h"

#include "common/ResultCodes.h"
#include "interfaces/IAppDeploymentResp.h"
#include "rs/deployment/installer/InstallerRegistry.h"
#include "rs/deployment/operations/DeploymentRuntime.h"
#include "rs/deployment/operations/PackageStore.h"
#include "rs/deployment/persist/ServiceStatusSink.h"

#include <ace/Message_Block.h>

namespace rs {

namespace {

// Catalogue messages of the package audit records (user, package, outcome).
constexpr uint32_t kAuditAddDone = 0x14C22;
constexpr uint32_t kAuditAddFailed = 0x14C23;
constexpr uint32_t kAuditRemoveDone = 0x14C24;
constexpr uint32_t kAuditRemoveFailed = 0x14C25;
constexpr const char* kAuditType = "RSDEPLOY";

std::string orDash(const std::string& text)
{
    return text.empty() ? "-" : text;
}

void auditPackage(ServiceContext& context, uint32_t done, uint32_t failed, const std::string& user,
    const std::string& package, const kav::IKavErrorInfo* error)
{
    if (error)
        context.audit(failed,
            { orDash(user), orDash(package), ServiceStatusSink::catalogueMessage(*error), kAuditType }, true);
    else
        context.audit(done, { orDash(user), orDash(package), kAuditType });
}

// The payload size of a getPackage answer that carries `list` and an empty file.
uint64_t getPackageAnswerWithoutFile(
    const std::string& package, const std::string& fileName, const AppDplList& list)
{
    const IAppDeploymentResp::getPackageResp_Call answer(nullptr, package, fileName, nullptr, list);
    return answer.payload()->total_length();
}

} // namespace

AppAddModuleWork::AppAddModuleWork(ServiceContext& context, AppCaller caller,
    IAppDeploymentRespClient* response, PackageName package, std::string fileName, rpc::BlockPtr piece,
    int32_t flag, std::shared_ptr<modules::ConnectionUploads> uploads)
    : AppWork(
        "AppAddModuleWork", IAppDeployment::addPackage_Call::facts(), context, std::move(caller), response)
    , package_(std::move(package))
    , fileName_(std::move(fileName))
    , piece_(std::move(piece))
    , flag_(flag)
    , uploads_(std::move(uploads))
{
}

void AppAddModuleWork::execute()
{
    checkPermission(PackageStore::kConsumer);
    const std::string stored = PackageStore::storedName(package_.name, package_.type);
    requireNoRunningInstaller(package_.name);
    const modules::UploadSender sender { uploads_, [&] { return answerWithoutFile(stored); } };
    dropped_ = !packageStore().storePiece(stored, fileName_, *piece_, flag_, caller().user, sender);
}

uint64_t AppAddModuleWork::answerWithoutFile(const std::string& storedName) const
{
    // The record as getPackage will send it; its consumer, the asker's, is
    // within the room every upload keeps spare.
    AppDplEntry record;
    record.setStoredName(storedName);
    record.owner = caller().user;
    record.fileName = fileName_;
    return getPackageAnswerWithoutFile(package_.name, fileName_, AppDplList { { record } });
}

void AppAddModuleWork::answer(const kav::IKavErrorInfo* error)
{
    if (error || (flag_ == 1 && !dropped_))
        auditPackage(context(), kAuditAddDone, kAuditAddFailed, caller().user, package_.name, error);
    kav::KavErrorInfo success;
    response().addPackageResp(error ? error : &success);
}

AppRemoveModuleWork::AppRemoveModuleWork(
    ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response, PackageName package)
    : AppWork("AppRemoveModuleWork", IAppDeployment::removePackage_Call::facts(), context, std::move(caller),
        response)
    , package_(std::move(package))
{
}

void AppRemoveModuleWork::execute()
{
    checkPermission(PackageStore::kConsumer);
    const std::string stored = PackageStore::storedName(package_.name, package_.type);
    requireNoRunningInstaller(package_.name);
    int32_t result = KAV_GUARDED([&] { packageStore().remove(stored); });
    if (result < 0) {
        std::unique_ptr<kav::KavErrorInfo> cause(kav::takeErrorInfo());
        switch (result) {
        case kav::rc::RS_FILE_WRITE_FAILED:
        case kav::rc::RS_DIR_DELETE_FAILED:
        case kav::rc::RS_NO_SUCH_PACKAGE:
        case kav::rc::RS_BAD_NAME:
            kav::rethrowError(std::move(cause));
        default:
            KAV_THROW(
                kav::rc::RS_PACKAGE_FAILED, cause ? cause->getDetail() : "package not removed", { stored });
        }
    }
    // The hosts' states tell of a package that is gone: a package added
    // again under the name is deployed afresh.
    deployment().removePersistedState(package_.name);
}

void AppRemoveModuleWork::answer(const kav::IKavErrorInfo* error)
{
    auditPackage(context(), kAuditRemoveDone, kAuditRemoveFailed, caller().user, package_.name, error);
    kav::KavErrorInfo success;
    response().removePackageResp(error ? error : &success);
}

AppGetModuleListWork::AppGetModuleListWork(
    ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response)
    : AppWork("AppGetModuleListWork", IAppDeployment::getPackageList_Call::facts(), context,
        std::move(caller), response)
{
}

void AppGetModuleListWork::execute()
{
    checkPermission();
    list_ = packageStore().list(caller().consumer);
}

void AppGetModuleListWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    if (error)
        list_.entries.clear();
    response().getPackageListResp(error ? error : &success, &list_);
}

AppGetModuleWork::AppGetModuleWork(ServiceContext& context, AppCaller caller,
    IAppDeploymentRespClient* response, PackageName package, std::string extra)
    : AppWork(
        "AppGetModuleWork", IAppDeployment::getPackage_Call::facts(), context, std::move(caller), response)
    , package_(std::move(package))
    , extra_(std::move(extra))
{
}

void AppGetModuleWork::execute()
{
    const std::string stored = PackageStore::storedName(package_.name, package_.type);
    AppDplEntry record;
    ACE_Message_Block* data = nullptr;
    packageStore().read(stored, caller().consumer, record, data);
    data_.reset(data);
    fileName_ = record.fileName;
    list_.entries.push_back(std::move(record));
    // A package stored before the limit was lowered: told, never sent.
    modules::requireTransferable(fileName_,
        zephcomm::wire::payloadWithBlock(
            getPackageAnswerWithoutFile(package_.name, fileName_, list_), data_->total_length()));
}

// The deploy command asks for the package of its host's type first and falls
// back to the untyped package: that miss is no failure of the service.
bool AppGetModuleWork::isExpectedFailure(const kav::IKavErrorInfo& error) const
{
    return !package_.type.empty() && error.getCode() == kav::rc::RS_NO_SUCH_PACKAGE;
}

void AppGetModuleWork::answer(const kav::IKavErrorInfo* error)
{
    kav::KavErrorInfo success;
    if (error || !data_) {
        data_ = rpc::makeBlock("");
        list_.entries.clear();
        fileName_.clear();
    }
    response().getPackageResp(error ? error : &success, &package_.name, &fileName_, data_.get(), &list_);
}

} // namespace rs
