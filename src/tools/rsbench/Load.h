#pragma once
// Client-side load on the daemon: opening many logged-on connections, and
// driving one kind of request over a set of connections for a fixed time,
// one request in flight per connection (the way redis-benchmark drives
// redis, so that the two rates compare).
//
// Threads: measureRate runs its own load threads (at most kMaxLoadThreads)
// and joins them before it returns; each connection is used by one load
// thread only. Answers arrive on the client library's driver threads.

#include "client/RsClient.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdint>
#include <latch>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace rsbench {

using ClientPtr = std::unique_ptr<rsclient::Client>;

inline constexpr std::chrono::seconds kAnswerWait { 60 };
inline constexpr int kMaxLoadThreads = 8;

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
};

// Sends `Request(args...)` on every connection, waits for all answers and
// repeats until `duration` has passed; one untimed round first warms up.
template <class Request, class... Args>
RateFigure measureRate(const std::vector<rsclient::Client*>& clients, std::chrono::duration<double> duration,
    const Args&... args)
{
    RateFigure figure;
    if (clients.empty())
        return figure;
    const size_t threadCount = std::min<size_t>(clients.size(), kMaxLoadThreads);
    std::atomic<uint64_t> completed { 0 }, failed { 0 };
    std::atomic<bool> running { true };
    std::latch warmedUp(static_cast<std::ptrdiff_t>(threadCount) + 1);
    std::latch go(1);

    auto round = [&](size_t first, bool counted) {
        using Answer = typename Request::Response;
        std::vector<rsclient::PendingReply<Answer>> pending;
        for (size_t i = first; i < clients.size(); i += threadCount)
            pending.push_back(clients[i]->start<Request>(args...));
        for (auto& reply : pending) {
            const bool ok = reply.wait(kAnswerWait).code() == 0;
            if (counted)
                (ok ? completed : failed).fetch_add(1, std::memory_order_relaxed);
        }
    };
    std::vector<std::thread> threads;
    for (size_t t = 0; t < threadCount; ++t)
        threads.emplace_back([&, t] {
            round(t, false);
            warmedUp.count_down();
            go.wait();
            while (running.load(std::memory_order_relaxed))
                round(t, true);
        });
    warmedUp.arrive_and_wait();
    const auto start = std::chrono::steady_clock::now();
    go.count_down();
    std::this_thread::sleep_until(
        start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(duration));
    running = false;
    for (auto& thread : threads)
        thread.join();
    const double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    figure.completed = completed;
    figure.failed = failed;
    figure.perSecond = elapsed > 0 ? static_cast<double>(figure.completed) / elapsed : 0;
    return figure;
}

std::vector<rsclient::Client*> firstClients(const std::vector<ClientPtr>& clients, size_t count);

} // namespace rsbench
