#pragma once
// zephcomm::Channel: one connection carrying typed messages. Turns the exact
// receives of a driver channel into messages (header, payload), dispatches
// each to the handler bound for its type, and sends messages with a header
// built for their type name.
//
// Threads: driver callbacks arrive on driver threads; send, receive,
// cancelReceive and destroy may be called from any thread, including from
// inside a handler's receive_CB.
// Locks: receiveLock_ guards the assembler and the driver channel,
// sendLock_ the driver's send call, bindingsLock_ the bindings; order
// receive, then send; the bindings lock is taken alone. Messages are
// dispatched under the bindings lock (recursive), so a handler may bind or
// unbind types of its own channel, and binding from other threads waits
// until the handler returns. Nothing a handler throws leaves the channel:
// it is logged as an error line and the connection is closed.
// References (kav::Referable, starting at 1 for the creator): the receive
// loop, every pending send and every user (proxy, stub) hold one. A bound
// handler is referenced while bound.

#include "common/Referable.h"
#include "zephcomm/driver/zephcommdrv.h"
#include "zephcomm/wire/Handshake.h"
#include "zephcomm/wire/MessageAssembler.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <unordered_map>

namespace kav {
struct ServiceCounters;
}

class ACE_Message_Block;

namespace zephcomm {

class CompletionHandler;

// Channel::receive's answer for a type already bound on the channel.
constexpr int kBindTypeDuplicated = -61008;

class Channel final : public zephcommdrv::Handler, public kav::Referable {
public:
    // `driver` must outlive the channel.
    Channel(const std::string& endpointName, zephcommdrv::Driver* driver);

    const std::string& endpointName() const { return endpointName_; }
    const wire::Handshake& handshake() const { return handshake_; }

    // Sends one message. The channel takes over the caller's reference to
    // `payload` (a non-empty chain) whatever the result. On 0, handler's
    // send_CB(token, error, this) follows; the handler is referenced until
    // then. Returns -9 without a driver channel, else the driver's result.
    // `timeoutMs` 0 means no time limit.
    int send(std::string_view typeName, ACE_Message_Block* payload, CompletionHandler* handler, void* token,
        long timeoutMs = 0);
    // Stops the sends handed to the driver (they complete with an error and
    // the connection closes). Returns 0, or -9 without a driver channel.
    int cancelSend(void* token = nullptr);

    // Binds `handler` (referenced while bound) to messages of `typeName`.
    // Returns 0, kBindTypeDuplicated when the type is bound already (the
    // first binding stays), or a negative error.
    int receive(const std::string& typeName, CompletionHandler* handler, long timeoutMs = 0);
    // Removes the binding of `typeName` and releases its handler; no
    // receive_CB follows. Returns 0, or -1 when the type was not bound.
    int cancelReceive(const std::string& typeName);

    // Closes with -1: the driver channel goes, every binding ends with a
    // receive_CB(-1) to its handler. Does not release the caller's reference.
    void destroy();
    // Closes with `error` (0 does nothing).
    void close(int error);

    bool isAttached() const;

    // Reference counting, traced at level ALL.
    long reference() override;
    long release() override;

    // zephcommdrv::Handler. accept_CB / connect_CB attach a driver channel
    // (whose reference passes to this channel) and start the receive loop.
    void accept_CB(int error, zephcommdrv::Channel* channel) override;
    void connect_CB(int error, zephcommdrv::Channel* channel) override;
    void receive_CB(int error, void* buffer, size_t length, zephcommdrv::Channel* channel) override;
    void send_CB(void* token, int error, zephcommdrv::Channel* channel) override;

private:
    struct Binding {
        // Shared with a dispatch in progress, which may outlive the binding.
        std::shared_ptr<const std::string> typeName;
        CompletionHandler* handler;
    };
    struct SendRecord;

    ~Channel() override;
    void attach(zephcommdrv::Channel* channel);
    // Asks for the next bytes the assembler wants; false when the loop ends.
    bool requestMore();
    // Hands a message to its binding; false when the handler threw.
    bool dispatch(uint32_t typeId, ACE_Message_Block* payload);
    // Runs a callback of the layer above. What it throws is logged as an
    // error line and goes no further (false): the driver's thread serves
    // other connections too.
    template <class Callback> bool upcall(int line, Callback&& callback) noexcept;
    void logDriverError(const char* where, int error) const;

    const std::string endpointName_;
    const wire::Handshake handshake_;
    zephcommdrv::Driver* const driver_;
    kav::ServiceCounters* const counters_; // null: nothing is counted

    mutable std::recursive_mutex receiveLock_;
    std::recursive_mutex sendLock_;
    std::recursive_mutex bindingsLock_;
    wire::MessageAssembler assembler_;
    zephcommdrv::Channel* io_ = nullptr;
    std::unordered_map<uint32_t, Binding> bindings_;
};

} // namespace zephcomm
