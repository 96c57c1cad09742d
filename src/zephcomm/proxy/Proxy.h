#pragma once
// zephcomm::Proxy: sends the calls of one interface over a Channel. The
// message type of a call is the interface name, "::" and the method name.
// No reply travels at this layer: a call is complete for the sender when its
// bytes have left; answers arrive as calls of the response interface.
//
// Threads: call() from any thread; send_CB and connect_CB on driver threads.
// lock_ guards the channel pointer only; sends on one channel keep the order
// in which call() handed them over.
// References (kav::Referable, 1 for the creator): the channel references the
// proxy while one of its sends is pending. A proxy whose send failed forgets
// its channel for good: every later call() returns -1.

#include "zephcomm/proxy/CallCompletion.h"
#include "zephcomm/router/CompletionHandler.h"

#include <chrono>
#include <mutex>
#include <string>

namespace zephcomm {

class Channel;

class Proxy : public CompletionHandler {
public:
    // Without a channel: one arrives through connect_CB.
    Proxy(const std::string& interfaceName, std::chrono::milliseconds timeout);
    // Over an existing channel (referenced).
    Proxy(const std::string& interfaceName, Channel* channel, std::chrono::milliseconds timeout);

    const std::string& interfaceName() const { return interfaceName_; }
    bool hasChannel() const;

    // Sends `call`. Returns 0 when handed to the channel: completion->sent()
    // follows (completion referenced until then) and owns the call. Returns
    // -1 without channel or without payload, else the channel's error; the
    // caller then still owns the call.
    int call(Call* call, CallCompletion* completion);
    // Ends the connection the proxy sends on: the channel is closed and
    // forgotten, and later calls return -1.
    void closeChannel();

    // CompletionHandler
    void accept_CB(int error, const std::string& peerName, Channel* channel) override;
    // Stores the channel (error 0), releasing any previous one.
    void connect_CB(int error, const std::string& peerName, Channel* channel) override;
    void receive_CB(
        int error, const std::string& typeName, ACE_Message_Block* message, Channel* channel) override;
    void send_CB(void* token, int error, Channel* channel) override;

protected:
    ~Proxy() override;

private:
    struct Token;
    void forgetChannel();

    const std::string interfaceName_;
    const std::chrono::milliseconds timeout_;
    mutable std::recursive_mutex lock_;
    Channel* channel_ = nullptr;
};

} // namespace zephcomm
