#include "zephcomm/driver/SendQueue.h"

#include "zephcomm/driver/IoVectors.h"
#include "zephcomm/driver/zephcommdrv.h"

#include <climits>

namespace zephcommTcpDrv {

namespace {
constexpr size_t kMaxIovPerWrite = IOV_MAX;
} // namespace

SendQueue::SendQueue(size_t maxQueuedBytes)
    : maxQueuedBytes_(maxQueuedBytes)
{
}

SendQueue::~SendQueue()
{
    NodeList left;
    drain(left);
    while (HandlerNode* node = left.pop())
        delete node;
}

bool SendQueue::push(HandlerNode* node)
{
    if (pendingBytes_ > 0 && pendingBytes_ + node->totalBytes() > maxQueuedBytes_)
        return false;
    pendingBytes_ += node->totalBytes();
    queue_.push(node);
    return true;
}

void SendQueue::formBatch(NodeList& done)
{
    iov_.clear();
    iovIndex_ = 0;
    size_t batchBytes = 0;
    while (!queue_.empty() && (batch_.empty() || batchBytes < zephcommdrv::kMaxIoBytes)) {
        HandlerNode* node = queue_.pop();
        iov_.insert(iov_.end(), node->iov(), node->iov() + node->iovCount());
        batchBytes += node->totalBytes();
        batch_.push(node);
    }
    headLeft_ = batch_.empty() ? 0 : batch_.front()->totalBytes();
    completeFinishedHeads(done);
}

void SendQueue::completeFinishedHeads(NodeList& done)
{
    // Requests of zero bytes complete as soon as they reach the head.
    while (!batch_.empty() && headLeft_ == 0) {
        done.push(batch_.pop());
        headLeft_ = batch_.empty() ? 0 : batch_.front()->totalBytes();
    }
}

void SendQueue::consume(size_t bytes, NodeList& done)
{
    pendingBytes_ -= bytes;
    iovIndex_ = skipBytes(iov_.data(), iovIndex_, iov_.size(), bytes);
    size_t left = bytes;
    while (left > 0 && !batch_.empty()) {
        const size_t step = left < headLeft_ ? left : headLeft_;
        headLeft_ -= step;
        left -= step;
        completeFinishedHeads(done);
    }
}

int SendQueue::write(const WriteFn& writeFn, NodeList& done)
{
    for (;;) {
        if (batch_.empty()) {
            if (queue_.empty())
                return 0;
            formBatch(done);
            continue;
        }
        // Offer at most kMaxIoBytes: count whole buffers, then shorten the last.
        int count = 0;
        size_t offered = 0;
        size_t index = iovIndex_;
        while (index < iov_.size() && static_cast<size_t>(count) < kMaxIovPerWrite
            && offered < zephcommdrv::kMaxIoBytes) {
            offered += iov_[index].iov_len;
            ++index;
            ++count;
        }
        if (count == 0) {
            // Only empty requests can be left here; they are complete.
            while (!batch_.empty())
                done.push(batch_.pop());
            continue;
        }
        iovec& last = iov_[index - 1];
        const size_t lastLength = last.iov_len;
        if (offered > zephcommdrv::kMaxIoBytes) {
            last.iov_len -= offered - zephcommdrv::kMaxIoBytes;
            offered = zephcommdrv::kMaxIoBytes;
        }
        const ssize_t written = writeFn(&iov_[iovIndex_], count);
        last.iov_len = lastLength;
        if (written < 0)
            return static_cast<int>(written);
        consume(static_cast<size_t>(written), done);
        if (static_cast<size_t>(written) < offered)
            return kWait;
    }
}

void SendQueue::drain(NodeList& out)
{
    out.splice(batch_);
    out.splice(queue_);
    iov_.clear();
    iovIndex_ = 0;
    headLeft_ = 0;
    pendingBytes_ = 0;
}

bool SendQueue::ownsTimer(uint64_t serial) const
{
    for (const NodeList* list : { &batch_, &queue_ }) {
        for (const HandlerNode* node = list->front(); node; node = node->next) {
            if (node->timer.serial() == serial)
                return true;
        }
    }
    return false;
}

} // namespace zephcommTcpDrv
