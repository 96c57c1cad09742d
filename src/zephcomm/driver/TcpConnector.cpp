#include "zephcomm/driver/TcpConnector.h"

#include "zephcomm/driver/DriverLog.h"
#include "zephcomm/driver/SocketOps.h"
#include "zephcomm/driver/TcpChannel.h"
#include "zephcomm/driver/TcpDriver.h"
#include "zephcomm/driver/UpcallGuard.h"

#include <netdb.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstdint>

namespace zephcommTcpDrv {

namespace {

// The host part of "host:port[;...]", which an encrypting stream checks the
// server's certificate against.
std::string hostOf(const std::string& address)
{
    const std::string target = address.substr(0, address.find(';'));
    return target.substr(0, target.rfind(':'));
}

} // namespace

TcpConnector::TcpConnector(TcpDriver& driver)
    : driver_(driver)
    , logger_(driver.logger())
{
}

TcpConnector::~TcpConnector()
{
    SocketOps::close(fd_);
}

void TcpConnector::destroy()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (fd_ >= 0)
            abortLocked();
    }
    remove_reference();
}

int TcpConnector::connect(const std::string& address, zephcommdrv::Handler* handler, long timeoutMs)
{
    if (!handler)
        return zephcommdrv::kInvalid;
    sockaddr_in target {};
    const int parsed = SocketOps::parseAddress(address.substr(0, address.find(';')), target);
    if (parsed != 0) {
        TCPDRV_LOG(logger_, "TcpConnector::connect() : kdx_gethostbyname_r() error - errno=%d, h_errno=%d",
            -parsed, h_errno);
        return parsed;
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (fd_ >= 0) {
        TCPDRV_LOG(logger_, "TcpConnector::connect() : bind() error - this Channel's already connecting");
        return zephcommdrv::kInvalid;
    }
    bool inProgress = false;
    const int fd = SocketOps::startConnect(target, inProgress);
    if (fd < 0)
        return fd;
    fd_ = fd;
    peerHost_ = hostOf(address);
    // Writable means connected (or failed); an immediate success is reported
    // the same way, from a driver thread.
    if (driver_.loop()->registerHandler(this, ACE_Event_Handler::CONNECT_MASK) == -1) {
        const int error = SocketOps::lastError();
        SocketOps::close(fd_);
        fd_ = -1;
        return error;
    }
    handler_ = handler;
    timer_.stop();
    timer_.configure(driver_.loop(), this, timeoutMs, logger_);
    if (!timer_.start())
        TCPDRV_LOG(logger_,
            "TcpChannelConnector::start() : schedule_timer() error - second call to accept not allowed.");
    return 0;
}

int TcpConnector::cancel()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (fd_ < 0) {
        TCPDRV_LOG(logger_, "TcpConnector::cancel() : debug - no connector found, return EBADF");
        return zephcommdrv::kBadHandle;
    }
    abortLocked();
    return 0;
}

void TcpConnector::abortLocked()
{
    timer_.stop();
    driver_.loop()->removeHandler(this, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
    SocketOps::close(fd_);
    fd_ = -1;
    aborts_.add(handler_);
    handler_ = nullptr;
    driver_.wake(*driver_.loop(), this);
}

int TcpConnector::finishConnect()
{
    UpcallGuard alive(this);
    std::lock_guard<std::mutex> deliveries(callbackLock_);
    zephcommdrv::Handler* handler = nullptr;
    int fd = -1;
    int result = 0;
    std::string peerHost;
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (fd_ < 0)
            return 0;
        fd = fd_;
        result = SocketOps::connectResult(fd);
        timer_.stop();
        driver_.loop()->removeHandler(
            this, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
        fd_ = -1;
        handler = handler_;
        handler_ = nullptr;
        peerHost.swap(peerHost_);
    }
    if (result != 0) {
        SocketOps::close(fd);
        handler->connect_CB(result, nullptr);
        return 0;
    }
    auto* channel = new TcpChannel(driver_, fd, StreamRole::Connected, peerHost);
    if (const int failed = channel->startError()) {
        channel->destroy();
        handler->connect_CB(failed, nullptr);
        return 0;
    }
    handler->connect_CB(0, channel);
    return 0;
}

int TcpConnector::handle_exception(ACE_HANDLE)
{
    TcpDriver::WakeupUpcall owed(driver_);
    UpcallGuard alive(this);
    std::lock_guard<std::mutex> deliveries(callbackLock_);
    aborts_.deliver(lock_);
    return 0;
}

int TcpConnector::handle_timeout(const ACE_Time_Value&, const void* act)
{
    UpcallGuard alive(this);
    std::lock_guard<std::mutex> guard(lock_);
    if (fd_ >= 0 && timer_.serial() == reinterpret_cast<uintptr_t>(act))
        abortLocked();
    return 0;
}

} // namespace zephcommTcpDrv
