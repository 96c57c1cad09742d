#include "rs/core/ServiceWork.h"

#include "common/Loggers.h"
#include "common/ResultCodes.h"
#include "rs/i18n/ErrorLine.h"
#include "rs/i18n/NarvI18n.h"

#include <memory>

namespace rs {

namespace {

const log4cxx::LoggerPtr& workLogger()
{
    static const log4cxx::LoggerPtr& logger = kav::loggers::get(kav::loggers::kWork);
    return logger;
}

} // namespace

void ServiceWork::process()
{
    // The lines are built only when DEBUG is on: this runs for every request.
    LOG4CXX_DEBUG(workLogger(), className_ << "::process: Entering " << className_ << "::process");
    int32_t result = KAV_GUARDED([this] {
        execute();
        return 0;
    });
    if (result < 0) {
        answerFailure();
    } else {
        if (KAV_GUARDED([this] {
                answer(nullptr);
                return 0;
            })
            < 0)
            kav::clearErrorInfo(); // a failed answer has nobody left to tell
    }
    LOG4CXX_DEBUG(workLogger(), className_ << "::process: Exiting " << className_ << "::process");
}

bool ServiceWork::permitted(const std::string& user, const std::string& consumer) const
{
    std::string out;
    if (context_.checkRole(user, consumer, facts_.roleLevel, out) >= 0)
        return true;
    kav::clearErrorInfo();
    return false;
}

void ServiceWork::answerFailure()
{
    std::unique_ptr<kav::KavErrorInfo> error(kav::takeErrorInfo());
    if (!error) {
        // Nothing to tell the client: a failure without a description is a
        // fault of the item, which is logged instead of answered.
        std::string text;
        if (kav::NarvI18n::instance().i18n(kav::msg::NO_ERROR_INFO, text) < 0)
            text = "ERROR";
        LOG4CXX_ERROR(workLogger(), className_ << "::process: " << text);
        return;
    }
    kav::logErrorLine(workLogger(),
        isExpectedFailure(*error) ? log4cxx::Level::getInfo() : log4cxx::Level::getError(), *error);
    KAV_GUARDED([&] {
        answer(error.get());
        return 0;
    });
    kav::clearErrorInfo(); // a failed answer has nobody left to tell
}

} // namespace rs
