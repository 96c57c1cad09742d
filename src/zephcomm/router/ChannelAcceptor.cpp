#include "zephcomm/router/ChannelAcceptor.h"

#include "common/ResultCodes.h"
#include "zephcomm/router/Channel.h"
#include "zephcomm/router/DriverLoader.h"
#include "zephcomm/router/ErrorReport.h"
#include "zephcomm/router/Url.h"
#include "zephcomm/wire/MessageHeader.h"

#include <ace/Message_Block.h>

#include <utility>

#include <algorithm>
#include <cerrno>

namespace zephcomm {

namespace {

std::string payloadText(const ACE_Message_Block* message)
{
    std::string text;
    for (const ACE_Message_Block* block = message; block != nullptr; block = block->cont())
        text.append(block->rd_ptr(), block->length());
    return text;
}

} // namespace

ChannelAcceptor::ChannelAcceptor(
    const std::string& url, const std::string& endpointName, DriverLoader& loader)
    : kav::Referable(1)
    , endpointName_(endpointName)
    , loader_(loader)
    , driver_(loader.driver())
{
    if (driver_ == nullptr) {
        LOG4CXX_ERROR(Loggers::acceptor(), "ChannelAcceptor::ChannelAcceptor() : ERROR - NO DRIVER LOADED");
        return;
    }
    std::optional<ParsedUrl> parsed = parseUrl(url);
    if (!parsed) {
        LOG4CXX_ERROR(
            Loggers::acceptor(), "ChannelAcceptor::ChannelAcceptor() : ERROR in parsing URL=" << url);
        return;
    }
    io_ = driver_->createAcceptor(parsed->address);
    if (io_ == nullptr) {
        openError_ = errno != 0 ? -errno : -1;
        std::string text = driver_->errorText(openError_);
        ZEPHCOMM_REPORT(Loggers::acceptor(), ZEPHCOMM_DRIVER_ERROR, text);
        ZEPHCOMM_REPORT(Loggers::acceptor(), ZEPHCOMM_DRIVER_INIT_FAIL, "ChannelAcceptor(" + url + ")");
    }
}

ChannelAcceptor::~ChannelAcceptor()
{
    for (CompletionHandler* handler : handlers_)
        handler->release();
}

void ChannelAcceptor::addHandler(CompletionHandler* handler)
{
    if (handler == nullptr)
        return;
    handler->reference();
    std::lock_guard guard(lock_);
    handlers_.push_back(handler);
}

void ChannelAcceptor::removeHandler(CompletionHandler* handler)
{
    {
        std::lock_guard guard(lock_);
        auto found = std::find(handlers_.begin(), handlers_.end(), handler);
        if (found == handlers_.end())
            return;
        handlers_.erase(found);
    }
    handler->release();
}

int ChannelAcceptor::accept()
{
    if (io_ == nullptr)
        return openError_;
    reference(); // held while accepting, given back by the final accept_CB
    int rc = io_->startAccept(this, 0);
    if (rc != 0) {
        ZEPHCOMM_REPORT(Loggers::acceptor(), ZEPHCOMM_DRIVER_ERROR, driver_->errorText(rc));
        release();
    }
    return rc;
}

int ChannelAcceptor::cancel()
{
    return io_ != nullptr ? io_->stopAccept() : -1;
}

int ChannelAcceptor::getConnectAddr(std::string& address)
{
    if (io_ == nullptr)
        return -1;
    std::vector<char> buffer(256);
    int rc = io_->getConnectAddr(buffer.data(), buffer.size());
    if (rc > 0) {
        buffer.resize(static_cast<size_t>(rc));
        rc = io_->getConnectAddr(buffer.data(), buffer.size());
    }
    if (rc == 0)
        address = buffer.data();
    return rc;
}

void ChannelAcceptor::destroy()
{
    LOG4CXX_DEBUG(Loggers::acceptor(), "ChannelAcceptor::destroy(this=" << this << ")");
    if (io_ != nullptr)
        std::exchange(io_, nullptr)->destroy();
    std::vector<CompletionHandler*> handlers;
    std::vector<kav::RefPtr<Channel>> handshaking;
    {
        std::lock_guard guard(lock_);
        handlers.swap(handlers_);
        stopped_ = true;
        for (Channel* channel : handshaking_)
            handshaking.emplace_back(channel);
    }
    // Closing ends each handshake binding with an error (receive_CB), which
    // gives back the connection's reference.
    for (auto& channel : handshaking)
        channel->destroy();
    for (CompletionHandler* handler : handlers)
        handler->release();
    release();
}

bool ChannelAcceptor::trackHandshake(Channel* channel)
{
    std::lock_guard guard(lock_);
    if (stopped_)
        return false;
    handshaking_.insert(channel);
    return true;
}

void ChannelAcceptor::untrackHandshake(Channel* channel)
{
    std::lock_guard guard(lock_);
    handshaking_.erase(channel);
}

bool ChannelAcceptor::stopped()
{
    std::lock_guard guard(lock_);
    return stopped_;
}

void ChannelAcceptor::notifyAll(int error, const std::string& peerName, Channel* channel)
{
    std::vector<kav::RefPtr<CompletionHandler>> handlers;
    {
        std::lock_guard guard(lock_);
        for (CompletionHandler* handler : handlers_)
            handlers.emplace_back(handler);
    }
    for (auto& handler : handlers) {
        try {
            handler->accept_CB(error, peerName, channel);
        } catch (...) {
            // A connection its user could not take is closed; accepting goes on.
            reportEscapedException(Loggers::acceptor(), __FILE__, __LINE__);
            if (channel != nullptr)
                channel->destroy();
        }
    }
}

void ChannelAcceptor::accept_CB(int error, zephcommdrv::Channel* io)
{
    if (error != 0 || io == nullptr) {
        if (io != nullptr)
            io->destroy();
        if (error == zephcommdrv::kAborted) {
            release(); // accepting has ended
            return;
        }
        if (error < 0)
            ZEPHCOMM_REPORT(Loggers::acceptor(), ZEPHCOMM_DRIVER_ERROR, driver_->errorText(error));
        notifyAll(error == 0 ? -1 : error, "", nullptr);
        return;
    }
    for (const auto& [name, value] : loader_.options())
        io->option(name, value);
    Channel* channel = new (std::nothrow) Channel(endpointName_, driver_);
    if (channel == nullptr) {
        io->destroy();
        notifyAll(-ENOMEM, "", nullptr);
        return;
    }
    reference(); // held until the handshake's send_CB
    const wire::Handshake& handshake = channel->handshake();
    int rc = io->send(wire::Handshake::kPieces, handshake.buffers(), handshake.lengths(), this, 0, channel);
    if (rc != 0) {
        io->destroy();
        channel->release();
        notifyAll(rc, "", nullptr);
        release();
    }
}

void ChannelAcceptor::send_CB(void* token, int error, zephcommdrv::Channel* io)
{
    auto* channel = static_cast<Channel*>(token);
    if (error == 0 && !trackHandshake(channel)) {
        // destroy() has begun: nobody will serve this connection.
        io->destroy();
        channel->release();
        release();
        return;
    }
    int rc = error;
    if (rc == 0)
        rc = channel->receive(wire::kHandshakeTypeName, this);
    if (rc == 0) {
        kav::RefPtr<Channel> hold(channel); // the handshake may complete, or fail, at once
        channel->accept_CB(0, io); // starts the receive loop
        // destroy() may have looked at the handshakes before the loop began,
        // when closing the channel was still a no-op.
        if (stopped())
            channel->destroy();
    } else {
        untrackHandshake(channel);
        io->destroy();
        channel->release();
        notifyAll(rc, "", nullptr);
    }
    release();
}

void ChannelAcceptor::receive_CB(
    int error, const std::string& typeName, ACE_Message_Block* message, Channel* channel)
{
    kav::RefPtr<ChannelAcceptor> self(this); // unbinding drops the binding's reference
    untrackHandshake(channel);
    std::string peerName = payloadText(message);
    if (message != nullptr)
        message->release();
    if (error == 0) {
        channel->cancelReceive(typeName);
        if (peerName.empty())
            channel->destroy(); // a peer without a name can never be served
        else
            notifyAll(0, peerName, channel);
    }
    channel->release(); // the reference taken when the connection came in
}

} // namespace zephcomm
