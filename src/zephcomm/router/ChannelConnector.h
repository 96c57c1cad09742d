#pragma once
// zephcomm::ChannelConnector: opens one connection to a URL, sends this
// end's handshake (the endpoint name: for a client, the interface it wants)
// and waits for the peer's; then calls the handler's
// connect_CB(0, peer name, channel). Failures reach the handler as
// connect_CB(error, "", null).
//
// Threads: callbacks come from driver threads; connect, cancel and destroy
// may be called from any thread; lock_ guards the pending connection.
// References (kav::Referable, 1 for the creator, given back with destroy()):
// a connection in progress holds one; the handler is referenced until it
// has been told the outcome.

#include "zephcomm/driver/zephcommdrv.h"
#include "zephcomm/router/CompletionHandler.h"

#include <mutex>
#include <string>

namespace zephcomm {

class Channel;
class DriverLoader;

class ChannelConnector final : public zephcommdrv::Handler, public CompletionHandler {
public:
    explicit ChannelConnector(DriverLoader& loader);

    // Starts connecting. Returns 0 (the outcome follows through handler),
    // -1 for a bad URL, without driver or while a connect is pending, else
    // the driver's error.
    int connect(const std::string& url, const std::string& endpointName, CompletionHandler* handler,
        long timeoutMs = 0);
    // Stops the pending connect, or closes the connection whose handshake is
    // still in progress; the handler is told with an error. Returns 0, or
    // the driver's error when nothing was pending.
    int cancel();
    void destroy();

    // zephcommdrv::Handler
    void accept_CB(int, zephcommdrv::Channel*) override { }
    void connect_CB(int error, zephcommdrv::Channel* channel) override;
    void receive_CB(int, void*, size_t, zephcommdrv::Channel*) override { }
    void send_CB(void* token, int error, zephcommdrv::Channel* channel) override;

    // zephcomm::CompletionHandler: the peer's handshake.
    void accept_CB(int, const std::string&, Channel*) override { }
    void connect_CB(int, const std::string&, Channel*) override { }
    void receive_CB(
        int error, const std::string& typeName, ACE_Message_Block* message, Channel* channel) override;
    void send_CB(void*, int, Channel*) override { }

private:
    ~ChannelConnector() override;
    // Tells the handler, forgets the attempt and drops its reference.
    void finish(int error, const std::string& peerName, Channel* channel);

    zephcommdrv::Driver* driver_ = nullptr;
    zephcommdrv::Connector* io_ = nullptr;
    std::recursive_mutex lock_;
    Channel* channel_ = nullptr; // the connection being opened
    CompletionHandler* handler_ = nullptr; // referenced while pending
};

} // namespace zephcomm
