#pragma once
// A listening TCP endpoint of the driver. The listening socket is opened
// when the acceptor is created (so a busy port is reported at once), with
// address reuse and a backlog of 6144; once started, every connection that
// arrives becomes a TcpChannel delivered through accept_CB until stopped.
//
// Threads: any thread may call the operations. accept_CB runs on a driver
// thread, never with lock_ held; callbackLock_ serialises deliveries so that
// the abort that follows stopAccept() comes after every accepted connection
// and nothing follows it.
//
// Lifetime: reference-counted (CountedHandler); the creator's reference is
// given back by destroy(); the event loop holds one while the socket is
// registered and while an abort notification is queued.

#include "zephcomm/driver/HandlerNode.h"
#include "zephcomm/driver/Timer.h"
#include "zephcomm/driver/zephcommdrv.h"

#include "zephcomm/driver/CountedHandler.h"

#include <mutex>
#include <string>

struct sockaddr_in;

namespace zephcommTcpDrv {

class TcpDriver;

class TcpAcceptor final : public CountedHandler, public zephcommdrv::Acceptor {
public:
    static constexpr int kBacklog = 6144;

    TcpAcceptor(TcpDriver& driver, const std::string& address);
    // Opens the listening socket; 0 or a negative error.
    int open(const sockaddr_in& addr);

    // zephcommdrv::Acceptor
    void destroy() override;
    int startAccept(zephcommdrv::Handler* handler, long timeoutMs) override;
    int stopAccept() override;
    int getConnectAddr(char* buffer, size_t size) override;

    // ACE_Event_Handler (driver threads)
    ACE_HANDLE get_handle() const override { return listenFd_; }
    int handle_input(ACE_HANDLE) override;
    int handle_exception(ACE_HANDLE) override;
    int handle_timeout(const ACE_Time_Value& now, const void* act) override;

private:
    ~TcpAcceptor() override;
    // Stops accepting and queues the abort for the current handler (lock_ held).
    void stopLocked();
    std::string connectHost(const sockaddr_in& local);

    TcpDriver& driver_;
    zephcommdrv::Logger* logger_;
    int listenFd_ = -1;

    std::mutex lock_;
    std::mutex callbackLock_;
    bool registered_ = false;
    bool accepting_ = false;
    zephcommdrv::Handler* handler_ = nullptr;
    Timer timer_;
    OwedAborts aborts_ { &zephcommdrv::Handler::accept_CB };
};

} // namespace zephcommTcpDrv
