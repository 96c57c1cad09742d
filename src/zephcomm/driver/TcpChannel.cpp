#include "zephcomm/driver/TcpChannel.h"

#include "zephcomm/driver/DriverLog.h"
#include "zephcomm/driver/SocketOps.h"
#include "zephcomm/driver/TcpDriver.h"
#include "zephcomm/driver/UpcallGuard.h"

#include <log4cxx/logger.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace zephcommTcpDrv {

namespace {

constexpr size_t kReadAheadSize = 16384;
// Delivery rounds one loop event may run before other channels get a turn.
// Each turn given back costs a loop notification (an eventfd write and read)
// when the channel still has work, so a turn is a few hundred microseconds
// of a busy channel's traffic, not a few dozen messages.
constexpr int kRoundsPerEvent = 128;

// How long a send that finished on the caller's thread may wait for its
// send_CB. Its bytes are in the socket already; the callback only hands the
// buffers back, so it rides along with the loop's next wake-up instead of
// costing one of its own (a worker thread's answer would otherwise wake the
// connection's loop once per request).
constexpr std::chrono::microseconds kDeferredSendReport { 2000 };

// The channel whose callbacks this thread is delivering, if any. A send made
// from inside such a callback is left to the delivery loop, which writes all
// of them together once the callbacks have returned.
thread_local const TcpChannel* deliveringChannel = nullptr;

unsigned addressOf(const void* p)
{
    return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p));
}

// What queued sends report when the channel closes with `error`.
int sendErrorForClose(int error)
{
    if (error == 0 || error == -1)
        return zephcommdrv::kAborted;
    return error > 0 ? -error : error;
}

} // namespace

TcpChannel::TcpChannel(TcpDriver& driver, int fd, StreamRole role, const std::string& peerHost)
    : driver_(driver)
    , logger_(driver.logger())
    , fd_(fd)
    , home_(fd >= 0 ? driver.channelLoop() : driver.loop())
    , open_(fd >= 0)
    , sendQueue_(driver.maxQueuedBytes())
    , options_(driver.logger())
{
    if (fd_ < 0)
        return;
    options_.applyDefaults(fd_);
    stream_ = driver.streams().open(fd_, role, peerHost, startError_);
    if (!stream_) {
        if (startError_ == 0)
            startError_ = -EIO;
        open_ = false;
        TCPDRV_LOG(logger_, "TcpChannel::TcpChannel() : stream error - %s",
            SocketOps::errorText(startError_).c_str());
        return;
    }
    driver.receiveWatchdog().add(this);
    watched_ = true;
}

TcpChannel::~TcpChannel()
{
    if (watched_)
        driver_.receiveWatchdog().remove(this);
    SocketOps::close(fd_);
}

ACE_Event_Handler::Reference_Count TcpChannel::add_reference()
{
    const Reference_Count count = CountedHandler::add_reference();
    TCPDRV_LOG(
        logger_, "TcpChannel::reference(): channel=%x , cnt=%d", addressOf(this), static_cast<int>(count));
    return count;
}

ACE_Event_Handler::Reference_Count TcpChannel::remove_reference()
{
    // The base may delete this object: keep what the log line needs.
    zephcommdrv::Logger* logger = logger_;
    const unsigned self = addressOf(this);
    const Reference_Count count = CountedHandler::remove_reference();
    TCPDRV_LOG(logger, "TcpChannel::release(): channel=%x , cnt=%d", self, static_cast<int>(count));
    return count;
}

void TcpChannel::destroy()
{
    {
        std::lock_guard<std::mutex> guard(lock_);
        closeChannel(0);
        settle();
    }
    remove_reference();
}

int TcpChannel::send(int count, const void* const* buffers, const size_t* lengths,
    zephcommdrv::Handler* handler, long timeoutMs, void* token)
{
    if (count < 1 || !buffers || !lengths || !handler)
        return zephcommdrv::kInvalid;
    std::lock_guard<std::mutex> guard(lock_);
    if (!open_) {
        TCPDRV_LOG(logger_, "TcpChannel::send() : debug - Channel already disconnected, return EBADF");
        return zephcommdrv::kBadHandle;
    }
    auto* node = new HandlerNode(handler, token, count, buffers, lengths);
    node->attach(this, this);
    if (!sendQueue_.push(node)) {
        TCPDRV_LOG(
            logger_, "TcpChannel::send() : insert_tail() error - %s", SocketOps::errorText(-ENOBUFS).c_str());
        delete node;
        closeChannel(-ENOBUFS);
        settle();
        return -ENOBUFS;
    }
    node->timer.configure(home_, this, timeoutMs, logger_);
    node->timer.start();
    if (deliveringChannel != this)
        advanceSend();
    settle();
    return 0;
}

int TcpChannel::cancelSend()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!open_) {
        TCPDRV_LOG(logger_, "TcpChannel::cancelSend() : debug - Channel already disconnected, return EBADF");
        return zephcommdrv::kBadHandle;
    }
    closeChannel(zephcommdrv::kAborted);
    settle();
    return 0;
}

int TcpChannel::receive(void* buffer, size_t length, zephcommdrv::Handler* handler, long timeoutMs)
{
    if (!buffer || length == 0 || !handler)
        return zephcommdrv::kInvalid;
    std::lock_guard<std::mutex> guard(lock_);
    if (!open_) {
        TCPDRV_LOG(logger_, "TcpChannel::receive() : debug - Channel already disconnected, return EBADF");
        return zephcommdrv::kBadHandle;
    }
    if (receive_) {
        TCPDRV_LOG(logger_, "TcpChannel::receive() : debug - not allowed multiple calls, return EBADF ");
        return zephcommdrv::kBadHandle;
    }
    receive_ = new HandlerNode(handler, buffer, length);
    receive_->attach(this, this);
    watch_.started(driver_.receiveWatchdog().now());
    receive_->timer.configure(home_, this, timeoutMs, logger_);
    if (!receive_->timer.start())
        TCPDRV_LOG(logger_, "TcpChannel::receive() : startTimer() error - %s",
            SocketOps::errorText(SocketOps::lastError()).c_str());
    advanceReceive();
    settle();
    return 0;
}

int TcpChannel::cancelReceive()
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!open_) {
        TCPDRV_LOG(
            logger_, "TcpChannel::cancelReceive() : debug - Channel already disconnected, return EBADF");
        return zephcommdrv::kBadHandle;
    }
    if (!receive_) {
        TCPDRV_LOG(logger_, "TcpChannel::cancelReceive() : debug - no current receive started, return EBADF");
        return zephcommdrv::kBadHandle;
    }
    // Bytes of a half-received message cannot be given back to the stream,
    // so a cancelled receive ends the connection.
    closeChannel(zephcommdrv::kAborted);
    settle();
    return 0;
}

std::optional<std::string> TcpChannel::option(const std::string& name) const
{
    std::lock_guard<std::mutex> guard(lock_);
    return options_.value(name);
}

bool TcpChannel::option(const std::string& name, const std::string& value)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (fd_ < 0)
        return false;
    return options_.apply(fd_, name, value);
}

int TcpChannel::handle_input(ACE_HANDLE)
{
    UpcallGuard alive(this);
    return progress();
}

int TcpChannel::handle_output(ACE_HANDLE)
{
    UpcallGuard alive(this);
    return progress();
}

int TcpChannel::handle_exception(ACE_HANDLE)
{
    // A wake-up for completions made outside a delivery (see settle).
    TcpDriver::WakeupUpcall owed(driver_);
    UpcallGuard alive(this);
    {
        std::lock_guard<std::mutex> guard(lock_);
        wakeQueued_ = Wake::None;
    }
    progress();
    remove_reference();
    return 0;
}

int TcpChannel::handle_timeout(const ACE_Time_Value&, const void* act)
{
    UpcallGuard alive(this);
    std::lock_guard<std::mutex> guard(lock_);
    if (open_ && ownsTimer(reinterpret_cast<uintptr_t>(act))) {
        closeChannel(zephcommdrv::kAborted);
        settle();
    }
    return 0;
}

int TcpChannel::handle_close(ACE_HANDLE, ACE_Reactor_Mask)
{
    // The event loop saw an error on the socket with no readiness to report.
    UpcallGuard alive(this);
    std::lock_guard<std::mutex> guard(lock_);
    interest_ = ACE_Event_Handler::NULL_MASK;
    int pending = SocketOps::connectResult(fd_);
    closeChannel(pending != 0 ? pending : zephcommdrv::kNotConnected);
    settle();
    return 0;
}

int TcpChannel::progress()
{
    {
        // One delivery loop per channel at a time, whatever woke it: a
        // second caller leaves its work to the running loop.
        std::lock_guard<std::mutex> guard(lock_);
        if (delivering_) {
            rerun_ = true;
            return 0;
        }
        delivering_ = true;
        // Whatever woke this loop may have brought bytes.
        readDrained_ = false;
    }
    for (int round = 0;; ++round) {
        NodeList ready;
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (round == kRoundsPerEvent) {
                // A busy channel gives the thread back to the others; settle
                // brings it back for the rest.
                delivering_ = false;
                rerun_ = false;
                settle();
                return 0;
            }
            advanceReceive();
            advanceSend();
            ready.splice(completions_);
            if (ready.empty() && rerun_) {
                rerun_ = false;
                continue;
            }
            if (ready.empty()) {
                delivering_ = false;
                settle();
                return 0;
            }
        }
        const TcpChannel* outer = deliveringChannel;
        deliveringChannel = this;
        while (HandlerNode* node = ready.pop()) {
            node->deliver();
            delete node;
        }
        deliveringChannel = outer;
    }
}

size_t TcpChannel::takeFromReadAhead(char* into, size_t wanted)
{
    const size_t available = readAheadEnd_ - readAheadBegin_;
    const size_t taken = wanted < available ? wanted : available;
    if (taken == 0)
        return 0;
    std::memcpy(into, readAhead_.get() + readAheadBegin_, taken);
    readAheadBegin_ += taken;
    if (readAheadBegin_ == readAheadEnd_)
        readAheadBegin_ = readAheadEnd_ = 0;
    return taken;
}

void TcpChannel::advanceReceive()
{
    if (!open_ || !receive_)
        return;
    HandlerNode* request = receive_;
    char* buffer = static_cast<char*>(request->iov()[0].iov_base);
    const size_t total = request->totalBytes();
    request->received += takeFromReadAhead(buffer + request->received, total - request->received);
    while (request->received < total && !readDrained_) {
        const size_t wanted = total - request->received;
        iovec iov[2];
        iov[0] = { buffer + request->received,
            wanted < zephcommdrv::kMaxIoBytes ? wanted : zephcommdrv::kMaxIoBytes };
        int count = 1;
        // The read-ahead is empty here (it was drained above); a short request
        // reads the next messages' bytes along with its own.
        if (iov[0].iov_len < kReadAheadSize) {
            if (!readAhead_)
                readAhead_.reset(new char[kReadAheadSize]);
            iov[1] = { readAhead_.get(), kReadAheadSize };
            count = 2;
        }
        const ssize_t n = stream_->readv(iov, count);
        if (n == SocketOps::kWouldBlock) {
            readDrained_ = delivering_;
            break;
        }
        if (n <= 0) {
            // 0: the peer closed the connection.
            const int error = n == 0 ? zephcommdrv::kNotConnected : static_cast<int>(n);
            receive_ = nullptr;
            watch_.finished();
            request->timer.stop();
            request->error = error;
            completions_.push(request);
            closeChannel(error);
            return;
        }
        const size_t got = static_cast<size_t>(n);
        const size_t asked = iov[0].iov_len + (count == 2 ? iov[1].iov_len : 0);
        if (got > iov[0].iov_len) {
            request->received += iov[0].iov_len;
            readAheadEnd_ = got - iov[0].iov_len;
        } else {
            request->received += got;
        }
        // A short read of small messages emptied the socket: the next read
        // would only find nothing (one wasted call per message at one request
        // in flight). A bulk read reads on: its sender is still writing, and
        // the bytes that came meanwhile are cheaper to take now than through
        // another turn of the event loop.
        if (count == 2 && got < asked && stream_->shortReadTakesAll())
            readDrained_ = delivering_;
    }
    if (request->received < total) {
        if (request->received > 0)
            watch_.gotSome(driver_.receiveWatchdog().now(), request->received);
        return;
    }
    receive_ = nullptr;
    watch_.finished();
    request->timer.stop();
    request->error = 0;
    completions_.push(request);
}

void TcpChannel::advanceSend()
{
    if (!open_ || sendQueue_.empty())
        return;
    ByteStream* stream = stream_.get();
    const int rc = sendQueue_.write(
        [stream](const iovec* iov, int count) -> ssize_t {
            const ssize_t n = stream->writev(iov, count);
            return n == SocketOps::kWouldBlock ? 0 : n;
        },
        completions_);
    if (rc == SendQueue::kWait && !sendQueue_.empty())
        TCPDRV_LOG(logger_, "TcpChannel::process_write(): debug - Partial send, left %d bytes",
            static_cast<int>(sendQueue_.pendingBytes()));
    else if (rc < 0)
        closeChannel(rc);
}

void TcpChannel::closeChannel(int error)
{
    TCPDRV_LOG(logger_, "TcpChannel::closeChannel(): this=%x, err=%d ENTER", addressOf(this), error);
    if (open_) {
        open_ = false;
        stream_->close();
        // Shutting down wakes the event loop for this socket, which then
        // delivers the completions below; the descriptor stays open until
        // the last reference goes.
        SocketOps::shutdownBoth(fd_);
        if (watched_)
            driver_.receiveWatchdog().remove(this);
        watched_ = false;
        watch_.finished();
        if (receive_) {
            // A time-out (positive) is the receive's own failure; any other
            // close aborts it.
            receive_->timer.stop();
            receive_->error = error > 0 ? error : zephcommdrv::kAborted;
            completions_.push(receive_);
            receive_ = nullptr;
        }
        NodeList queued;
        sendQueue_.drain(queued);
        const int sendError = sendErrorForClose(error);
        while (HandlerNode* node = queued.pop()) {
            node->timer.stop();
            node->error = sendError;
            completions_.push(node);
        }
    }
    TCPDRV_LOG(logger_, "TcpChannel::closeChannel(): this=%x, err=%d EXIT", addressOf(this), error);
}

void TcpChannel::settle()
{
    if (fd_ < 0)
        return;
    ACE_Reactor_Mask wanted = ACE_Event_Handler::NULL_MASK;
    if (open_ && receive_)
        wanted |= ACE_Event_Handler::READ_MASK;
    if (open_ && !sendQueue_.empty())
        wanted |= ACE_Event_Handler::WRITE_MASK;
    if (open_)
        wanted |= stream_->extraInterest(receive_ != nullptr, !sendQueue_.empty());
    if (!completions_.empty() && !delivering_) {
        // Completions made outside a delivery loop: socket readiness may
        // never come (a full socket whose peer waits for us), so ask the
        // event loop for a wake-up of its own.
        const Wake needed = open_ && onlySendsCompleted() ? Wake::Deferred : Wake::Prompt;
        if (wakeQueued_ == Wake::None || (wakeQueued_ == Wake::Deferred && needed == Wake::Prompt)) {
            // The notification holds a reference until handle_exception.
            add_reference();
            const auto within
                = needed == Wake::Deferred ? kDeferredSendReport : std::chrono::microseconds::zero();
            if (driver_.wake(*home_, this, within))
                wakeQueued_ = needed;
            else
                remove_reference();
        }
    }
    // A running delivery loop settles once it ends: interest changed in
    // between (a receive served from the read-ahead, a send left to the loop)
    // would cost an epoll_ctl each, several per message.
    if (delivering_)
        return;
    if (!open_ && wanted == ACE_Event_Handler::NULL_MASK && completions_.empty()) {
        if (registered_)
            home_->removeHandler(this, ACE_Event_Handler::ALL_EVENTS_MASK | ACE_Event_Handler::DONT_CALL);
        registered_ = false;
        interest_ = wanted;
        return;
    }
    if (wanted == interest_ || (!registered_ && wanted == ACE_Event_Handler::NULL_MASK))
        return;
    int rc = 0;
    if (!registered_) {
        rc = home_->registerHandler(this, wanted);
        registered_ = rc == 0;
    } else {
        rc = home_->setMask(this, wanted);
    }
    if (rc != 0) {
        TCPDRV_LOG(logger_, "TcpChannel::settle() : event loop error - %s",
            SocketOps::errorText(SocketOps::lastError()).c_str());
        return;
    }
    interest_ = wanted;
}

bool TcpChannel::onlySendsCompleted() const
{
    for (const HandlerNode* node = completions_.front(); node; node = node->next)
        if (node->kind() != HandlerNode::Kind::Send || node->error != 0)
            return false;
    return true;
}

bool TcpChannel::enforceReceiveLimits(int64_t now, const ReceiveLimits& limits)
{
    std::lock_guard<std::mutex> guard(lock_);
    if (!open_)
        return false;
    const ReceiveWatch::Verdict verdict = watch_.check(now, limits);
    if (verdict == ReceiveWatch::Verdict::Fine)
        return false;
    warnReceiveOverrun(verdict, limits);
    closeChannel(ETIMEDOUT);
    settle();
    return true;
}

void TcpChannel::warnReceiveOverrun(ReceiveWatch::Verdict verdict, const ReceiveLimits& limits)
{
    const bool partial = verdict == ReceiveWatch::Verdict::Partial;
    char text[256];
    std::snprintf(text, sizeof text,
        partial ? "TcpChannel::enforceReceiveLimits() : message from %s not complete within %lld ms, closing"
                : "TcpChannel::enforceReceiveLimits() : no message from %s within %lld ms, closing",
        SocketOps::peerName(fd_).c_str(), static_cast<long long>(partial ? limits.partialMs : limits.idleMs));
    TCPDRV_LOG(logger_, "%s", text);
    LOG4CXX_WARN(log4cxx::Logger::getLogger("zephcommdrv"), text);
}

bool TcpChannel::ownsTimer(uint64_t serial) const
{
    if (receive_ && receive_->timer.serial() == serial)
        return true;
    return sendQueue_.ownsTimer(serial);
}

} // namespace zephcommTcpDrv
