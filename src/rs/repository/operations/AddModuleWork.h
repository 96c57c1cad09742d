#pragma once
// AddModuleWork: one piece of a module upload. With a consumer, pieces are
// collected in MODULEDIR/FILE.tmp (flag 0 starts it, 1 ends it, any other
// value is a middle piece) and the last piece moves the file into place and
// records the new version in the consumer's index. Without a consumer every
// call stores a whole file in the global index's module directory.
// Answers addModuleResp with the new version (empty for first and middle
// pieces); audits completed uploads and every failure.
//
// Threads and ownership: as ModuleWork; owns the upload piece until it is
// written.

#include "interfaces/rpc/RpcCodecs.h"
#include "rs/repository/operations/ModuleWork.h"

namespace rs {

class AddModuleWork final : public ModuleWork {
public:
    static constexpr int32_t kFirstPiece = 0;
    static constexpr int32_t kLastPiece = 1;

    AddModuleWork(std::string module, std::string fileName, rpc::BlockPtr piece, int32_t flag,
        IRepositoryRespClient* response, std::string consumer, std::string user, std::string repository);

    int32_t kind() const override { return 2; }
    bool isShared() const override { return false; }

private:
    void execute() override;
    void answer(const kav::IKavErrorInfo* error) override;

    void storePiece(const std::string& moduleDir);
    void completeUpload(const std::string& moduleDir);
    void storeGlobalModule();
    void releasePiece();

    const std::string module_;
    const std::string fileName_;
    rpc::BlockPtr piece_;
    const int32_t flag_;
    std::string version_;
};

} // namespace rs
