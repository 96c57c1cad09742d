#include "rs/resmgr/ConsumerTable.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"

#include <algorithm>

namespace rs::resmgr {

ConsumerTable::ConsumerTable(log4cxx::LoggerPtr logger)
    : logger_(std::move(logger))
{
}

ConsumerTable::CallbackContext* ConsumerTable::add(ConsumerPtr consumer, LibraryCallbacks* callbacks)
{
    std::lock_guard lock(mutex_);
    const std::string id = consumer->consumerId();
    if (consumers_.count(id))
        return nullptr;
    consumers_[id] = std::move(consumer);
    contexts_.push_back(std::make_unique<CallbackContext>(CallbackContext { callbacks, id }));
    return contexts_.back().get();
}

ConsumerTable::Removed ConsumerTable::remove(const std::string& consumerId)
{
    std::lock_guard lock(mutex_);
    auto it = consumers_.find(consumerId);
    if (it == consumers_.end())
        return { nullptr, nullptr };
    Removed removed { it->second, nullptr };
    consumers_.erase(it);
    for (auto c = contexts_.rbegin(); c != contexts_.rend() && !removed.context; ++c)
        if ((*c)->consumerId == consumerId)
            removed.context = c->get();
    return removed;
}

void ConsumerTable::forgetContext(const CallbackContext* context)
{
    std::lock_guard lock(mutex_);
    contexts_.erase(
        std::remove_if(contexts_.begin(), contexts_.end(), [&](auto& c) { return c.get() == context; }),
        contexts_.end());
}

ConsumerTable::ConsumerPtr ConsumerTable::find(const std::string& consumerId) const
{
    std::lock_guard lock(mutex_);
    auto it = consumers_.find(consumerId);
    return it == consumers_.end() ? nullptr : it->second;
}

ZORConsumer* ConsumerTable::findLocked(const std::string& consumerId) const
{
    auto it = consumers_.find(consumerId);
    return it == consumers_.end() ? nullptr : it->second.get();
}

std::vector<ConsumerTable::ConsumerPtr> ConsumerTable::all() const
{
    std::lock_guard lock(mutex_);
    std::vector<ConsumerPtr> out;
    for (auto& [id, c] : consumers_)
        out.push_back(c);
    return out;
}

int32_t ConsumerTable::notRegistered(const std::string& consumerId) const
{
    LOG4CXX_ERROR(logger_,
        "consumerId='" << consumerId << "' is not registered. Can not find it in a m_zorConsumerMap.");
    return kav::setError(kav::rc::ZOR_CONSUMER_GONE, "consumer '" + consumerId + "' is not registered",
        KAV_LOCATION, { consumerId });
}

int32_t ConsumerTable::withHandle(
    const std::string& consumerId, const std::function<int32_t(ZORConsumer&)>& call) const
{
    ConsumerPtr consumer = find(consumerId);
    if (!consumer)
        return notRegistered(consumerId);
    std::lock_guard handleLock(consumer->handleMutex());
    if (!consumer->handleOpen())
        return kav::setError(kav::rc::ZOR_CONSUMER_GONE,
            "consumer '" + consumerId + "' is being unregistered", KAV_LOCATION, { consumerId });
    return call(*consumer);
}

void ConsumerTable::recordContainerStateLocked(const std::string& containerId, int state)
{
    containerStates_[containerId] = state;
}

std::optional<int> ConsumerTable::containerStateLocked(const std::string& containerId) const
{
    auto it = containerStates_.find(containerId);
    return it == containerStates_.end() ? std::nullopt : std::optional<int>(it->second);
}

std::string ConsumerTable::clientName() const
{
    std::lock_guard lock(mutex_);
    return clientName_;
}

void ConsumerTable::setClientName(std::string name)
{
    std::lock_guard lock(mutex_);
    clientName_ = std::move(name);
}

std::string ConsumerTable::credential() const
{
    std::lock_guard lock(mutex_);
    return credential_;
}

void ConsumerTable::setCredential(std::string credential)
{
    std::lock_guard lock(mutex_);
    credential_ = std::move(credential);
}

} // namespace rs::resmgr
