#pragma once
// Gives an accepted channel a server object of one interface: a stub bound
// to the server's dispatcher and a response client on the same channel.
//
// Threads: a driver thread (the connection manager's accept_CB).
// References: the stub's bindings keep the stub (and through its table the
// server) alive until the channel closes; the server holds the response
// client, which holds its proxy.

#include "common/Referable.h"
#include "interfaces/rpc/RpcSupport.h"
#include "zephcomm/proxy/Stub.h"
#include "zephcomm/router/Channel.h"

#include <new>

namespace rs {

// Server must offer setResponse(Client*) taking over the caller's reference
// and gate() (its LogonGate), to which the channel is attached.
// Returns false (nothing left behind) when an object cannot be made or bound.
template <class Server, class Client>
bool bindServer(zephcomm::Channel* channel, const char* interfaceName, rpc::Prototypes prototypes,
                Server* server)
{
    if (!server)
        return false;
    auto serverRef = kav::RefPtr<Server>::adopt(server);
    auto* client = new (std::nothrow) Client(channel);
    if (!client)
        return false;
    server->setResponse(client);
    server->gate().attach(channel);
    auto stub = kav::RefPtr<zephcomm::Stub>::adopt(new (std::nothrow) zephcomm::Stub(interfaceName, channel));
    if (!stub)
        return false;
    if (stub->bind(std::move(prototypes), server) != 0) {
        stub->unbind();
        stub.detach(); // unbind gave back the creator's reference
        return false;
    }
    return true;
}

} // namespace rs
