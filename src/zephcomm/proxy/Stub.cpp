#include "zephcomm/proxy/Stub.h"

#include "common/KavAssert.h"
#include "common/ResultCodes.h"
#include "zephcomm/router/Channel.h"
#include "zephcomm/router/ErrorReport.h"

#include <ace/Message_Block.h>

#include <utility>

namespace zephcomm {

Stub::Stub(const std::string& interfaceName)
    : interfaceName_(interfaceName)
{
}

Stub::Stub(const std::string& interfaceName, Channel* channel)
    : interfaceName_(interfaceName)
    , channel_(channel)
{
    if (channel_ != nullptr)
        channel_->reference();
}

Stub::~Stub()
{
    if (channel_ != nullptr)
        channel_->release();
}

int Stub::bind(std::vector<std::unique_ptr<Call>> prototypes, CallCompletion* completion)
{
    kav::RefPtr<Channel> channel;
    std::vector<std::string> added;
    bool allBound = true;
    {
        std::lock_guard guard(lock_);
        if (channel_ == nullptr || prototypes.empty() || completion == nullptr)
            return -1;
        channel = kav::RefPtr<Channel>(channel_);
        for (auto& prototype : prototypes) {
            std::string typeName = interfaceName_ + "::" + prototype->methodName();
            auto [entry, inserted] = methods_.try_emplace(typeName);
            if (!inserted) {
                ZEPHCOMM_REPORT(Loggers::stub(), ZEPHCOMM_STUB_BIND_DUPLICATED, "Stub::bind() - " + typeName);
                allBound = false;
                continue;
            }
            entry->second.prototype = std::move(prototype);
            entry->second.completion = kav::RefPtr<CallCompletion>(completion);
            added.push_back(typeName);
        }
    }
    // Outside the lock: the channel dispatches under its bindings lock and
    // then takes ours.
    for (const std::string& typeName : added) {
        if (channel->receive(typeName, this) != 0) {
            ZEPHCOMM_REPORT(Loggers::stub(), ZEPHCOMM_STUB_BIND_FAIL, "Stub::bind() - " + typeName);
            std::lock_guard guard(lock_);
            methods_.erase(typeName);
            allBound = false;
        }
    }
    return allBound ? 0 : -1;
}

void Stub::unbind()
{
    Channel* channel = nullptr;
    std::unordered_map<std::string, Method> methods;
    {
        std::lock_guard guard(lock_);
        channel = std::exchange(channel_, nullptr);
        methods.swap(methods_);
    }
    if (channel != nullptr) {
        for (const auto& [typeName, method] : methods)
            channel->cancelReceive(typeName);
        channel->release();
    }
    release();
}

void Stub::accept_CB(int error, const std::string&, Channel* channel)
{
    if (error != 0 || channel == nullptr)
        return;
    channel->reference();
    std::lock_guard guard(lock_);
    if (Channel* previous = std::exchange(channel_, channel))
        previous->release();
}

void Stub::receive_CB(int error, const std::string& typeName, ACE_Message_Block* message, Channel*)
{
    if (error == 0 && message != nullptr) {
        dispatch(typeName, message);
        return;
    }
    if (message != nullptr)
        message->release();
    bindingEnded(error, typeName);
}

void Stub::dispatch(const std::string& typeName, ACE_Message_Block* message)
{
    std::unique_ptr<Call> call;
    kav::RefPtr<CallCompletion> completion;
    {
        std::lock_guard guard(lock_);
        auto found = methods_.find(typeName);
        if (found != methods_.end()) {
            call.reset(found->second.prototype->create());
            completion = found->second.completion;
        }
    }
    if (!completion) {
        message->release();
        LOG4CXX_DEBUG(Loggers::stub(),
            "Stub::receive_CB(this=" << this << ", error=0) find() error - cannot find method " << typeName);
        return;
    }
    int rc = call ? call->unmarshal(message) : -1;
    message->release();
    if (rc != 0) {
        ZEPHCOMM_REPORT(Loggers::stub(), ZEPHCOMM_DESERIALIZE_FAIL, "Stub::receive_CB() - " + typeName);
        return;
    }
    completion->complete(0, call.release());
}

void Stub::bindingEnded(int error, const std::string& typeName)
{
    kav::RefPtr<CallCompletion> completion;
    {
        std::lock_guard guard(lock_);
        auto found = methods_.find(typeName);
        if (found == methods_.end())
            return;
        completion = found->second.completion;
        methods_.erase(found);
        if (!methods_.empty())
            return;
    }
    LOG4CXX_DEBUG(Loggers::stub(), "Stub::receive_CB(this=" << this << ", error=" << error << ")");
    completion->complete(error, nullptr);
}

void Stub::connect_CB(int, const std::string&, Channel*)
{
    KAV_ASSERT(!"Stub::connect_CB() - not implemented", );
}

void Stub::send_CB(void*, int, Channel*)
{
    KAV_ASSERT(!"Stub::send_CB() - not implemented", );
}

} // namespace zephcomm
