#include "zephcomm/driver/HandlerNode.h"

#include <ace/Event_Handler.h>

namespace zephcommTcpDrv {

HandlerNode::HandlerNode(
    zephcommdrv::Handler* handler, void* token, int count, const void* const* buffers, const size_t* lengths)
    : kind_(Kind::Send)
    , handler_(handler)
    , token_(token)
{
    if (count > kInlineBuffers) {
        spilled_.reset(new iovec[static_cast<size_t>(count)]);
        iovs_ = spilled_.get();
    }
    iovCount_ = count;
    for (int i = 0; i < count; ++i) {
        iovs_[i] = iovec { const_cast<void*>(buffers[i]), lengths[i] };
        totalBytes_ += lengths[i];
    }
}

HandlerNode::HandlerNode(zephcommdrv::Handler* handler, void* buffer, size_t length)
    : kind_(Kind::Receive)
    , handler_(handler)
    , iovCount_(1)
    , totalBytes_(length)
{
    inline_[0] = iovec { buffer, length };
}

HandlerNode::~HandlerNode()
{
    timer.stop();
    if (counted_)
        counted_->remove_reference();
}

void HandlerNode::attach(ACE_Event_Handler* counted, zephcommdrv::Channel* channel)
{
    counted_ = counted;
    channel_ = channel;
    counted_->add_reference();
}

void HandlerNode::deliver()
{
    if (kind_ == Kind::Send)
        handler_->send_CB(token_, error, channel_);
    else
        handler_->receive_CB(error, iovs_[0].iov_base, totalBytes_, channel_);
}

void NodeList::push(HandlerNode* node)
{
    node->next = nullptr;
    if (tail_)
        tail_->next = node;
    else
        head_ = node;
    tail_ = node;
}

HandlerNode* NodeList::pop()
{
    HandlerNode* node = head_;
    if (node) {
        head_ = node->next;
        if (!head_)
            tail_ = nullptr;
        node->next = nullptr;
    }
    return node;
}

void NodeList::splice(NodeList& other)
{
    if (other.empty())
        return;
    if (tail_)
        tail_->next = other.head_;
    else
        head_ = other.head_;
    tail_ = other.tail_;
    other.head_ = other.tail_ = nullptr;
}

void OwedAborts::deliver(std::mutex& ownerLock)
{
    std::vector<zephcommdrv::Handler*> due;
    {
        std::lock_guard<std::mutex> guard(ownerLock);
        due.swap(owed_);
    }
    for (zephcommdrv::Handler* handler : due)
        (handler->*callback_)(zephcommdrv::kAborted, nullptr);
}

} // namespace zephcommTcpDrv
