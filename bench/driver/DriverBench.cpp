// Driver throughput over loopback:
//  - one-way transfer of 64 MiB messages through the driver, next to a plain
//    blocking socket pair moving the same bytes in the same run (once with
//    the kernel's default buffers, once with the driver's default options);
//  - the rate of 1 KiB messages streamed one way on 1 and on 64 connections.

#include "driver/DriverTraffic.h"
#include "zephcomm/driver/zephcommdrv.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kBigMessage = size_t(64) << 20;
constexpr size_t kSmallMessage = 1024;

using namespace benchtraffic;

// A driver with `pairs` connected channel pairs (sender, receiver).
class Loopback {
public:
    explicit Loopback(int pairs)
    {
        // BENCH_DRIVER_THREADS overrides the default of 4 for experiments.
        const char* threads = std::getenv("BENCH_DRIVER_THREADS");
        if (zephcommdrv::create_IO_Driver(
                &driver_, threads ? std::atoi(threads) : 4, &logger_, nullptr, nullptr)
            != 0)
            std::abort();
        acceptor_ = driver_->createAcceptor("127.0.0.1:0");
        acceptor_->startAccept(&accepted_, 0);
        char text[256];
        acceptor_->getConnectAddr(text, sizeof text);
        const std::string port = std::string(text).substr(std::string(text).rfind(':') + 1);
        for (int i = 0; i < pairs; ++i) {
            zephcommdrv::Connector* connector = driver_->createConnector();
            connector->connect("127.0.0.1:" + port, &connected_, 0);
            senders.push_back(connected_.take());
            receivers.push_back(accepted_.take());
            connector->destroy();
        }
    }
    ~Loopback()
    {
        closeChannels();
        acceptor_->destroy();
        driver_->destroy();
    }

    // Pending receives then complete with an error on driver threads.
    void closeChannels()
    {
        for (auto* c : senders)
            c->destroy();
        for (auto* c : receivers)
            c->destroy();
        senders.clear();
        receivers.clear();
    }

    std::vector<zephcommdrv::Channel*> senders;
    std::vector<zephcommdrv::Channel*> receivers;

private:
    QuietLogger logger_;
    zephcommdrv::Driver* driver_ = nullptr;
    zephcommdrv::Acceptor* acceptor_ = nullptr;
    Collector accepted_;
    Collector connected_;
};

void BM_DriverOneWay64MiB(benchmark::State& state)
{
    Loopback loopback(1);
    const std::string message(kBigMessage, 'x');
    Countdown done, closed;
    Sink sink(loopback.receivers[0], kBigMessage, done, closed);
    Source source(loopback.senders[0], message, 1, done);
    sink.start();
    for (auto _ : state) {
        // The message received and its send completed.
        done.reset(2);
        source.run(1);
        done.wait();
    }
    closed.reset(1);
    loopback.closeChannels();
    closed.wait();
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigMessage));
}

// A connected pair of blocking sockets; `driverOptions` gives them the
// driver's default buffer sizes and no-delay.
void plainPair(int fds[2], bool driverOptions)
{
    const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::listen(listener, 1);
    socklen_t length = sizeof addr;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    fds[0] = ::socket(AF_INET, SOCK_STREAM, 0);
    ::connect(fds[0], reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    fds[1] = ::accept(listener, nullptr, nullptr);
    ::close(listener);
    if (driverOptions) {
        const int size = 65535, one = 1;
        for (int i = 0; i < 2; ++i) {
            ::setsockopt(fds[i], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
            ::setsockopt(fds[i], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
            ::setsockopt(fds[i], IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        }
    }
}

void BM_PlainSocketPair64MiB(benchmark::State& state)
{
    int fds[2];
    plainPair(fds, state.range(0) != 0);
    const std::string message(kBigMessage, 'x');
    std::vector<char> buffer(kBigMessage);
    for (auto _ : state) {
        std::thread writer([&] {
            size_t done = 0;
            while (done < message.size()) {
                const ssize_t n = ::write(fds[0], message.data() + done, message.size() - done);
                if (n <= 0)
                    return;
                done += static_cast<size_t>(n);
            }
        });
        size_t got = 0;
        while (got < buffer.size()) {
            const ssize_t n = ::read(fds[1], buffer.data() + got, buffer.size() - got);
            if (n <= 0)
                break;
            got += static_cast<size_t>(n);
        }
        writer.join();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * kBigMessage));
    ::close(fds[0]);
    ::close(fds[1]);
}

void BM_DriverSmallMessages(benchmark::State& state)
{
    const int connections = static_cast<int>(state.range(0));
    const long perConnection = 200000 / connections;
    Loopback loopback(connections);
    const std::string message(kSmallMessage, 'm');
    Countdown done, closed;
    std::vector<std::unique_ptr<Sink>> sinks;
    std::vector<std::unique_ptr<Source>> sources;
    for (int i = 0; i < connections; ++i) {
        sinks.push_back(std::make_unique<Sink>(loopback.receivers[i], kSmallMessage, done, closed));
        sources.push_back(std::make_unique<Source>(loopback.senders[i], message, 64, done));
    }
    for (auto& sink : sinks)
        sink->start();
    for (auto _ : state) {
        // Every message received and every send completed.
        done.reset(2 * perConnection * connections);
        for (auto& source : sources)
            source->run(perConnection);
        done.wait();
    }
    closed.reset(connections);
    loopback.closeChannels();
    closed.wait();
    const int64_t messages = state.iterations() * perConnection * connections;
    state.SetItemsProcessed(messages);
    state.SetBytesProcessed(messages * static_cast<int64_t>(kSmallMessage));
}

} // namespace

BENCHMARK(BM_DriverOneWay64MiB)->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
BENCHMARK(BM_PlainSocketPair64MiB)
    ->Arg(0)
    ->Arg(1)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_DriverSmallMessages)
    ->Arg(1)
    ->Arg(64)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

BENCHMARK_MAIN();
