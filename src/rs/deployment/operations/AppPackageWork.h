#pragma once
// The work items of the stored application packages: add (one upload
// piece), remove, list and get. They answer through IAppDeploymentResp.
//
// Threads and ownership as AppWork; add and remove run alone under the work
// queue's writer lock, list and get beside other readers.

#include "interfaces/rpc/RpcCodecs.h"
#include "interfaces/types/AppDplList.h"
#include "rs/deployment/operations/AppWork.h"
#include "rs/repository/operations/UploadFile.h"

#include <memory>

namespace rs {

struct PackageName {
    std::string name;
    std::string type; // empty: the package for every host type
};

class AppAddModuleWork final : public AppWork {
public:
    // `uploads`: those of the connection that sent the piece.
    AppAddModuleWork(ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response,
        PackageName package, std::string fileName, rpc::BlockPtr piece, int32_t flag,
        std::shared_ptr<modules::ConnectionUploads> uploads);

private:
    void execute() override;
    void answer(const kav::IKavErrorInfo* error) override;
    // The payload of the package's getPackage answer with an empty file.
    uint64_t answerWithoutFile(const std::string& storedName) const;

    PackageName package_;
    std::string fileName_;
    rpc::BlockPtr piece_;
    int32_t flag_;
    std::shared_ptr<modules::ConnectionUploads> uploads_;
    bool dropped_ = false; // the connection had gone: nothing stored, nothing to audit
};

class AppRemoveModuleWork final : public AppWork {
public:
    AppRemoveModuleWork(
        ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response, PackageName package);

private:
    void execute() override;
    void answer(const kav::IKavErrorInfo* error) override;

    PackageName package_;
};

class AppGetModuleListWork final : public AppWork {
public:
    AppGetModuleListWork(ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response);

private:
    void execute() override;
    void answer(const kav::IKavErrorInfo* error) override;

    AppDplList list_;
};

class AppGetModuleWork final : public AppWork {
public:
    AppGetModuleWork(ServiceContext& context, AppCaller caller, IAppDeploymentRespClient* response,
        PackageName package, std::string extra);

private:
    void execute() override;
    void answer(const kav::IKavErrorInfo* error) override;
    bool isExpectedFailure(const kav::IKavErrorInfo& error) const override;

    PackageName package_;
    std::string extra_;
    AppDplList list_;
    std::string fileName_;
    rpc::BlockPtr data_;
};

} // namespace rs
