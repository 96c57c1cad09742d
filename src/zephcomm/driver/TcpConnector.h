#pragma once
// Opens outgoing TCP connections for the driver, one at a time per
// connector: a non-blocking connect watched by the event loop, with an optional
// time limit; the connected socket becomes a TcpChannel delivered through
// connect_CB.
//
// Address: "host:port". Text from the first ';' on (a preferred local address
// mask some callers append) is ignored: the system picks the local address.
//
// Threads: any thread may call the operations; connect_CB runs on a driver
// thread, never with lock_ held, serialised by callbackLock_ so that exactly
// one callback follows each accepted connect().
//
// Lifetime: reference-counted (CountedHandler); the creator's reference is
// given back by destroy(); the event loop holds one while a connect is watched
// and while an abort notification is queued.

#include "zephcomm/driver/HandlerNode.h"
#include "zephcomm/driver/Timer.h"
#include "zephcomm/driver/zephcommdrv.h"

#include "zephcomm/driver/CountedHandler.h"

#include <mutex>
#include <string>

namespace zephcommTcpDrv {

class TcpDriver;

class TcpConnector final : public CountedHandler, public zephcommdrv::Connector {
public:
    explicit TcpConnector(TcpDriver& driver);

    // zephcommdrv::Connector
    void destroy() override;
    int connect(const std::string& address, zephcommdrv::Handler* handler, long timeoutMs) override;
    int cancel() override;

    // ACE_Event_Handler (driver threads)
    ACE_HANDLE get_handle() const override { return fd_; }
    int handle_input(ACE_HANDLE) override { return finishConnect(); }
    int handle_output(ACE_HANDLE) override { return finishConnect(); }
    int handle_exception(ACE_HANDLE) override;
    int handle_timeout(const ACE_Time_Value& now, const void* act) override;

private:
    ~TcpConnector() override;
    int finishConnect();
    // Abandons the pending connect and queues its abort (lock_ held).
    void abortLocked();

    TcpDriver& driver_;
    zephcommdrv::Logger* logger_;

    std::mutex lock_;
    std::mutex callbackLock_;
    int fd_ = -1; // the connecting socket
    std::string peerHost_; // the host asked for, for the channel's stream
    zephcommdrv::Handler* handler_ = nullptr;
    Timer timer_;
    OwedAborts aborts_ { &zephcommdrv::Handler::connect_CB };
};

} // namespace zephcommTcpDrv
