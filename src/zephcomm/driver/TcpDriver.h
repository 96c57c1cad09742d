#pragma once
// The TCP driver: N threads (4 by default), each running an event loop of
// its own (EventLoop: epoll), on which every socket event, timer and
// callback of its channels, acceptors and connectors is dispatched.
// Connections are spread over the loops in turn; acceptors, connectors and
// the receive watchdog use the first one.
//
// One loop per thread rather than N threads sharing one: a shared reactor
// hands its token (a futex wake-up and a context switch) from thread to
// thread for every event it dispatches, which cost more than the event
// itself at small messages. The price is that a callback that blocks holds
// up the other connections of its loop; driver callbacks must not block
// (see zephcommdrv.h).
//
// Threads: the constructor returns once every driver thread runs. Any
// thread may call the factory operations. destroy() must not be called on a
// driver thread; it ends the event loops and joins the threads.
//
// Bound on queued bytes: a channel holds at most maxQueuedBytes() bytes that
// were handed to send() and not yet written (ZEPHCOMMDRV_TCP_MAX_QUEUED_BYTES,
// default 256 MiB); a send beyond it fails with -ENOBUFS and closes the
// channel. One request larger than the bound is accepted when nothing waits.
//
// Receive limits: a partially received message must complete within
// ZEPHCOMMDRV_TCP_PARTIAL_TIMEOUT_SEC (default 60 s) and, when
// ZEPHCOMMDRV_TCP_IDLE_TIMEOUT_SEC is set, a receive must get its first byte
// within that time; otherwise the channel closes with a time-out (see
// ReceiveWatch.h and ReceiveWatchdog.h).
//
// Owed wake-ups: a callback that a handler is owed without socket readiness
// to carry it (the abort after a stop or cancel, the completions of a closed
// channel) travels as a loop notification made with wake(). destroy()
// lets every such wake-up run before it ends the event loops, so no handler
// is left waiting after the driver is gone, nor an object kept alive for a
// callback that never comes.
//
// Streams: each new connection's bytes go through a stream made by the
// driver's StreamFactory (plain TCP unless a derived driver gives another),
// so an encrypting driver reuses the channels, acceptor and connector as
// they are.

#include "zephcomm/driver/ByteStream.h"
#include "zephcomm/driver/EventLoop.h"
#include "zephcomm/driver/ReceiveWatchdog.h"
#include "zephcomm/driver/zephcommdrv.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <vector>

#include <ace/Barrier.h>
#include <ace/Thread_Manager.h>

namespace zephcommTcpDrv {

class TcpDriver : public zephcommdrv::Driver {
public:
    static constexpr int kDefaultThreads = 4;
    static constexpr size_t kDefaultMaxQueuedBytes = size_t(256) << 20;
    static constexpr const char* kMaxQueuedBytesVariable = "ZEPHCOMMDRV_TCP_MAX_QUEUED_BYTES";

    // `streams` null: plain TCP.
    TcpDriver(int threads, zephcommdrv::Logger* logger, std::shared_ptr<StreamFactory> streams = nullptr);

    // Whether the threads came up; a driver that is not running may only be
    // destroyed. startError() then tells why (minus errno).
    bool running() const { return running_; }
    int startError() const { return startError_; }

    // zephcommdrv::Driver
    void destroy() override;
    zephcommdrv::Channel* createChannel() override;
    zephcommdrv::Acceptor* createAcceptor(const std::string& address) override;
    zephcommdrv::Connector* createConnector() override;
    const char* defaultAddress() const override { return "0.0.0.0:0"; }
    std::string errorText(int error) const override;

    int threadCount() const { return threads_; }
    // The first loop: acceptors, connectors, the watchdog.
    EventLoop* loop() const { return loops_.front().get(); }
    // The loop for a new connection, each in turn.
    EventLoop* channelLoop();
    zephcommdrv::Logger* logger() const { return logger_; }
    size_t maxQueuedBytes() const { return maxQueuedBytes_; }
    StreamFactory& streams() const { return *streams_; }
    ReceiveWatchdog& receiveWatchdog() { return watchdog_; }

    // Has `loop` (the handler's) call handler->handle_exception() on its driver thread,
    // at once or within `within` (see EventLoop::notify); false when the
    // notification could not be queued (no call follows). The handler's
    // handle_exception must hold a WakeupUpcall for its whole length.
    bool wake(EventLoop& loop, ACE_Event_Handler* handler,
        std::chrono::microseconds within = std::chrono::microseconds::zero());

    // Marks the end of an upcall started by wake(). Declare it first in
    // handle_exception so that it ends after everything else, including
    // the handler giving back its own references.
    class WakeupUpcall {
    public:
        explicit WakeupUpcall(TcpDriver& driver)
            : driver_(driver)
        {
        }
        ~WakeupUpcall() { driver_.wakeupDone(); }
        WakeupUpcall(const WakeupUpcall&) = delete;
        WakeupUpcall& operator=(const WakeupUpcall&) = delete;

    private:
        TcpDriver& driver_;
    };

protected:
    ~TcpDriver() override;

private:
    static ACE_THR_FUNC_RETURN run(void* self);
    void wakeupDone();
    // Waits until every owed wake-up has run (bounded, see kWakeupDrainLimit).
    void drainWakeups();

    const int threads_;
    zephcommdrv::Logger* const logger_;
    const size_t maxQueuedBytes_;
    const std::shared_ptr<StreamFactory> streams_;
    std::vector<std::unique_ptr<EventLoop>> loops_; // one per thread
    std::atomic<unsigned> nextChannelLoop_ { 0 };
    std::atomic<unsigned> nextThreadLoop_ { 0 };
    ReceiveWatchdog watchdog_;
    ACE_Thread_Manager threadManager_;
    ACE_Barrier barrier_;
    bool running_ = false;
    int startError_ = 0;

    std::mutex wakeupsLock_;
    std::condition_variable wakeupsDrained_;
    size_t owedWakeups_ = 0;
};

} // namespace zephcommTcpDrv
