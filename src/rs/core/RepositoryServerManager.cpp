#include "rs/core/RepositoryServerManager.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "rs/startup/logging/Loggers.h"
#include "zephcomm/router/Channel.h"
#include "zephcomm/router/ChannelAcceptor.h"
#include "zephcomm/router/DriverLoader.h"

#include <ace/Message_Block.h>

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
        : acceptor_(acceptor), manager_(manager)
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

void RepositoryServerManager::accept_CB(int error, const std::string& interfaceName, zephcomm::Channel* channel)
{
    if (error != 0 || !channel)
        return;
    auto binder = binders_.find(interfaceName);
    if (binder == binders_.end()) {
        LOG4CXX_DEBUG(logger(), "RepositoryServerManager::accept_CB: Unknown connection attempted");
        channel->destroy();
        return;
    }
    if (!binder->second(channel))
        channel->destroy();
}

void RepositoryServerManager::receive_CB(int, const std::string&, ACE_Message_Block* message, zephcomm::Channel*)
{
    if (message)
        message->release();
}

std::unique_ptr<ConnectionListener> makeAcceptorListener(
    const ListenerSettings& settings, const std::map<std::string, RepositoryServerManager::Binder>& binders)
{
    auto* manager = new (std::nothrow) RepositoryServerManager();
    if (!manager)
        KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, "connection manager not created");
    for (const auto& [name, binder] : binders)
        manager->addInterface(name, binder);
    // An empty host part listens on every local address.
    auto* acceptor = new (std::nothrow)
        zephcomm::ChannelAcceptor(":" + settings.portText, settings.hostName, zephcomm::DriverLoader::instance());
    // An acceptor without a listening socket is kept: opening it fails,
    // which start-up reports as a port that cannot be used.
    if (!acceptor) {
        manager->release();
        KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, "channel acceptor not created", { settings.portText });
    }
    return std::make_unique<AcceptorListener>(acceptor, manager);
}

} // namespace rs
