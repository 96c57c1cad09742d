#include "tools/rsbench/Transfers.h"

#include "client/ModuleUpload.h"
#include "interfaces/IRepository.h"
#include "interfaces/IRepositoryResp.h"
#include "tools/rsbench/Anchors.h"
#include "tools/rsbench/Load.h"

#include <ace/Message_Block.h>

namespace rsbench {

using Clock = std::chrono::steady_clock;

Upload uploadModule(rsclient::Client& client, const std::string& module, const std::string& fileName,
    std::string_view bytes, uint64_t pieceBytes)
{
    using Answer = IRepositoryResp::addModuleResp_Call;
    rsclient::UploadOptions options;
    options.answerWait = kAnswerWait;
    rsclient::PieceUpload<Answer> pieces(
        [&](std::string_view piece, int32_t flag) {
            // The caller's bytes outlive the upload: sent by reference, not copied.
            return client.start<IRepository::addModule_Call>(
                module, fileName, rsclient::lendBytes(piece).get(), flag);
        },
        options);
    Upload upload;
    const auto start = Clock::now();
    auto reply = rsclient::uploadInPieces(pieces, bytes, pieceBytes);
    upload.seconds = std::chrono::duration<double>(Clock::now() - start).count();
    upload.code = reply.code();
    if (upload.code == 0 && reply->version())
        upload.version = *reply->version();
    return upload;
}

std::optional<double> downloadRate(rsclient::Client& client, const std::vector<ModuleRef>& modules,
    const std::string& consumer, uint64_t bytes, std::chrono::duration<double> duration)
{
    if (modules.empty())
        return std::nullopt;
    auto fetch = [&](const ModuleRef& module) {
        auto got
            = client.call<IRepository::getModule_Call>(kAnswerWait, module.name, module.version, consumer);
        return got.code() == 0 && got->moduleData() && got->moduleData()->total_length() == bytes;
    };
    if (!fetch(modules.front()))
        return std::nullopt;
    uint64_t calls = 0;
    const auto start = Clock::now();
    double elapsed = 0;
    for (size_t next = 1; elapsed < duration.count() || calls < 2; ++next) {
        if (!fetch(modules[next % modules.size()]))
            return std::nullopt;
        ++calls;
        elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    }
    return mebibytesPerSecond(bytes * calls, elapsed);
}

} // namespace rsbench
