#include "zephcomm/driver/TcpAcceptor.h"

#include "zephcomm/driver/DriverLog.h"
#include "zephcomm/driver/SocketOps.h"
#include "zephcomm/driver/TcpChannel.h"
#include "zephcomm/driver/TcpDriver.h"
#include "zephcomm/driver/UpcallGuard.h"

#include <arpa/inet.h>
#include <netinet/in.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

namespace zephcommTcpDrv {

namespace {

unsigned addressOf(const void* p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

// Connections taken per wake-up before other sockets get their turn.
constexpr int kAcceptsPerEvent = 64;

} // namespace

TcpAcceptor::TcpAcceptor(TcpDriver& driver, const std::string& address)
    : driver_(driver)
    , logger_(driver.logger())
{
    TCPDRV_LOG(logger_, "TcpAcceptor::TcpAcceptor(this=%x, addr=%s)", addressOf(this), address.c_str());
}

TcpAcceptor::~TcpAcceptor()
{
    SocketOps::close(listenFd_);
}

int TcpAcceptor::open(const sockaddr_in& addr)
{
    const int fd = SocketOps::listenOn(addr, kBacklog);
    if (fd < 0) {
        TCPDRV_LOG(logger_, "TcpAcceptor::accept() : error - %s", SocketOps::errorText(fd).c_str());
        return fd;
    }
    listenFd_ = fd;
    return 0;
}

void TcpAcceptor::destroy()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (accepting_)
            stopLocked();
        if (registered_)
            driver_.loop()->removeHandler(
                this, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
        registered_ = false;
    }
    remove_reference();
}

int TcpAcceptor::startAccept(zephcommdrv::Handler* handler, long timeoutMs)
{
    TCPDRV_LOG(logger_, "TcpAcceptor::startAccept(this=%x, handler=%x)", addressOf(this), addressOf(handler));
    if (!handler)
        return zephcommdrv::kInvalid;
    std::lock_guard<std::mutex> guard(lock_);
    if (accepting_) {
        TCPDRV_LOG(
            logger_, "TcpAcceptor::accept() : error - second call to accept not allowed, return EINVAL");
        return zephcommdrv::kInvalid;
    }
    if (listenFd_ < 0) {
        TCPDRV_LOG(logger_, "TcpAcceptor::accept() : error - can't start operation, return EBADF");
        return zephcommdrv::kBadHandle;
    }
    int rc = registered_ ? driver_.loop()->setMask(this, ACE_Event_Handler::ACCEPT_MASK)
                         : driver_.loop()->registerHandler(this, ACE_Event_Handler::ACCEPT_MASK);
    if (rc == -1) {
        TCPDRV_LOG(logger_, "TcpAcceptor::accept() : error - can't start operation, return EBADF");
        return zephcommdrv::kBadHandle;
    }
    registered_ = true;
    accepting_ = true;
    handler_ = handler;
    timer_.stop();
    timer_.configure(driver_.loop(), this, timeoutMs, logger_);
    if (!timer_.start())
        TCPDRV_LOG(
            logger_, "TcpAcceptor::accept() : schedule_timer() error - second call to accept not allowed");
    return 0;
}

int TcpAcceptor::stopAccept()
{
    TCPDRV_LOG(logger_, "TcpAcceptor::stopAccept(this=%x)", addressOf(this));
    std::lock_guard<std::mutex> guard(lock_);
    if (!accepting_)
        return zephcommdrv::kBadHandle;
    stopLocked();
    return 0;
}

void TcpAcceptor::stopLocked()
{
    accepting_ = false;
    timer_.stop();
    driver_.loop()->setMask(this, ACE_Event_Handler::NULL_MASK);
    aborts_.add(handler_);
    handler_ = nullptr;
    driver_.wake(*driver_.loop(), this);
}

int TcpAcceptor::handle_input(ACE_HANDLE)
{
    UpcallGuard alive(this);
    TCPDRV_LOG(logger_, "TcpAcceptor::handle_accept(this=%x)", addressOf(this));
    std::lock_guard<std::mutex> deliveries(callbackLock_);
    for (int taken = 0; taken < kAcceptsPerEvent; ++taken) {
        zephcommdrv::Handler* handler = nullptr;
        int fd = -1;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (!accepting_)
                return 0;
            fd = SocketOps::accept(listenFd_);
            if (fd == SocketOps::kWouldBlock)
                return 0;
            handler = handler_;
            timer_.stop();
        }
        const int error = fd < 0 ? fd : 0;
        TCPDRV_LOG(logger_, "TcpAcceptor::process_accept(this=%x, err=%d)", addressOf(this), error);
        if (error != 0) {
            // Out of descriptors and the like: report it and let the event loop
            // come back later rather than spin here.
            handler->accept_CB(error, nullptr);
            return 0;
        }
        auto* channel = new TcpChannel(driver_, fd, StreamRole::Accepted);
        if (const int failed = channel->startError()) {
            channel->destroy();
            handler->accept_CB(failed, nullptr);
            continue;
        }
        handler->accept_CB(0, channel);
    }
    return 0;
}

int TcpAcceptor::handle_exception(ACE_HANDLE)
{
    TcpDriver::WakeupUpcall owed(driver_);
    UpcallGuard alive(this);
    std::lock_guard<std::mutex> deliveries(callbackLock_);
    aborts_.deliver(lock_);
    return 0;
}

int TcpAcceptor::handle_timeout(const ACE_Time_Value&, const void* act)
{
    UpcallGuard alive(this);
    TCPDRV_LOG(logger_, "TcpAcceptor::handle_time_out(this=%x,act=%x)", addressOf(this), addressOf(act));
    std::lock_guard<std::mutex> guard(lock_);
    if (accepting_ && timer_.serial() == reinterpret_cast<uintptr_t>(act))
        stopLocked();
    return 0;
}

std::string TcpAcceptor::connectHost(const sockaddr_in& local)
{
    sockaddr_in named = local;
    std::string host;
    if (local.sin_addr.s_addr == htonl(INADDR_ANY)) {
        // Every interface: clients reach us under the machine's own name.
        host = SocketOps::hostName();
        if (SocketOps::resolve(host, named) != 0)
            named = local;
    } else {
        host = SocketOps::reverseLookup(local);
        if (host.empty()) {
            TCPDRV_LOG(logger_, "TcpAcceptor::getConnectAddr() : gethostbyname_r() h_error - %d", 1);
            char dotted[INET_ADDRSTRLEN] = {};
            ::inet_ntop(AF_INET, &local.sin_addr, dotted, sizeof dotted);
            host = dotted;
        }
    }
    if (host.find('.') == std::string::npos) {
        const std::string full = SocketOps::reverseLookup(named);
        if (full.find('.') != std::string::npos)
            return full;
        TCPDRV_LOG(
            logger_, "TcpAcceptor::getConnectAddr() : DnsQuery() error - %s", "no fully qualified name");
    }
    return host;
}

int TcpAcceptor::getConnectAddr(char* buffer, size_t size)
{
    sockaddr_in local {};
    const int rc = SocketOps::localAddress(listenFd_, local);
    if (rc != 0) {
        TCPDRV_LOG(logger_, " TcpAcceptor::getConnectAddr() : get_local_addr() error - %s",
            SocketOps::errorText(rc).c_str());
        return rc;
    }
    char text[256];
    const int length = std::snprintf(
        text, sizeof text, "%s:%d", connectHost(local).c_str(), static_cast<int>(ntohs(local.sin_port)));
    if (length < 0 || static_cast<size_t>(length) >= sizeof text) {
        TCPDRV_LOG(logger_, " TcpAcceptor::getConnectAddr() : addr_to_string() error - %s", "name too long");
        return zephcommdrv::kInvalid;
    }
    const size_t needed = static_cast<size_t>(length) + 1;
    if (!buffer || needed > size) {
        TCPDRV_LOG(logger_, "TcpAcceptor::getConnectAddr() : addr_to_string() error - not enougth size %d",
            static_cast<int>(size));
        return static_cast<int>(needed);
    }
    std::memcpy(buffer, text, needed);
    return 0;
}

} // namespace zephcommTcpDrv
