#pragma once
// AddModuleWork: one piece of a module upload. With a consumer, pieces are
// collected in MODULEDIR/FILE.tmp (flag 0 starts it, 1 ends it, any other
// value is a middle piece) and the last piece moves the file into place and
// records the new version in the consumer's index. Without a consumer every
// call stores a whole file in the global index's module directory, which
// must not be a consumer's (ModuleDirectory.h).
// Answers addModuleResp with the new version (empty for first and middle
// pieces); audits completed uploads and every failure. A module whose
// getModule answer would not fit into one message is refused
// (UploadFile.h); the pieces of a connection that has gone are dropped.
//
// Threads and ownership: as ModuleWork; owns the upload piece until it is
// written.

#include "interfaces/rpc/RpcCodecs.h"
#include "rs/repository/IndexFile.h"
#include "rs/repository/operations/ModuleWork.h"
#include "rs/repository/operations/UploadFile.h"

#include <memory>

namespace rs {

class AddModuleWork final : public ModuleWork {
public:
    static constexpr int32_t kFirstPiece = 0;
    static constexpr int32_t kLastPiece = 1;

    // `uploads`: those of the connection that sent the piece.
    AddModuleWork(ServiceContext& context, std::string module, std::string fileName, rpc::BlockPtr piece,
        int32_t flag, IRepositoryRespClient* response, std::string consumer, std::string user,
        std::shared_ptr<modules::ConnectionUploads> uploads);

private:
    void execute() override;
    void answer(const kav::IKavErrorInfo* error) override;

    // Stores the piece (UploadFile::store) and lets its buffer go.
    bool storePiece(modules::UploadFile& upload, int32_t flag);
    void storeGlobalModule();
    modules::UploadSender sender() const;
    // The payload of the module's getModule answer with an empty file.
    uint64_t answerWithoutFile() const;

    const std::string module_;
    const std::string fileName_;
    rpc::BlockPtr piece_;
    const int32_t flag_;
    const std::shared_ptr<modules::ConnectionUploads> uploads_;
    std::string version_;
};

} // namespace rs
