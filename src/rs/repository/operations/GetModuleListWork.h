#pragma once
// GetModuleListWork: the records of every module of the connection's
// consumer, deleted ones included. The consumer "/" lists every consumer
// directory that holds an index; the empty consumer lists the global index.
// Answers getModuleListResp.
//
// Threads and ownership: as ModuleWork. The records of each index come
// shared from ModuleListCache; the item holds them until it is deleted.

#include "interfaces/types/RepositoryAppList.h"
#include "rs/repository/operations/ModuleListCache.h"
#include "rs/repository/operations/ModuleWork.h"

#include <vector>

namespace rs {

class GetModuleListWork final : public ModuleWork {
public:
    GetModuleListWork(
        ServiceContext& context, IRepositoryRespClient* response, std::string consumer, std::string user);

private:
    void execute() override;
    // One index whose records are built from its current contents; they are
    // kept for execute(), which then looks the index up no more.
    bool answerableAtOnce() override;
    void answer(const kav::IKavErrorInfo* error) override;

    // Adds the records of the index in directory, naming consumer as their consumer.
    void appendIndex(const std::string& directory, const std::string& consumer);
    // The answer's list: one index's shared records as they are, several joined.
    const RepositoryAppList& answerList();

    modules::SharedRecords built_;
    std::vector<modules::SharedRecords> parts_;
    RepositoryAppList joined_;
};

} // namespace rs
