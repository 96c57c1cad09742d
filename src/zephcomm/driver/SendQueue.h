#pragma once
// The send side of a stream channel, independent of how bytes reach the wire
// (plain socket or an encrypting layer): a current batch being written and a
// queue of further requests behind it. When a batch is written, the next one
// takes the first queued request plus further ones while the batch stays
// below kMaxIoBytes, so many small messages leave in one gathered write.
// A single write never offers more than kMaxIoBytes.
//
// Bound: bytes accepted but not yet written are limited to maxQueuedBytes, so
// a peer that stops reading cannot make the process grow without bound. A
// request larger than the bound is still accepted when nothing else waits.
//
// Not synchronised: used under the owning channel's lock.

#include "zephcomm/driver/HandlerNode.h"

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <functional>
#include <vector>

namespace zephcommTcpDrv {

class SendQueue {
public:
    // A write function returns the bytes taken (0 when it would block) or a
    // negative error.
    using WriteFn = std::function<ssize_t(const iovec* iov, int count)>;
    static constexpr int kWait = 1;

    explicit SendQueue(size_t maxQueuedBytes);
    ~SendQueue();
    SendQueue(const SendQueue&) = delete;
    SendQueue& operator=(const SendQueue&) = delete;

    // Appends a request; false (nothing taken) when it would exceed the bound.
    bool push(HandlerNode* node);
    bool empty() const { return batch_.empty() && queue_.empty(); }
    size_t pendingBytes() const { return pendingBytes_; }

    // Writes until everything is written (returns 0), the writer cannot take
    // more now (kWait; also after a partial write), or fails (its negative
    // error). Fully written requests are appended to `done` in send order.
    int write(const WriteFn& writeFn, NodeList& done);

    // Takes every request out, batch first, in send order.
    void drain(NodeList& out);

    // Whether a waiting request's time limit has this serial.
    bool ownsTimer(uint64_t serial) const;

private:
    void formBatch(NodeList& done);
    void consume(size_t bytes, NodeList& done);
    void completeFinishedHeads(NodeList& done);

    size_t maxQueuedBytes_;
    size_t pendingBytes_ = 0;
    NodeList batch_;
    NodeList queue_;
    // The batch's buffers, consumed in place; capacity is kept between
    // batches so that steady traffic allocates nothing here.
    std::vector<iovec> iov_;
    size_t iovIndex_ = 0;
    size_t headLeft_ = 0; // unwritten bytes of the batch's first request
};

} // namespace zephcommTcpDrv
