// The SSL driver next to the TCP driver in one run, over loopback:
//  - one-way transfer of 64 MiB messages: plain TCP, TLS 1.2 with anonymous
//    Diffie-Hellman (no argument), TLS 1.3 with a certificate made at start;
//  - 1 KiB messages streamed one way on one connection, plain and TLS.
// Each case has its own server-side and client-side driver, as two
// processes would. The "vs_tcp" counter is the case's throughput divided by
// the plain TCP case's of the same kind.

#include "driver/DriverTraffic.h"
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

using namespace benchtraffic;

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

// Plain TCP first in each group, so that the TLS cases can report the ratio.
void overEveryTransport(benchmark::internal::Benchmark* case_)
{
    case_->Arg(kTcp)->Arg(kTlsAnonymous)->Arg(kTlsCertificate);
    case_->Unit(benchmark::kMillisecond)->UseRealTime()->MinTime(2.0);
}

} // namespace

BENCHMARK(BM_OneWay64MiB)->Apply(overEveryTransport);
BENCHMARK(BM_OneWay1KiBMessages)->Apply(overEveryTransport);

BENCHMARK_MAIN();
