#pragma once
// The transport driver interface of the communication library.
//
// The channel layer does no socket work itself: it drives a pluggable driver
// through the abstract classes below. Every operation is asynchronous: a call
// starts the operation and returns at once; the result arrives later, on one of
// the driver's threads, through the caller's Handler.
//
// Error values (every operation and callback):
//   0                success
//   > 0              time-out                       ("Operation timeout")
//   kAborted (-995)  operation aborted or cancelled ("Operation aborted")
//   kBadHandle (-9)  channel disconnected, or a second pending receive
//   kInvalid (-22)   invalid request (unknown driver, second accept, ...)
//   kNotConnected (-10057) the peer closed the connection
//   other negative   minus the system errno
// Driver::errorText() turns any of them into text.
//
// Threads: callbacks run on the driver's threads, concurrently for different
// channels, never with a driver lock held, so a handler may call back into the
// driver (for example start the next receive from receive_CB). Each driver
// thread serves a share of the channels, so a callback must not block: it
// would hold up the other channels of its thread.

#include <cstdarg>
#include <cstddef>
#include <exception>
#include <optional>
#include <string>

namespace zephcommdrv {

constexpr int kSuccess = 0;
constexpr int kBadHandle = -9;
constexpr int kInvalid = -22;
constexpr int kAborted = -995;
constexpr int kNotConnected = -10057;

// A single read or write system call never moves more than this, and queued
// sends are coalesced into gathered writes of at most this many bytes.
constexpr size_t kMaxIoBytes = 524288;

class Channel;

// Receives the driver's diagnostics. Implemented by the channel layer; must
// be callable from any thread concurrently.
class Logger {
public:
    virtual ~Logger() = default;
    virtual void vlog(const char* source, int line, const char* format, va_list args) = 0;
    virtual bool isEnabled() = 0;

    void log(const char* source, int line, const char* format, ...) __attribute__((format(printf, 4, 5)))
    {
        va_list args;
        va_start(args, format);
        vlog(source, line, format, args);
        va_end(args);
    }

    // Called on a driver thread from inside a catch block: a callback let
    // the exception in flight escape at file:line. The default hands its
    // text to vlog; the channel layer logs it as an error.
    virtual void fault(const char* file, int line)
    {
        try {
            throw;
        } catch (const std::exception& e) {
            log(file, line, "a callback failed: %s", e.what());
        } catch (...) {
            log(file, line, "a callback failed: unknown exception");
        }
    }
};

// Completion callbacks. Implemented by the channel layer; called on driver
// threads. The handler must stay alive until every operation started with it
// has completed (its callback has returned).
class Handler {
public:
    // An accept finished. On success `channel` is the new connection and the
    // callee owns one reference to it, given back with channel->destroy().
    // On failure `channel` is null.
    virtual void accept_CB(int error, Channel* channel) = 0;
    // A connect finished; ownership of `channel` as for accept_CB.
    virtual void connect_CB(int error, Channel* channel) = 0;
    // A receive finished. On success exactly the requested number of bytes
    // is in `buffer` (the caller's buffer); `length` is the requested count.
    virtual void receive_CB(int error, void* buffer, size_t length, Channel* channel) = 0;
    // A send finished; `token` is the completion token given to send().
    // Sends on one channel complete in the order they were issued.
    virtual void send_CB(void* token, int error, Channel* channel) = 0;

protected:
    virtual ~Handler() = default;
};

// One connection. Thread-safe: any thread may call any operation. The channel
// is reference-counted internally; pending operations keep it alive, so
// destroy() may be called while operations are pending (they complete with
// kAborted).
class Channel {
public:
    // Closes the connection and gives back the caller's reference. Queued
    // sends and a pending receive complete with kAborted. The caller must not
    // use the pointer afterwards.
    virtual void destroy() = 0;

    // Queues a gathered send of `count` (>= 1) buffers. The bytes are not
    // copied: the caller keeps them alive and unchanged until send_CB(token).
    // `timeoutMs` <= 0 means no time limit.
    // Returns 0 when queued (send_CB follows), kBadHandle when disconnected
    // (no send_CB follows), or a negative error when the channel's bound on
    // queued bytes is exceeded (the channel is then closed).
    virtual int send(int count, const void* const* buffers, const size_t* lengths, Handler* handler,
        long timeoutMs, void* token)
        = 0;
    // Stops the sends in progress: the channel's pending write is cancelled,
    // which completes them with kAborted and closes the connection.
    // Returns 0, or kBadHandle when disconnected.
    virtual int cancelSend() = 0;

    // Starts a receive of exactly `length` bytes into `buffer`, which the
    // caller keeps alive until receive_CB. Returns 0 when started, kBadHandle
    // when disconnected or when a receive is already pending.
    virtual int receive(void* buffer, size_t length, Handler* handler, long timeoutMs) = 0;
    // Cancels the pending receive (it completes with kAborted).
    // Returns 0, or kBadHandle when disconnected or no receive is pending.
    virtual int cancelReceive() = 0;

    // The current value of an option ("TCP_SEND_BUFFER_SIZE",
    // "TCP_RECV_BUFFER_SIZE", "TCP_KEEP_ALIVE_TIME", "TCP_NODELAY"), or none
    // for an unknown name or an option never applied.
    virtual std::optional<std::string> option(const std::string& name) const = 0;
    // Applies an option; true when applied.
    virtual bool option(const std::string& name, const std::string& value) = 0;

protected:
    virtual ~Channel() = default;
};

// A listening endpoint. Thread-safe.
class Acceptor {
public:
    // Stops accepting, closes the listening socket and releases the acceptor.
    virtual void destroy() = 0;
    // Starts accepting: every connection accepted from now on is delivered to
    // handler->accept_CB until stopAccept() or destroy(). A second call while
    // accepting returns kInvalid. `timeoutMs` >= 1 stops accepting after that
    // time if no connection arrived (accept_CB gets kAborted).
    // Returns 0 or a negative error.
    virtual int startAccept(Handler* handler, long timeoutMs) = 0;
    // Stops accepting; accept_CB(kAborted, nullptr) follows. Returns 0, or
    // kBadHandle when not accepting.
    virtual int stopAccept() = 0;
    // Writes "host:port", where clients reach this acceptor, with its NUL.
    // Returns 0; a positive value is the buffer size needed (nothing
    // written); a negative value is an error.
    virtual int getConnectAddr(char* buffer, size_t size) = 0;

protected:
    virtual ~Acceptor() = default;
};

// Opens outgoing connections, one at a time. Thread-safe.
class Connector {
public:
    virtual void destroy() = 0;
    // Connects to "host:port"; connect_CB follows. A second connect while one
    // is pending returns kInvalid. Returns 0 or a negative error.
    virtual int connect(const std::string& address, Handler* handler, long timeoutMs) = 0;
    // Cancels the pending connect (connect_CB gets kAborted). Returns 0, or
    // kBadHandle when no connect is pending.
    virtual int cancel() = 0;

protected:
    virtual ~Connector() = default;
};

// One driver per process. Thread-safe.
class Driver {
public:
    // Stops the driver's threads and releases the driver. Every channel,
    // acceptor and connector must have been destroyed first.
    virtual void destroy() = 0;
    // An unconnected channel (every operation on it returns kBadHandle);
    // give it back with destroy().
    virtual Channel* createChannel() = 0;
    // An acceptor for "host:port" ("0.0.0.0:0": every interface, a port the
    // system chooses), or null with errno set.
    virtual Acceptor* createAcceptor(const std::string& address) = 0;
    virtual Connector* createConnector() = 0;
    virtual const char* defaultAddress() const = 0;
    virtual std::string errorText(int error) const = 0;

protected:
    virtual ~Driver() = default;
};

// Creates the driver named `name` (null, "" or "TCPIPv4": the TCP driver;
// "TCPIPv4SSL": the SSL-over-TCP driver, `arg` its "SSL[NAME=value,...]"
// settings; other names: those registered with registerDriver) with `threads` I/O
// threads (less than 1: 4). `logger` must outlive the driver.
// Returns 0 with *out set, kInvalid for an unknown name, or minus the error
// number when the driver did not come up.
int create_IO_Driver(Driver** out, int threads, Logger* logger, const char* name, const char* arg);

// Lets further drivers (SSL over TCP) join the factory under their name.
using DriverFactory = int (*)(Driver** out, int threads, Logger* logger, const char* arg);
void registerDriver(const std::string& name, DriverFactory factory);

} // namespace zephcommdrv

namespace zephcommTcpDrv {
// Creates the TCP driver directly (same contract as create_IO_Driver).
int createTcpDriver(zephcommdrv::Driver** out, int threads, zephcommdrv::Logger* logger);
} // namespace zephcommTcpDrv

namespace zephcommSslTcpDrv {
// Creates the SSL-over-TCP driver directly. Besides the results of
// create_IO_Driver: -1 certificate, -2 private key, -3 trusted CA or server
// verification, -4 random seed, -5 cipher list or malformed argument (the
// reason is logged).
int createSslTcpDriver(zephcommdrv::Driver** out, int threads, zephcommdrv::Logger* logger, const char* arg);
} // namespace zephcommSslTcpDrv
