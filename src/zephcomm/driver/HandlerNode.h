#pragma once
// One send or receive request of a driver channel: a descriptor over the
// caller's bytes (never a copy), the handler and token to report to, a
// counted reference to the channel, an optional time limit, and the link to
// the next request in a send batch or a completion list.
//
// Not synchronised: a node belongs to one queue at a time, under its
// channel's lock, and to the delivering thread once completed. Deleting the
// node gives back its channel reference.

#include "zephcomm/driver/Timer.h"
#include "zephcomm/driver/zephcommdrv.h"

#include <sys/uio.h>

#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

class ACE_Event_Handler;

namespace zephcommTcpDrv {

class HandlerNode {
public:
    enum class Kind { Send, Receive };

    // A send over `count` caller buffers.
    HandlerNode(zephcommdrv::Handler* handler, void* token, int count, const void* const* buffers,
        const size_t* lengths);
    // A receive of exactly `length` bytes into `buffer`.
    HandlerNode(zephcommdrv::Handler* handler, void* buffer, size_t length);
    ~HandlerNode();
    HandlerNode(const HandlerNode&) = delete;
    HandlerNode& operator=(const HandlerNode&) = delete;

    // Takes a reference on the channel (`counted` is the channel's event loop
    // handler, `channel` its driver face) for the node's lifetime.
    void attach(ACE_Event_Handler* counted, zephcommdrv::Channel* channel);

    // Reports the node's outcome to its handler (send_CB or receive_CB).
    void deliver();

    Kind kind() const { return kind_; }
    const iovec* iov() const { return iovs_; }
    int iovCount() const { return iovCount_; }
    size_t totalBytes() const { return totalBytes_; }

    // Receive progress: bytes already in the buffer.
    size_t received = 0;
    int error = 0;
    Timer timer;
    HandlerNode* next = nullptr;

private:
    Kind kind_;
    zephcommdrv::Handler* handler_;
    void* token_ = nullptr;
    // Requests of up to kInlineBuffers buffers (nearly all: a header and a
    // payload) describe them here, without an allocation of their own.
    static constexpr int kInlineBuffers = 4;
    iovec inline_[kInlineBuffers];
    std::unique_ptr<iovec[]> spilled_;
    iovec* iovs_ = inline_;
    int iovCount_ = 0;
    size_t totalBytes_ = 0;
    ACE_Event_Handler* counted_ = nullptr;
    zephcommdrv::Channel* channel_ = nullptr;
};

// A FIFO of nodes linked through HandlerNode::next.
class NodeList {
public:
    bool empty() const { return !head_; }
    HandlerNode* front() const { return head_; }
    void push(HandlerNode* node);
    HandlerNode* pop();
    // Moves every node of `other` behind this list's nodes.
    void splice(NodeList& other);

private:
    HandlerNode* head_ = nullptr;
    HandlerNode* tail_ = nullptr;
};

// The aborts an acceptor or connector owes after a stop or cancel: each
// handler that was waiting gets exactly one callback (kAborted, no channel),
// later, on a driver thread, never under the owner's lock.
//
// Not synchronised by itself: add() and deliver() take the owner's lock
// given to them (add: the caller holds it already).
class OwedAborts {
public:
    // Which callback is owed: accept_CB or connect_CB.
    using Callback = void (zephcommdrv::Handler::*)(int error, zephcommdrv::Channel* channel);

    explicit OwedAborts(Callback callback)
        : callback_(callback)
    {
    }
    // REQUIRES: the owner's lock is held.
    void add(zephcommdrv::Handler* handler) { owed_.push_back(handler); }
    // Takes the owed handlers under `ownerLock`, then calls each outside it.
    void deliver(std::mutex& ownerLock);

private:
    Callback callback_;
    std::vector<zephcommdrv::Handler*> owed_;
};

} // namespace zephcommTcpDrv
