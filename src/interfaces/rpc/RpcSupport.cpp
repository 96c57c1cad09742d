#include "interfaces/rpc/RpcSupport.h"

#include "common/Loggers.h"

#include <utility>

namespace rpc {

InterfaceProxy::InterfaceProxy(const char* interfaceName, zephcomm::ConnectEvent* connected)
    : zephcomm::Proxy(interfaceName, std::chrono::milliseconds(0))
    , connected_(connected)
{
}

InterfaceProxy::InterfaceProxy(const char* interfaceName, zephcomm::Channel* channel)
    : zephcomm::Proxy(interfaceName, channel, std::chrono::milliseconds(0))
{
}

void InterfaceProxy::connect_CB(int error, const std::string& peerName, zephcomm::Channel* channel)
{
    zephcomm::Proxy::connect_CB(error, peerName, channel);
    connectResult_ = error;
    if (connected_ != nullptr)
        connected_->signal(error);
}

ResponseClient::ResponseClient(zephcomm::Proxy* proxy)
    : proxy_(proxy)
{
    if (proxy_ != nullptr)
        proxy_->reference();
}

ResponseClient::~ResponseClient()
{
    if (proxy_ != nullptr)
        proxy_->release();
}

void ResponseClient::detach()
{
    zephcomm::Proxy* proxy = nullptr;
    {
        std::lock_guard guard(lock_);
        proxy = std::exchange(proxy_, nullptr);
    }
    if (proxy != nullptr)
        proxy->release();
}

void ResponseClient::closeConnection()
{
    kav::RefPtr<zephcomm::Proxy> proxy;
    {
        std::lock_guard guard(lock_);
        proxy = kav::RefPtr<zephcomm::Proxy>(proxy_);
    }
    if (proxy)
        proxy->closeChannel();
}

void ResponseClient::sent(zephcomm::Call* call, int)
{
    delete call;
}

void ResponseClient::complete(int, zephcomm::Call* call)
{
    delete call;
}

std::string joined(std::initializer_list<std::string> values)
{
    std::string text;
    for (auto value = values.begin(); value != values.end(); ++value) {
        if (value != values.begin())
            text += ", ";
        text += *value;
    }
    return text;
}

namespace {

std::atomic<kav::AnswerCounts*> answerCounts { nullptr };

// "getPackageStatusResp" counts as "getPackageStatus".
std::string_view operationOf(const std::string& method)
{
    std::string_view name(method);
    constexpr std::string_view suffix = "Resp";
    if (name.ends_with(suffix))
        name.remove_suffix(suffix.size());
    return name;
}

} // namespace

void ResponseClient::countAnswersIn(kav::AnswerCounts* counts)
{
    answerCounts.store(counts, std::memory_order_release);
}

int ResponseClient::send(std::unique_ptr<zephCDRMarshal::MarshalCall> call, int32_t code)
{
    static const log4cxx::LoggerPtr& stubLogger = kav::loggers::get(kav::loggers::kStub);
    LOG4CXX_TRACE(
        stubLogger, call->methodName() << " answered: 0x" << std::hex << static_cast<uint32_t>(code));
    if (kav::AnswerCounts* counts = answerCounts.load(std::memory_order_acquire))
        counts->add(operationOf(call->methodName()), code);
    if (!call->marshalled())
        return kMarshalFailed;
    kav::RefPtr<zephcomm::Proxy> proxy;
    {
        std::lock_guard guard(lock_);
        proxy = kav::RefPtr<zephcomm::Proxy>(proxy_);
    }
    if (!proxy)
        return kNoProxy;
    int rc = proxy->call(call.get(), this);
    if (rc == 0)
        call.release(); // sent() deletes it
    return rc;
}

} // namespace rpc
