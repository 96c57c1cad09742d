#include "rs/core/RepositoryServerManager.h"

#include "common/KavErrorInfo.h"
#include "common/Loggers.h"
#include "common/ResultCodes.h"
#include "zephcomm/router/Channel.h"
#include "zephcomm/router/ChannelAcceptor.h"
#include "zephcomm/router/DriverLoader.h"

#include <ace/Message_Block.h>

#include <algorithm>
#include <iterator>

namespace rs {

namespace {

const log4cxx::LoggerPtr& logger()
{
    return kav::loggers::get(kav::loggers::kRepositoryServiceManager);
}

// Owns the acceptor and the manager for the service's lifetime.
class AcceptorListener final : public ConnectionListener {
public:
    AcceptorListener(zephcomm::ChannelAcceptor* acceptor, RepositoryServerManager* manager)
        : acceptor_(acceptor)
        , manager_(manager)
    {
    }
    ~AcceptorListener() override { close(); }

    int open() override
    {
        acceptor_->addHandler(manager_);
        return acceptor_->accept();
    }

    void close() override
    {
        if (acceptor_) {
            acceptor_->removeHandler(manager_);
            acceptor_->destroy();
            acceptor_ = nullptr;
        }
        if (manager_) {
            manager_->closeConnections();
            manager_->release();
            manager_ = nullptr;
        }
    }

private:
    zephcomm::ChannelAcceptor* acceptor_;
    RepositoryServerManager* manager_;
};

} // namespace

void RepositoryServerManager::addInterface(const std::string& interfaceName, Binder binder)
{
    binders_[interfaceName] = std::move(binder);
}

void RepositoryServerManager::accept_CB(
    int error, const std::string& interfaceName, zephcomm::Channel* channel)
{
    if (error != 0 || !channel)
        return;
    auto binder = binders_.find(interfaceName);
    if (binder == binders_.end()) {
        LOG4CXX_DEBUG(logger(), "RepositoryServerManager::accept_CB: Unknown connection attempted");
        channel->destroy();
        return;
    }
    if (!binder->second(channel, context_) || !keep(channel))
        channel->destroy();
}

bool RepositoryServerManager::keep(zephcomm::Channel* channel)
{
    std::vector<kav::RefPtr<zephcomm::Channel>> ended;
    std::lock_guard guard(lock_);
    if (closed_)
        return false;
    // Connections that closed by themselves go here, not one by one as they
    // close: the list stays as long as the open connections plus those
    // closed since the last accept.
    auto open = std::partition(served_.begin(), served_.end(),
        [](const kav::RefPtr<zephcomm::Channel>& served) { return served->isAttached(); });
    std::move(open, served_.end(), std::back_inserter(ended));
    served_.erase(open, served_.end());
    served_.emplace_back(channel);
    return true;
}

void RepositoryServerManager::closeConnections()
{
    std::vector<kav::RefPtr<zephcomm::Channel>> open;
    {
        std::lock_guard guard(lock_);
        closed_ = true;
        open.swap(served_);
    }
    for (auto& channel : open)
        channel->destroy();
}

void RepositoryServerManager::receive_CB(
    int, const std::string&, ACE_Message_Block* message, zephcomm::Channel*)
{
    if (message)
        message->release();
}

std::unique_ptr<ConnectionListener> makeAcceptorListener(const ListenerSettings& settings,
    ServiceContext& context, const std::map<std::string, RepositoryServerManager::Binder>& binders)
{
    auto* manager = new (std::nothrow) RepositoryServerManager(context);
    if (!manager)
        KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, "connection manager not created");
    for (const auto& [name, binder] : binders)
        manager->addInterface(name, binder);
    // An empty host part listens on every local address.
    auto* acceptor = new (std::nothrow) zephcomm::ChannelAcceptor(
        ":" + settings.portText, settings.hostName, zephcomm::DriverLoader::instance());
    // An acceptor without a listening socket is kept: opening it fails,
    // which start-up reports as a port that cannot be used.
    if (!acceptor) {
        manager->release();
        KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, "channel acceptor not created", { settings.portText });
    }
    return std::make_unique<AcceptorListener>(acceptor, manager);
}

} // namespace rs
