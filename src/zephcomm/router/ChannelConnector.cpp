#include "zephcomm/router/ChannelConnector.h"

#include "common/ResultCodes.h"
#include "platform/zor/zor.h"
#include "zephcomm/router/Channel.h"
#include "zephcomm/router/DriverLoader.h"
#include "zephcomm/router/ErrorReport.h"
#include "zephcomm/router/Url.h"
#include "zephcomm/wire/MessageHeader.h"

#include <ace/Message_Block.h>

#include <utility>

namespace zephcomm {

ChannelConnector::ChannelConnector(DriverLoader& loader)
    : kav::Referable(1)
    , driver_(loader.driver())
{
    if (driver_ == nullptr) {
        LOG4CXX_ERROR(
            Loggers::connector(), "ChannelConnector::ChannelConnector() : ERROR - NO DRIVER LOADED");
        return;
    }
    io_ = driver_->createConnector();
}

ChannelConnector::~ChannelConnector()
{
    if (handler_ != nullptr)
        handler_->release();
    if (channel_ != nullptr)
        channel_->release();
}

int ChannelConnector::connect(
    const std::string& url, const std::string& endpointName, CompletionHandler* handler, long timeoutMs)
{
    if (io_ == nullptr || handler == nullptr)
        return -1;
    std::optional<ParsedUrl> parsed = parseUrl(url);
    if (!parsed) {
        LOG4CXX_ERROR(
            Loggers::connector(), "ChannelConnector::connect() : ERROR in parsing connecting URL=" << url);
        return -1;
    }
    // The handshake receive is registered before lock_ is taken: a driver
    // thread holds the channel's lock when it calls finish(), which takes lock_.
    auto* channel = new Channel(endpointName, driver_);
    int rc = channel->receive(wire::kHandshakeTypeName, this);
    if (rc != 0) {
        channel->release();
        return rc;
    }
    std::lock_guard guard(lock_);
    if (channel_ != nullptr) {
        channel->cancelReceive(wire::kHandshakeTypeName);
        channel->release();
        return -1;
    }
    if (const char* mask = zor_getconfparam("QEL_PREFERRED_IP_MASK"))
        LOG4CXX_DEBUG(Loggers::connector(),
            "ChannelConnector::connect() : QEL_PREFERRED_IP_MASK=" << mask << " not used by this driver");
    channel_ = channel;
    handler_ = handler;
    handler_->reference();
    reference(); // held until the handler has been told
    rc = io_->connect(parsed->address, this, timeoutMs);
    if (rc != 0) {
        ZEPHCOMM_REPORT(Loggers::connector(), ZEPHCOMM_DRIVER_ERROR, driver_->errorText(rc));
        channel_ = nullptr;
        channel->cancelReceive(wire::kHandshakeTypeName);
        channel->release();
        std::exchange(handler_, nullptr)->release();
        release();
    }
    return rc;
}

int ChannelConnector::cancel()
{
    if (io_ == nullptr)
        return -1;
    int rc = io_->cancel();
    if (rc == 0)
        return 0;
    // Connected already: the handshake is in progress on the channel.
    kav::RefPtr<Channel> channel;
    {
        std::lock_guard guard(lock_);
        channel = kav::RefPtr<Channel>(channel_);
    }
    if (!channel)
        return rc;
    channel->destroy();
    return 0;
}

void ChannelConnector::destroy()
{
    if (io_ != nullptr)
        std::exchange(io_, nullptr)->destroy();
    release();
}

void ChannelConnector::finish(int error, const std::string& peerName, Channel* channel)
{
    CompletionHandler* handler = nullptr;
    Channel* pending = nullptr;
    {
        std::lock_guard guard(lock_);
        handler = std::exchange(handler_, nullptr);
        pending = std::exchange(channel_, nullptr);
    }
    if (handler != nullptr) {
        handler->connect_CB(error, peerName, error == 0 ? channel : nullptr);
        handler->release();
    }
    if (pending != nullptr) {
        if (error != 0)
            pending->destroy();
        pending->release(); // the user took its own reference in connect_CB
    }
    release();
}

void ChannelConnector::connect_CB(int error, zephcommdrv::Channel* io)
{
    Channel* channel = nullptr;
    {
        std::lock_guard guard(lock_);
        channel = channel_;
    }
    if (error == 0 && io != nullptr && channel != nullptr) {
        LOG4CXX_DEBUG(Loggers::connector(), "ChannelConnector::connect_CB(): io->send()");
        const wire::Handshake& handshake = channel->handshake();
        error
            = io->send(wire::Handshake::kPieces, handshake.buffers(), handshake.lengths(), this, 0, channel);
        if (error == 0)
            return;
    }
    if (io != nullptr)
        io->destroy();
    if (error < 0)
        ZEPHCOMM_REPORT(Loggers::connector(), ZEPHCOMM_DRIVER_ERROR, driver_->errorText(error));
    finish(error == 0 ? -1 : error, "", nullptr);
}

void ChannelConnector::send_CB(void* token, int error, zephcommdrv::Channel* io)
{
    auto* channel = static_cast<Channel*>(token);
    if (error != 0) {
        io->destroy();
        finish(error, "", nullptr);
        return;
    }
    LOG4CXX_DEBUG(Loggers::connector(), "ChannelConnector::send_CB(): io->receive()");
    channel->connect_CB(0, io); // starts the receive loop; the peer's handshake follows
}

void ChannelConnector::receive_CB(
    int error, const std::string& typeName, ACE_Message_Block* message, Channel* channel)
{
    kav::RefPtr<ChannelConnector> self(this);
    std::string peerName;
    for (const ACE_Message_Block* block = message; block != nullptr; block = block->cont())
        peerName.append(block->rd_ptr(), block->length());
    if (message != nullptr)
        message->release();
    if (error == 0)
        channel->cancelReceive(typeName);
    finish(error, peerName, channel);
}

} // namespace zephcomm
