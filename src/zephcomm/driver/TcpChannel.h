#pragma once
// One TCP connection of the driver: exact-count receives, gathered sends
// without copies, time limits, options, and the close that completes every
// outstanding request.
//
// Threads: any thread may call the zephcommdrv::Channel operations. They do
// the socket I/O they can at once (non-blocking) and leave the rest to the
// event loop. Every handler callback is made from handle_input/handle_output
// on the driver thread that runs the channel's event loop, one event of a
// channel at a time, so callbacks of one channel never overlap and arrive in
// completion order.
// No lock is held during a callback.
//
// Bytes: every read and write goes through the channel's ByteStream (plain,
// or TLS for the SSL driver), made by the driver's StreamFactory when the
// connection is set up; the stream may ask for extra loop interest.
//
// Lock: lock_ guards the socket state, the stream, the pending receive, the
// send queue, the completion list, the read-ahead buffer, the options and
// the loop interest. It is taken before the event loop's own lock, never
// after.
//
// Lifetime: reference-counted (CountedHandler, logged). The creator's reference
// goes to whoever receives the channel and is given back by destroy(); every
// request holds one until its callback has returned; the event loop holds one
// while the channel is registered. The socket is closed when the count drops
// to 0, so its descriptor number cannot be reused while an event for it is
// still being dispatched. The driver's ReceiveWatchdog knows the channel
// while it is open (see ReceiveWatchdog.h for how it holds it).

#include "zephcomm/driver/ByteStream.h"
#include "zephcomm/driver/ChannelOptions.h"
#include "zephcomm/driver/HandlerNode.h"
#include "zephcomm/driver/ReceiveWatch.h"
#include "zephcomm/driver/SendQueue.h"
#include "zephcomm/driver/zephcommdrv.h"

#include "zephcomm/driver/CountedHandler.h"

#include <memory>
#include <mutex>

namespace zephcommTcpDrv {

class TcpDriver;

class TcpChannel final : public CountedHandler, public zephcommdrv::Channel {
public:
    // Takes ownership of `fd` (-1: an unconnected channel). A connected
    // socket gets the default options and a stream from the driver's
    // StreamFactory (`role`, `peerHost` as there).
    TcpChannel(TcpDriver& driver, int fd, StreamRole role = StreamRole::Accepted,
        const std::string& peerHost = std::string());

    // Non-zero when the connection's stream could not be made: the channel
    // is closed from the start and should be destroyed unused.
    int startError() const { return startError_; }

    // zephcommdrv::Channel
    void destroy() override;
    int send(int count, const void* const* buffers, const size_t* lengths, zephcommdrv::Handler* handler,
        long timeoutMs, void* token) override;
    int cancelSend() override;
    int receive(void* buffer, size_t length, zephcommdrv::Handler* handler, long timeoutMs) override;
    int cancelReceive() override;
    std::optional<std::string> option(const std::string& name) const override;
    bool option(const std::string& name, const std::string& value) override;

    // ACE_Event_Handler (loop threads)
    ACE_HANDLE get_handle() const override { return fd_; }
    int handle_input(ACE_HANDLE) override;
    int handle_output(ACE_HANDLE) override;
    int handle_timeout(const ACE_Time_Value& now, const void* act) override;
    int handle_close(ACE_HANDLE, ACE_Reactor_Mask) override;
    int handle_exception(ACE_HANDLE) override;
    Reference_Count add_reference() override;
    Reference_Count remove_reference() override;

    // Called by the driver's ReceiveWatchdog: closes the channel with a
    // time-out (logged at WARN with the peer's address) when its pending
    // receive has overrun `limits` at `now`. True when it closed.
    bool enforceReceiveLimits(int64_t now, const ReceiveLimits& limits);

private:
    ~TcpChannel() override;

    // Runs completions and I/O until nothing more can be done now.
    // REQUIRES: the caller holds a reference (see UpcallGuard).
    int progress();
    // The parts of progress, all under lock_.
    void advanceReceive();
    void advanceSend();
    void closeChannel(int error);
    // Brings the event loop interest in line with the state; unregisters a
    // closed channel that has nothing left to report.
    void settle();
    bool ownsTimer(uint64_t serial) const;
    // Whether every completion waiting for delivery is a send that succeeded.
    bool onlySendsCompleted() const;
    void warnReceiveOverrun(ReceiveWatch::Verdict verdict, const ReceiveLimits& limits);
    size_t takeFromReadAhead(char* into, size_t wanted);

    TcpDriver& driver_;
    zephcommdrv::Logger* logger_;
    const int fd_;
    // The event loop this connection's events, timers and wake-ups go through
    // (one of the driver's, see TcpDriver).
    EventLoop* const home_;
    std::unique_ptr<ByteStream> stream_;
    int startError_ = 0;

    mutable std::mutex lock_;
    bool open_;
    bool registered_ = false;
    bool delivering_ = false; // a progress() loop runs
    bool rerun_ = false; // work arrived for the running loop
    // The loop notification on its way, if any: one that may wait (send
    // completions only) or one that may not.
    enum class Wake { None, Deferred, Prompt };
    Wake wakeQueued_ = Wake::None;
    // The running delivery loop found the socket empty: it reads again only
    // once the event loop reports it readable (a new loop), not after every
    // callback that asks for the next message.
    bool readDrained_ = false;
    ACE_Reactor_Mask interest_ = ACE_Event_Handler::NULL_MASK;
    HandlerNode* receive_ = nullptr;
    SendQueue sendQueue_;
    NodeList completions_;
    // Bytes read past the end of a receive, served to the next one, so that
    // small messages cost one read for several.
    std::unique_ptr<char[]> readAhead_;
    size_t readAheadBegin_ = 0;
    size_t readAheadEnd_ = 0;
    ChannelOptions options_;
    ReceiveWatch watch_;
    bool watched_ = false; // registered with the driver's watchdog
};

} // namespace zephcommTcpDrv
