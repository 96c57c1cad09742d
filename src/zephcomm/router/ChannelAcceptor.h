#pragma once
// zephcomm::ChannelAcceptor: listens on a URL and turns every accepted
// connection into a Channel once the two ends have exchanged their
// handshakes (this end sends its endpoint name, the peer answers with its
// own, for a service the interface it wants). Registered handlers then get
// accept_CB(0, peer name, channel).
//
// Threads: accept_CB, send_CB and receive_CB come from driver threads; the
// other operations may be called from any thread. lock_ guards the handler
// list and the handshakes in progress. Notifications are made without any
// lock held.
// References (kav::Referable, 1 for the creator, given back with destroy()):
// accepting, every handshake in progress and every handshake binding hold
// one. Registered handlers are referenced until removed.

#include "zephcomm/driver/zephcommdrv.h"
#include "zephcomm/router/CompletionHandler.h"

#include <mutex>
#include <string>
#include <unordered_set>
#include <vector>

namespace zephcomm {

class Channel;
class DriverLoader;

class ChannelAcceptor final : public zephcommdrv::Handler, public CompletionHandler {
public:
    ChannelAcceptor(const std::string& url, const std::string& endpointName, DriverLoader& loader);

    // True when the URL parsed and the driver created its acceptor.
    bool isOpen() const { return io_ != nullptr; }

    void addHandler(CompletionHandler* handler);
    void removeHandler(CompletionHandler* handler);

    // Starts accepting; every accepted connection is delivered until
    // cancel(). Returns 0, else the driver's error; without a driver
    // acceptor, the error that kept it from opening (-98 for a port in use),
    // or -1.
    int accept();
    int cancel();
    // Where clients reach this acceptor ("host:port"). Returns the driver's
    // answer (0 on success), -1 without a driver acceptor.
    int getConnectAddr(std::string& address);
    // Stops accepting, closes the connections still in their handshake,
    // drops the handlers and gives back the creator's reference.
    void destroy();

    // zephcommdrv::Handler
    void accept_CB(int error, zephcommdrv::Channel* channel) override;
    void connect_CB(int, zephcommdrv::Channel*) override { }
    void receive_CB(int, void*, size_t, zephcommdrv::Channel*) override { }
    void send_CB(void* token, int error, zephcommdrv::Channel* channel) override;

    // zephcomm::CompletionHandler: the peer's handshake.
    void accept_CB(int, const std::string&, Channel*) override { }
    void connect_CB(int, const std::string&, Channel*) override { }
    void receive_CB(
        int error, const std::string& typeName, ACE_Message_Block* message, Channel* channel) override;
    void send_CB(void*, int, Channel*) override { }

private:
    ~ChannelAcceptor() override;
    void notifyAll(int error, const std::string& peerName, Channel* channel);
    // Records a channel waiting for its peer's handshake; false once
    // destroy() has begun (the channel must then be closed).
    bool trackHandshake(Channel* channel);
    void untrackHandshake(Channel* channel);
    bool stopped();

    const std::string endpointName_;
    DriverLoader& loader_;
    zephcommdrv::Driver* driver_ = nullptr;
    zephcommdrv::Acceptor* io_ = nullptr;
    int openError_ = -1; // why io_ is null: the driver's error (minus errno)
    std::recursive_mutex lock_;
    std::vector<CompletionHandler*> handlers_;
    // Connections whose handshake has not arrived: destroy() closes them,
    // since no server owns them yet.
    std::unordered_set<Channel*> handshaking_;
    bool stopped_ = false;
};

} // namespace zephcomm
