// The SSL driver next to the TCP driver in one run, over loopback:
//  - one-way transfer of 64 MiB messages: plain TCP, TLS 1.2 with anonymous
//    Diffie-Hellman (no argument), TLS 1.3 with a certificate made at start;
//  - 1 KiB messages streamed one way on one connection, plain and TLS.
// Each case has its own server-side and client-side driver, as two
// processes would. The "vs_tcp" counter is the case's throughput divided by
// the plain TCP case's of the same kind.

#include "zephcomm/driver/zephcommdrv.h"
#include "zephcomm/ssl/TestPki.h"

#include <benchmark/benchmark.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace {

constexpr size_t kBigMessage = size_t(64) << 20;
constexpr size_t kSmallMessage = 1024;
constexpr long kSmallMessagesPerRound = 100000;

enum Transport { kTcp = 0, kTlsAnonymous = 1, kTlsCertificate = 2 };

const char* const kTransportNames[] = { "tcp", "tls-anonymous", "tls-certificate" };

class QuietLogger : public zephcommdrv::Logger {
public:
    void vlog(const char*, int, const char*, va_list) override { }
    bool isEnabled() override { return false; }
};

class Countdown {
public:
    void reset(long n)
    {
        std::lock_guard<std::mutex> guard(lock_);
        left_ = n;
    }
    void tick()
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (--left_ == 0)
            cv_.notify_all();
    }
    void wait()
    {
        std::unique_lock<std::mutex> guard(lock_);
        cv_.wait(guard, [&] { return left_ <= 0; });
    }

private:
    std::mutex lock_;
    std::condition_variable cv_;
    long left_ = 0;
};

class Collector : public zephcommdrv::Handler {
public:
    void accept_CB(int error, zephcommdrv::Channel* channel) override { add(error, channel); }
    void connect_CB(int error, zephcommdrv::Channel* channel) override { add(error, channel); }
    void receive_CB(int, void*, size_t, zephcommdrv::Channel*) override { }
    void send_CB(void*, int, zephcommdrv::Channel*) override { }

    zephcommdrv::Channel* take()
    {
        std::unique_lock<std::mutex> guard(lock_);
        cv_.wait(guard, [&] { return !channels_.empty(); });
        zephcommdrv::Channel* channel = channels_.back();
        channels_.pop_back();
        return channel;
    }

private:
    void add(int error, zephcommdrv::Channel* channel)
    {
        if (error != 0 || !channel)
            return;
        std::lock_guard<std::mutex> guard(lock_);
        channels_.push_back(channel);
        cv_.notify_all();
    }
    std::mutex lock_;
    std::condition_variable cv_;
    std::vector<zephcommdrv::Channel*> channels_;
};

// The test certificate, made once per run.
const ssltest::TestPki& pki()
{
    static ssltest::ScratchDir dir;
    static ssltest::TestPki made = ssltest::makeTestPki(dir.path(), "bench");
    return made;
}

zephcommdrv::Driver* startDriver(Transport transport, bool serverSide, zephcommdrv::Logger* logger)
{
    std::string argument;
    if (transport == kTlsCertificate) {
        argument = serverSide
            ? "SSL[CERTIFICATE=" + pki().serverCertificate + ",PRIVATE_KEY=" + pki().serverKey + "]"
            : "SSL[SERVER_AUTH=HOST,CAFILE=" + pki().caFile + "]";
    }
    zephcommdrv::Driver* driver = nullptr;
    if (zephcommdrv::create_IO_Driver(&driver, 2, logger, transport == kTcp ? nullptr : "TCPIPv4SSL",
            argument.empty() ? nullptr : argument.c_str())
        != 0)
        std::abort();
    return driver;
}

// One connection from a client-side driver to a server-side driver.
class Connection {
public:
    explicit Connection(Transport transport)
        : server_(startDriver(transport, true, &logger_))
        , client_(startDriver(transport, false, &logger_))
    {
        acceptor_ = server_->createAcceptor("127.0.0.1:0");
        acceptor_->startAccept(&accepted_, 0);
        char text[256];
        acceptor_->getConnectAddr(text, sizeof text);
        const std::string port = std::string(text).substr(std::string(text).rfind(':') + 1);
        zephcommdrv::Connector* connector = client_->createConnector();
        connector->connect("localhost:" + port, &connected_, 0);
        sender = connected_.take();
        receiver = accepted_.take();
        connector->destroy();
    }
    ~Connection()
    {
        acceptor_->destroy();
        server_->destroy();
        client_->destroy();
    }
    void close()
    {
        sender->destroy();
        receiver->destroy();
    }

    zephcommdrv::Channel* sender = nullptr;
    zephcommdrv::Channel* receiver = nullptr;

private:
    QuietLogger logger_;
    zephcommdrv::Driver* server_;
    zephcommdrv::Driver* client_;
    zephcommdrv::Acceptor* acceptor_ = nullptr;
    Collector accepted_;
    Collector connected_;
};

// Receives fixed-size messages until the channel closes.
class Sink : public zephcommdrv::Handler {
public:
    Sink(zephcommdrv::Channel* channel, size_t size, Countdown& done, Countdown& closed)
        : channel_(channel)
        , buffer_(size)
        , done_(done)
        , closed_(closed)
    {
    }
    void start()
    {
        if (channel_->receive(buffer_.data(), buffer_.size(), this, 0) != 0)
            closed_.tick();
    }
    void accept_CB(int, zephcommdrv::Channel*) override { }
    void connect_CB(int, zephcommdrv::Channel*) override { }
    void receive_CB(int error, void*, size_t, zephcommdrv::Channel*) override
    {
        if (error != 0) {
            closed_.tick();
            return;
        }
        start();
        done_.tick();
    }
    void send_CB(void*, int, zephcommdrv::Channel*) override { }

private:
    zephcommdrv::Channel* channel_;
    std::vector<char> buffer_;
    Countdown& done_;
    Countdown& closed_;
};

// Keeps up to `window` sends of one buffer in flight until `total` are sent.
class Source : public zephcommdrv::Handler {
public:
    Source(zephcommdrv::Channel* channel, const std::string& bytes, int window, Countdown& done)
        : channel_(channel)
        , bytes_(bytes)
        , window_(window)
        , done_(done)
    {
    }
    void run(long total)
    {
        left_ = total;
        for (int i = 0; i < window_; ++i)
            sendNext();
    }
    void accept_CB(int, zephcommdrv::Channel*) override { }
    void connect_CB(int, zephcommdrv::Channel*) override { }
    void receive_CB(int, void*, size_t, zephcommdrv::Channel*) override { }
    void send_CB(void*, int error, zephcommdrv::Channel*) override
    {
        done_.tick();
        if (error == 0)
            sendNext();
    }

private:
    void sendNext()
    {
        if (left_.fetch_sub(1) <= 0)
            return;
        const void* buffers[] = { bytes_.data() };
        const size_t lengths[] = { bytes_.size() };
        channel_->send(1, buffers, lengths, this, 0, nullptr);
    }
    zephcommdrv::Channel* channel_;
    const std::string& bytes_;
    int window_;
    Countdown& done_;
    std::atomic<long> left_ { 0 };
};

// Bytes per second of the plain TCP case of each kind, for the ratio.
std::map<std::string, double>& tcpRates()
{
    static std::map<std::string, double> rates;
    return rates;
}

// Streams `rounds` x `messages` messages of `size` bytes one way, `window`
// in flight; reports bytes per second and the ratio to plain TCP.
void streamOneWay(benchmark::State& state, size_t size, long messages, int window, const char* kind)
{
    const auto transport = static_cast<Transport>(state.range(0));
    state.SetLabel(kTransportNames[transport]);
    Connection connection(transport);
    const std::string message(size, 'x');
    Countdown done, closed;
    Sink sink(connection.receiver, size, done, closed);
    Source source(connection.sender, message, window, done);
    sink.start();
    const auto started = std::chrono::steady_clock::now();
    for (auto _ : state) {
        // Every message received and every send completed.
        done.reset(2 * messages);
        source.run(messages);
        done.wait();
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    closed.reset(1);
    connection.close();
    closed.wait();
    const double bytes = static_cast<double>(state.iterations()) * static_cast<double>(messages * size);
    state.SetBytesProcessed(static_cast<int64_t>(bytes));
    const double rate = bytes / seconds;
    if (transport == kTcp)
        tcpRates()[kind] = rate;
    else if (tcpRates().count(kind))
        state.counters["vs_tcp"] = rate / tcpRates()[kind];
}

void BM_OneWay64MiB(benchmark::State& state)
{
    streamOneWay(state, kBigMessage, 1, 1, "64MiB");
}

void BM_OneWay1KiBMessages(benchmark::State& state)
{
    streamOneWay(state, kSmallMessage, kSmallMessagesPerRound, 64, "1KiB");
}

} // namespace

// Plain TCP first in each group, so that the TLS cases can report the ratio.
BENCHMARK(BM_OneWay64MiB)
    ->Arg(kTcp)
    ->Arg(kTlsAnonymous)
    ->Arg(kTlsCertificate)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);
BENCHMARK(BM_OneWay1KiBMessages)
    ->Arg(kTcp)
    ->Arg(kTlsAnonymous)
    ->Arg(kTlsCertificate)
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(2.0);

BENCHMARK_MAIN();
