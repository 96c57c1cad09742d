#include "rs/core/ConnectionServer.h"

#include "rs/i18n/ErrorLine.h"

namespace rs {

ConnectionState::ConnectionState(const char* name, log4cxx::LoggerPtr logger, ServiceContext& context)
    : name_(name)
    , logger_(std::move(logger))
    , context_(context)
    , gate_(context.logonRequired())
{
}

void ConnectionState::logonRefused()
{
    if (!gate_.logonFailed())
        return;
    LOG4CXX_WARN(logger_,
        name_ << "::logon: " << LogonGate::kMaxFailedLogons << " failed logons, closing the connection");
    gate_.closeConnection();
}

std::string ConnectionState::consumer() const
{
    std::lock_guard lock(mutex_);
    return consumer_;
}

void ConnectionState::setConsumer(const std::string& consumer)
{
    std::lock_guard lock(mutex_);
    consumer_ = consumer;
}

int32_t ConnectionState::handOver(std::unique_ptr<Work> work)
{
    if (unfinished_->load() == 0 && context_.runAtOnce(*work))
        return 0;
    work->countIn(unfinished_);
    return context_.enqueue(std::move(work));
}

void ConnectionState::logParameters(const rpc::OperationFacts& facts, const std::string& values) const
{
    if (facts.parameterLine)
        LOG4CXX_DEBUG(logger_, facts.parameterLine << values);
}

void ConnectionState::refuse(const rpc::OperationFacts& facts, rpc::ResponseClient* response,
    const std::string& user, const std::string& subject, int32_t result)
{
    std::unique_ptr<kav::KavErrorInfo> error(kav::takeErrorInfo());
    if (!error)
        error = std::make_unique<kav::KavErrorInfo>(result, KAV_LOCATION, name_, facts.name);
    kav::logErrorLine(logger_, log4cxx::Level::getError(), *error);
    if (facts.audited)
        auditRefusal(facts, user, subject, *error);
    if (facts.answerFailure && response) {
        KAV_GUARDED([&] {
            facts.answerFailure(*response, *error);
            return 0;
        });
        kav::clearErrorInfo(); // a failed answer has nobody left to tell
    }
}

} // namespace rs
