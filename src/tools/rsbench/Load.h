#pragma once
// Client-side load on the daemon: opening many logged-on connections, and
// driving one kind of request over a set of connections for a fixed time,
// one request in flight per connection (the way redis-benchmark drives
// redis, so that the two rates compare).
//
// Threads: measureRate sends from the calling thread and from the client
// library's driver threads (see RequestLoops); it returns when every
// request it started has come back or was given up.

#include "client/RsClient.h"
#include "tools/rsbench/ToolOutput.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

namespace rsbench {

using ClientPtr = std::unique_ptr<rsclient::Client>;

inline constexpr std::chrono::seconds kAnswerWait { 60 };

struct Account {
    std::string user;
    std::string password;
    std::string credential() const { return user + ":" + password; }
};

// Opens `count` IRepository connections to 127.0.0.1:port and logs each on
// to `consumer`, `threads` connections at a time. Stops at the first failure
// and says why in *failure (the connections opened so far are returned).
std::vector<ClientPtr> openSessions(int port, int count, const Account& account, const std::string& consumer,
    int threads, std::string* failure);

struct RateFigure {
    double perSecond = 0;
    uint64_t completed = 0; // answered with code 0
    uint64_t failed = 0; // answered with an error, timed out or lost
    // CPU seconds over the timed requests: the server's (when its process
    // was named) and this process's, the client's.
    double serverCpu = 0;
    double clientCpu = 0;
};

// Keeps one `Request(args...)` in flight on each of a set of connections,
// the way an event loop does: each answer starts that connection's next
// request from the driver thread that delivered it, so no thread waits for
// an answer and no answer is handed to another thread.
//
// Threads: start() and stop() on the measuring thread; answered() on the
// client library's driver threads. lock_ guards inFlight_. Each pending
// request holds a reference (shared_ptr) to the loops, so an answer that
// comes after stop() gave up waiting still finds them.
template <class Request, class... Args>
class RequestLoops : public std::enable_shared_from_this<RequestLoops<Request, Args...>> {
public:
    using Answer = typename Request::Response;

    explicit RequestLoops(const Args&... args)
        : args_(args...)
    {
    }

    // Sends one request on every connection; with `repeat`, every answer
    // sends the next one until stop().
    void start(const std::vector<rsclient::Client*>& clients, bool repeat)
    {
        repeat_ = repeat;
        {
            std::lock_guard guard(lock_);
            inFlight_ += clients.size();
        }
        for (rsclient::Client* client : clients)
            launch(client);
    }

    // Counts answers while on (answers before are the warm-up).
    void count(bool on) { counting_ = on; }

    // Ends the repetition and waits at most `wait` for the requests still
    // out; those that have not come back then count as failed.
    void stop(std::chrono::milliseconds wait)
    {
        repeat_ = false;
        std::unique_lock guard(lock_);
        if (!idle_.wait_for(guard, wait, [this] { return inFlight_ == 0; }))
            failed_ += inFlight_;
    }

    uint64_t completed() const { return completed_; }
    uint64_t failed() const { return failed_; }

private:
    void launch(rsclient::Client* client)
    {
        std::apply(
            [&](const Args&... args) {
                client->template startThen<Request>(
                    [loops = this->shared_from_this(), client](
                        rsclient::Reply<Answer> reply) { loops->answered(client, reply); },
                    args...);
            },
            args_);
    }

    void answered(rsclient::Client* client, const rsclient::Reply<Answer>& reply)
    {
        if (counting_)
            (reply.code() == 0 ? completed_ : failed_).fetch_add(1, std::memory_order_relaxed);
        // A connection that failed (rather than answering with an error) stops.
        if (repeat_ && reply.arrived()) {
            launch(client);
            return;
        }
        std::lock_guard guard(lock_);
        if (--inFlight_ == 0)
            idle_.notify_all();
    }

    const std::tuple<Args...> args_;
    std::atomic<bool> repeat_ { false };
    std::atomic<bool> counting_ { false };
    std::atomic<uint64_t> completed_ { 0 }, failed_ { 0 };
    std::mutex lock_;
    std::condition_variable idle_;
    size_t inFlight_ = 0;
};

// Sends `Request(args...)` on every connection, one request in flight on
// each, until `duration` has passed; one untimed round first warms up. The
// CPU of process serverPid (0: none) is taken over the timed requests.
template <class Request, class... Args>
RateFigure measureRateAndCpu(const std::vector<rsclient::Client*>& clients,
    std::chrono::duration<double> duration, int serverPid, const Args&... args)
{
    RateFigure figure;
    if (clients.empty())
        return figure;
    auto warmUp = std::make_shared<RequestLoops<Request, Args...>>(args...);
    warmUp->start(clients, false);
    warmUp->stop(kAnswerWait);

    auto loops = std::make_shared<RequestLoops<Request, Args...>>(args...);
    loops->count(true);
    const CpuMeter cpu(serverPid);
    const auto start = std::chrono::steady_clock::now();
    loops->start(clients, true);
    // The measuring thread only keeps time; the requests run on the driver threads.
    std::this_thread::sleep_until(
        start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration));
    loops->count(false);
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figure.serverCpu = cpu.server();
    figure.clientCpu = cpu.client();
    loops->stop(kAnswerWait);
    figure.completed = loops->completed();
    figure.failed = loops->failed();
    figure.perSecond = elapsed > 0 ? static_cast<double>(figure.completed) / elapsed : 0;
    return figure;
}

template <class Request, class... Args>
RateFigure measureRate(const std::vector<rsclient::Client*>& clients, std::chrono::duration<double> duration,
    const Args&... args)
{
    return measureRateAndCpu<Request>(clients, duration, 0, args...);
}

// Opens one logged-on connection as openSessions does, runs `exchange` on
// it, and returns the payload bytes the kernel received on its socket
// meanwhile (the socket being the one the connection added to this
// process). Null, with the reason in *failure, when the connection failed,
// the exchange returned false or the socket could not be told apart.
std::optional<uint64_t> bytesReceivedDuring(int port, const Account& account, const std::string& consumer,
    const std::function<bool(rsclient::Client&)>& exchange, std::string* failure);

std::vector<rsclient::Client*> firstClients(const std::vector<ClientPtr>& clients, size_t count);

} // namespace rsbench
