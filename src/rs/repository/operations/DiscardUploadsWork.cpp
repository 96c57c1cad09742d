#include "rs/repository/operations/DiscardUploadsWork.h"

#include "common/Loggers.h"
#include "rs/i18n/ErrorLine.h"

#include <new>

namespace rs {

void DiscardUploadsWork::queueFor(
    ServiceContext& context, const std::shared_ptr<modules::ConnectionUploads>& uploads)
{
    if (!uploads || !uploads->receivedPieces())
        return;
    std::unique_ptr<Work> work(new (std::nothrow) DiscardUploadsWork(uploads));
    if (work && context.enqueue(std::move(work)) >= 0)
        return;
    kav::clearErrorInfo();
    LOG4CXX_WARN(kav::loggers::get(kav::loggers::kWork),
        "DiscardUploadsWork: not queued; the uploads of a closed connection stay until the next start");
}

void DiscardUploadsWork::process()
{
    // Nothing may leave a worker thread: a failure is logged, nobody waits for it.
    if (KAV_GUARDED([this] { uploads_->discard(); }) >= 0)
        return;
    std::unique_ptr<kav::KavErrorInfo> error(kav::takeErrorInfo());
    if (error)
        kav::logErrorLine(kav::loggers::get(kav::loggers::kWork), log4cxx::Level::getError(), *error);
}

} // namespace rs
