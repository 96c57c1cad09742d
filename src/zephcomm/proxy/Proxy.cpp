#include "zephcomm/proxy/Proxy.h"

#include "common/KavAssert.h"
#include "zephcomm/router/Channel.h"
#include "zephcomm/router/ErrorReport.h"

#include <ace/Message_Block.h>

#include <algorithm>
#include <string_view>
#include <utility>

namespace zephcomm {

namespace {
// A zero time-out means the library default, which is no time limit.
constexpr long kDefaultTimeoutMs = 0;

// The message type of a call, "<interface>::<method>". Built on the stack
// (names are short) to spare a heap allocation per call; a longer name
// falls back to a string.
class TypeName {
public:
    TypeName(std::string_view interfaceName, std::string_view methodName)
    {
        const size_t length = interfaceName.size() + 2 + methodName.size();
        char* out = length <= sizeof(inline_) ? inline_ : (spill_.resize(length), spill_.data());
        out = std::copy(interfaceName.begin(), interfaceName.end(), out);
        *out++ = ':';
        *out++ = ':';
        std::copy(methodName.begin(), methodName.end(), out);
        view_ = std::string_view(length <= sizeof(inline_) ? inline_ : spill_.data(), length);
    }
    TypeName(const TypeName&) = delete;
    TypeName& operator=(const TypeName&) = delete;

    std::string_view view() const { return view_; }

private:
    char inline_[128];
    std::string spill_;
    std::string_view view_;
};
} // namespace

// What travels with a send: the call and its referenced completion.
struct Proxy::Token {
    Call* call;
    kav::RefPtr<CallCompletion> completion;
};

Proxy::Proxy(const std::string& interfaceName, std::chrono::milliseconds timeout)
    : interfaceName_(interfaceName)
    , timeout_(timeout)
{
}

Proxy::Proxy(const std::string& interfaceName, Channel* channel, std::chrono::milliseconds timeout)
    : interfaceName_(interfaceName)
    , timeout_(timeout)
    , channel_(channel)
{
    if (channel_ != nullptr)
        channel_->reference();
}

Proxy::~Proxy()
{
    if (channel_ != nullptr)
        channel_->release();
}

bool Proxy::hasChannel() const
{
    std::lock_guard guard(lock_);
    return channel_ != nullptr;
}

void Proxy::forgetChannel()
{
    if (Channel* channel = std::exchange(channel_, nullptr))
        channel->release();
}

int Proxy::call(Call* call, CallCompletion* completion)
{
    if (call == nullptr || call->payload() == nullptr)
        return -1;
    std::lock_guard guard(lock_);
    if (channel_ == nullptr)
        return -1;
    auto* token = new Token { call, kav::RefPtr<CallCompletion>(completion) };
    TypeName typeName(interfaceName_, call->methodName());
    long timeoutMs = timeout_.count() > 0 ? static_cast<long>(timeout_.count()) : kDefaultTimeoutMs;
    int rc = channel_->send(typeName.view(), call->payload()->duplicate(), this, token, timeoutMs);
    if (rc != 0) {
        delete token;
        forgetChannel();
    }
    return rc;
}

void Proxy::closeChannel()
{
    Channel* channel = nullptr;
    {
        std::lock_guard guard(lock_);
        channel = std::exchange(channel_, nullptr);
    }
    if (channel == nullptr)
        return;
    channel->destroy();
    channel->release();
}

void Proxy::send_CB(void* token, int error, Channel* channel)
{
    if (error != 0) {
        std::lock_guard guard(lock_);
        forgetChannel();
        LOG4CXX_DEBUG(Loggers::proxy(),
            "Proxy::send_CB(this=" << this << ", error=" << error << ", Channel=" << channel << ")");
    }
    if (token == nullptr)
        return;
    std::unique_ptr<Token> sent(static_cast<Token*>(token));
    if (sent->completion)
        sent->completion->sent(sent->call, error);
    else
        delete sent->call;
}

void Proxy::connect_CB(int error, const std::string&, Channel* channel)
{
    if (error != 0 || channel == nullptr)
        return;
    channel->reference();
    std::lock_guard guard(lock_);
    forgetChannel();
    channel_ = channel;
}

void Proxy::accept_CB(int, const std::string&, Channel*)
{
    KAV_ASSERT(!"Proxy::accept_CB() - not implemented", );
}

void Proxy::receive_CB(int, const std::string&, ACE_Message_Block* message, Channel*)
{
    if (message != nullptr)
        message->release();
    KAV_ASSERT(!"Proxy::receive_CB() - not implemented", );
}

} // namespace zephcomm
