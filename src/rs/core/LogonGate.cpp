#include "rs/core/LogonGate.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "zephcomm/router/Channel.h"

#include <utility>

namespace rs {

LogonGate::~LogonGate()
{
    if (channel_)
        channel_->release();
}

void LogonGate::attach(zephcomm::Channel* channel)
{
    std::lock_guard lock(mutex_);
    if (channel)
        channel->reference();
    if (channel_)
        channel_->release();
    channel_ = channel;
}

void LogonGate::closeConnection()
{
    zephcomm::Channel* channel = nullptr;
    {
        std::lock_guard lock(mutex_);
        channel = std::exchange(channel_, nullptr);
    }
    if (!channel)
        return;
    channel->destroy();
    channel->release();
}

void LogonGate::admit(const char* operation) const
{
    if (required_ && !isLoggedOn())
        KAV_THROW(kav::rc::RS_LOGON_REQUIRED, "request before a successful logon", { operation });
}

void LogonGate::loggedOn(const std::string& userName)
{
    std::lock_guard lock(mutex_);
    loggedOn_ = true;
    userName_ = userName;
}

bool LogonGate::logonFailed()
{
    std::lock_guard lock(mutex_);
    return ++failedLogons_ >= kMaxFailedLogons;
}

bool LogonGate::isLoggedOn() const
{
    std::lock_guard lock(mutex_);
    return loggedOn_;
}

std::string LogonGate::userName() const
{
    std::lock_guard lock(mutex_);
    return userName_;
}

} // namespace rs
