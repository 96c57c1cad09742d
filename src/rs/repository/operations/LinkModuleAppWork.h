#pragma once
// LinkModuleAppWork: adds an application to (link flag set) or removes it
// from (flag clear) the applications linked to a module; a linked module
// cannot be removed. The entry is rewritten even when nothing changed.
// Answers linkModuleApplicationResp.
//
// Threads and ownership: as ModuleWork.

#include "rs/repository/operations/ModuleWork.h"

namespace rs {

class LinkModuleAppWork final : public ModuleWork {
public:
    LinkModuleAppWork(ServiceContext& context, bool link, std::string application, std::string module,
        IRepositoryRespClient* response, std::string consumer, std::string user);

private:
    void execute() override;
    void answer(const kav::IKavErrorInfo* error) override;

    const bool link_;
    const std::string application_;
    const std::string module_;
};

} // namespace rs
