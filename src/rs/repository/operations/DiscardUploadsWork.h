#pragma once
// DiscardUploadsWork: queued when a connection that sent upload pieces has
// gone; removes its unfinished uploads (ConnectionUploads::discard) under
// the work queue's exclusive lock, like every other change of the
// repository, and after the pieces the connection had queued before.
// Answers nobody.
//
// Threads: created on a communication thread, processed on a worker thread.

#include "interfaces/IRepository.h"
#include "rs/core/ServiceContext.h"
#include "rs/core/Work.h"
#include "rs/repository/operations/UploadFile.h"

#include <memory>

namespace rs {

class DiscardUploadsWork final : public Work {
public:
    // Called when the connection has gone: queues the clean-up when the
    // connection received upload pieces. A failure to queue is logged; the
    // uploads then stay until the next start-up's repair removes them.
    static void queueFor(ServiceContext& context, const std::shared_ptr<modules::ConnectionUploads>& uploads);

    explicit DiscardUploadsWork(std::shared_ptr<modules::ConnectionUploads> uploads)
        : uploads_(std::move(uploads))
    {
    }

    void process() override;
    // As the upload pieces (both interfaces' share their facts): never taken
    // before a piece queued earlier.
    int32_t kind() const override { return IRepository::addModule_Call::facts().kind; }
    bool isShared() const override { return IRepository::addModule_Call::facts().shared; }

private:
    std::shared_ptr<modules::ConnectionUploads> uploads_;
};

} // namespace rs
