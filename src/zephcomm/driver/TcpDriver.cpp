#include "zephcomm/driver/TcpDriver.h"

#include "zephcomm/driver/DriverLog.h"
#include "zephcomm/driver/SocketOps.h"
#include "zephcomm/driver/TcpAcceptor.h"
#include "zephcomm/driver/TcpChannel.h"
#include "zephcomm/driver/TcpConnector.h"

#include <netinet/in.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <string>
#include <vector>

namespace zephcommTcpDrv {

namespace {

// How long destroy() waits for owed wake-ups. They only run callbacks that
// are already due, so this bounds a handler that blocks in its callback,
// not normal work.
constexpr std::chrono::seconds kWakeupDrainLimit { 30 };

int effectiveThreads(int requested)
{
    return requested < 1 ? TcpDriver::kDefaultThreads : requested;
}

size_t readMaxQueuedBytes()
{
    const char* text = std::getenv(TcpDriver::kMaxQueuedBytesVariable);
    if (!text || !*text)
        return TcpDriver::kDefaultMaxQueuedBytes;
    char* end = nullptr;
    const unsigned long long value = std::strtoull(text, &end, 10);
    return (*end == '\0' && value > 0 && text[0] != '-') ? static_cast<size_t>(value)
                                                         : TcpDriver::kDefaultMaxQueuedBytes;
}

void startWatchdog(ReceiveWatchdog& watchdog, EventLoop* loop, zephcommdrv::Logger* logger)
{
    std::vector<std::string> rejected;
    const ReceiveLimits limits = ReceiveLimits::fromEnvironment(&rejected);
    for (const std::string& setting : rejected)
        TCPDRV_LOG(
            logger, "TcpDriver() : ignoring %s (whole seconds expected), default used", setting.c_str());
    if (const int rc = watchdog.start(loop, limits))
        TCPDRV_LOG(
            logger, "TcpDriver() : receive watchdog not started - %s", SocketOps::errorText(rc).c_str());
}

} // namespace

TcpDriver::TcpDriver(int threads, zephcommdrv::Logger* logger, std::shared_ptr<StreamFactory> streams)
    : threads_(effectiveThreads(threads))
    , logger_(logger)
    , maxQueuedBytes_(readMaxQueuedBytes())
    , streams_(streams ? std::move(streams) : std::make_shared<PlainStreamFactory>())
    , barrier_(static_cast<unsigned>(effectiveThreads(threads) + 1))
{
    for (int i = 0; i < threads_; ++i) {
        loops_.push_back(std::make_unique<EventLoop>(logger_));
        if (loops_.back()->startError() != 0) {
            startError_ = loops_.back()->startError();
            TCPDRV_LOG(
                logger_, "TcpDriver() : ACE_Proactor_Imp() error - %s", errorText(startError_).c_str());
            return;
        }
    }
    startWatchdog(watchdog_, loop(), logger_);
    if (threadManager_.spawn_n(static_cast<size_t>(threads_), run, this) == -1) {
        startError_ = SocketOps::lastError();
        TCPDRV_LOG(logger_, "TcpDriver() : spawn_n() error - %s", errorText(startError_).c_str());
        return;
    }
    barrier_.wait();
    running_ = true;
}

TcpDriver::~TcpDriver()
{
    watchdog_.stop();
    loops_.clear();
}

EventLoop* TcpDriver::channelLoop()
{
    const unsigned turn = nextChannelLoop_.fetch_add(1, std::memory_order_relaxed);
    return loops_[turn % loops_.size()].get();
}

ACE_THR_FUNC_RETURN TcpDriver::run(void* self)
{
    auto* driver = static_cast<TcpDriver*>(self);
    EventLoop* loop = driver->loops_[driver->nextThreadLoop_.fetch_add(1)].get();
    // Logged before the barrier so that the line exists once the driver
    // reports itself running.
    TCPDRV_LOG(driver->logger_, "TcpDriver::svc() - debug : start proactor_run_event_loop()");
    driver->barrier_.wait();
    loop->run();
    return 0;
}

bool TcpDriver::wake(EventLoop& loop, ACE_Event_Handler* handler, std::chrono::microseconds within)
{
    {
        std::lock_guard<std::mutex> guard(wakeupsLock_);
        ++owedWakeups_;
    }
    if (loop.notify(handler, within) == 0)
        return true;
    TCPDRV_LOG(logger_, "TcpDriver::wake() : notify() error - %s", errorText(SocketOps::lastError()).c_str());
    wakeupDone();
    return false;
}

void TcpDriver::wakeupDone()
{
    std::lock_guard<std::mutex> guard(wakeupsLock_);
    if (--owedWakeups_ == 0)
        wakeupsDrained_.notify_all();
}

void TcpDriver::drainWakeups()
{
    std::unique_lock<std::mutex> guard(wakeupsLock_);
    if (!wakeupsDrained_.wait_for(guard, kWakeupDrainLimit, [this] { return owedWakeups_ == 0; }))
        TCPDRV_LOG(logger_, "TcpDriver::destroy() : %d owed callbacks did not run in time",
            static_cast<int>(owedWakeups_));
}

void TcpDriver::destroy()
{
    if (running_) {
        // Every callback owed so far runs first; one owed meanwhile by such
        // a callback is counted before the one that made it ends.
        drainWakeups();
        for (const auto& loop : loops_)
            loop->end();
        threadManager_.wait();
    }
    delete this;
}

zephcommdrv::Channel* TcpDriver::createChannel()
{
    return new TcpChannel(*this, -1);
}

zephcommdrv::Acceptor* TcpDriver::createAcceptor(const std::string& address)
{
    sockaddr_in addr {};
    int rc = SocketOps::parseAddress(address, addr);
    if (rc == 0) {
        auto* acceptor = new TcpAcceptor(*this, address);
        rc = acceptor->open(addr);
        if (rc == 0)
            return acceptor;
        acceptor->destroy();
    }
    errno = -rc;
    return nullptr;
}

zephcommdrv::Connector* TcpDriver::createConnector()
{
    return new TcpConnector(*this);
}

std::string TcpDriver::errorText(int error) const
{
    return SocketOps::errorText(error);
}

} // namespace zephcommTcpDrv
