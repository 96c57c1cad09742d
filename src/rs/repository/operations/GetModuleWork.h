#pragma once
// GetModuleWork: the file of a module at its current version, served
// through the file cache (a cache hit hands the cached block itself to the
// connection, no copy), with the records of the consumer's present modules.
// Answers getModuleResp. No permission check: a download names its version.
//
// Threads and ownership: as ModuleWork; the reference to the contents is
// released after the answer was handed to the connection.

#include "interfaces/rpc/RpcCodecs.h"
#include "interfaces/types/RepositoryAppList.h"
#include "rs/repository/operations/ModuleWork.h"

namespace rs {

class GetModuleWork final : public ModuleWork {
public:
    GetModuleWork(ServiceContext& context, std::string module, std::string version,
        IRepositoryRespClient* response, std::string consumer);

private:
    void execute() override;
    void answer(const kav::IKavErrorInfo* error) override;

    const std::string module_;
    const std::string version_;
    std::string fileName_;
    rpc::BlockPtr contents_;
    RepositoryAppList list_;
};

} // namespace rs
