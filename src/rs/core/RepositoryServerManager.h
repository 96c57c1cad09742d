#pragma once
// RepositoryServerManager: the service's handler of accepted connections.
// The interface name a client asks for during the handshake selects the
// binder that gives the connection its server object, stub and response
// client, all on the service context the manager was given; a connection
// asking for anything else is dropped.
//
// Served connections: the manager keeps a reference to every channel it
// served until closeConnections(), when the service stops, so that no
// connection outlives the communication library; channels that closed by
// themselves are let go at the next accept.
//
// Threads: accept_CB runs on a driver thread; interfaces are added on the
// main thread before the acceptor opens and are read-only afterwards;
// closeConnections runs on the main thread. lock_ guards the served
// channels and the closed flag; no channel is called under it.
// References (kav::Referable, 1 for the creator): the acceptor holds one
// while the manager is registered with it.

#include "common/Referable.h"
#include "rs/core/ConnectionListener.h"
#include "zephcomm/router/Channel.h"
#include "zephcomm/router/CompletionHandler.h"

#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace zephcomm {
class ChannelAcceptor;
}

namespace rs {

class ServiceContext;

class RepositoryServerManager final : public zephcomm::CompletionHandler {
public:
    // Serves one accepted channel (taking its own references) on the
    // context; false when the objects could not be created, whereupon the
    // channel is dropped.
    using Binder = std::function<bool(zephcomm::Channel* channel, ServiceContext& context)>;

    // The context must outlive the manager.
    explicit RepositoryServerManager(ServiceContext& context)
        : context_(context)
    {
    }
    const std::string& name() const { return name_; }

    // REQUIRES: called before the acceptor opens.
    void addInterface(const std::string& interfaceName, Binder binder);

    // Closes every served connection still open; a handshake that completes
    // afterwards is closed at once instead of served.
    void closeConnections();

    void accept_CB(int error, const std::string& interfaceName, zephcomm::Channel* channel) override;
    void connect_CB(int, const std::string&, zephcomm::Channel*) override { }
    void receive_CB(int, const std::string&, ACE_Message_Block* message, zephcomm::Channel*) override;
    void send_CB(void*, int, zephcomm::Channel*) override { }

private:
    ~RepositoryServerManager() override = default;

    // Keeps `channel` unless closeConnections() ran; false when it did.
    bool keep(zephcomm::Channel* channel);

    const std::string name_ = "RepositoryServerManager";
    ServiceContext& context_;
    std::map<std::string, Binder> binders_;
    std::mutex lock_;
    bool closed_ = false;
    std::vector<kav::RefPtr<zephcomm::Channel>> served_;
};

// The listening side in the daemon: a channel acceptor on the port whose
// endpoint name is the host name, with the manager as its handler.
std::unique_ptr<ConnectionListener> makeAcceptorListener(const ListenerSettings& settings,
    ServiceContext& context, const std::map<std::string, RepositoryServerManager::Binder>& binders);

} // namespace rs
