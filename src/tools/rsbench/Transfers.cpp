#include "tools/rsbench/Transfers.h"

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
    Upload upload;
    const auto start = Clock::now();
    for (size_t offset = 0; offset < bytes.size() || offset == 0; offset += pieceBytes) {
        const size_t length = std::min<size_t>(pieceBytes, bytes.size() - offset);
        const bool last = offset + length >= bytes.size();
        const int32_t flag = last ? 1 : offset == 0 ? 0 : 2;
        // The block borrows the caller's bytes; they outlive the call, which waits for its answer.
        ACE_Message_Block piece(bytes.data() + offset, length);
        piece.wr_ptr(length);
        auto reply = client.call<IRepository::addModule_Call>(kAnswerWait, module, fileName, &piece, flag);
        upload.code = reply.code();
        if (upload.code != 0)
            return upload;
        if (last) {
            upload.version = reply->version() ? *reply->version() : "";
            break;
        }
    }
    upload.seconds = std::chrono::duration<double>(Clock::now() - start).count();
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
