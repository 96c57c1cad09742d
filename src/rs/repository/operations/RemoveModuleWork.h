#pragma once
// RemoveModuleWork: removes a module that no application links to. Its
// index entry stays as a tombstone (deleted flag) so that a later upload
// continues its version numbers; its directory is deleted, and a module
// whose directory is a consumer's is refused (ModuleDirectory.h). Answers
// removeModuleResp; audits success and failure.
//
// Threads and ownership: as ModuleWork.

#include "rs/repository/operations/ModuleWork.h"

namespace rs {

class RemoveModuleWork final : public ModuleWork {
public:
    RemoveModuleWork(ServiceContext& context, std::string module, IRepositoryRespClient* response,
        std::string consumer, std::string user);

private:
    void execute() override;
    void answer(const kav::IKavErrorInfo* error) override;

    const std::string module_;
};

} // namespace rs
