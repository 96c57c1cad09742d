#pragma once
// GetModuleWork: the file of a module at its current version, served
// through the file cache (a cache hit hands the cached block itself to the
// connection, no copy), with the records of the consumer's present modules.
// Answers getModuleResp. No permission check: a download names its version.
//
// A download whose index is cached and unchanged, whose file is in the file
// cache and whose records are built is answered on the connection's thread
// (answerableAtOnce): only the index is stat'ed and the module's directory
// listed, as a worker would.
//
// Threads and ownership: as ModuleWork; the reference to the contents is
// released after the answer was handed to the connection.

#include "interfaces/rpc/RpcCodecs.h"
#include "interfaces/types/RepositoryAppList.h"
#include "rs/repository/operations/ModuleListCache.h"
#include "rs/repository/operations/ModuleWork.h"

namespace rs {

class GetModuleWork final : public ModuleWork {
public:
    GetModuleWork(ServiceContext& context, std::string module, std::string version,
        IRepositoryRespClient* response, std::string consumer);

private:
    void execute() override;
    // Looks up everything the answer needs in memory and keeps it for
    // execute(); false, keeping nothing, as soon as one part is not there.
    bool answerableAtOnce() override;
    void answer(const kav::IKavErrorInfo* error) override;
    // The payload of the answer that carries the file with the records.
    uint64_t answerBytes(
        const std::string& fileName, const RepositoryAppList& records, uint64_t fileBytes) const;

    const std::string module_;
    const std::string version_;
    std::string fileName_;
    rpc::BlockPtr contents_;
    modules::SharedRecords records_;
};

} // namespace rs
