// Many connections sending and receiving at once on every driver thread:
// each end streams framed messages of varied sizes to the other and checks
// that every byte arrives, in order, exactly once; and connections that end
// in the middle of their traffic, closed from either end, from a driver
// thread or from outside, with sends queued.

#include "DriverTestSupport.h"

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <future>
#include <memory>
#include <mutex>
#include <random>

using namespace drvtest;
using zephcommdrv::Channel;

namespace {

constexpr int kPairs = 24;
constexpr int kMessages = 150;

uint32_t sizeOf(int endpoint, int message)
{
    return 1 + static_cast<uint32_t>((endpoint * 7919 + message * 104729) % 32768);
}

// One end of a connection: sends its messages, receives the peer's.
class Endpoint : public zephcommdrv::Handler {
public:
    Endpoint(int id, int peerId, std::promise<void>& finished)
        : id_(id)
        , peerId_(peerId)
        , finished_(finished)
    {
    }

    void start(Channel* channel)
    {
        channel_ = channel;
        ASSERT_EQ(channel_->receive(&header_, sizeof header_, this, 0), 0);
        for (int m = 0; m < kMessages; ++m) {
            auto& out = outgoing_[m];
            out.header = sizeOf(id_, m);
            out.body = pattern(out.header, static_cast<unsigned>(id_ * 1000 + m));
            const void* buffers[] = { &out.header, out.body.data() };
            const size_t lengths[] = { sizeof out.header, out.body.size() };
            ASSERT_EQ(channel_->send(2, buffers, lengths, this, 0, &out), 0);
        }
    }

    void accept_CB(int, Channel*) override { }
    void connect_CB(int, Channel*) override { }

    void receive_CB(int error, void*, size_t, Channel*) override
    {
        if (error != 0) {
            fail("receive error " + std::to_string(error));
            return;
        }
        if (!inBody_) {
            if (header_ != sizeOf(peerId_, received_)) {
                fail("bad header");
                return;
            }
            body_.assign(header_, '\0');
            inBody_ = true;
            expectStarted(channel_->receive(body_.data(), body_.size(), this, 0));
            return;
        }
        if (body_ != pattern(header_, static_cast<unsigned>(peerId_ * 1000 + received_)))
            fail("bad body");
        inBody_ = false;
        if (++received_ < kMessages)
            expectStarted(channel_->receive(&header_, sizeof header_, this, 0));
        finishIfDone();
    }

    void send_CB(void* token, int error, Channel*) override
    {
        if (error != 0 || token != &outgoing_[sent_])
            fail("send out of order or failed");
        ++sent_;
        finishIfDone();
    }

    std::string failure;

    std::string progress() const
    {
        return "received " + std::to_string(received_.load()) + ", sent " + std::to_string(sent_.load())
            + (inBody_ ? ", in a body" : ", at a header");
    }

private:
    void expectStarted(int rc)
    {
        if (rc != 0)
            fail("receive refused with " + std::to_string(rc));
    }
    void fail(const std::string& why)
    {
        if (failure.empty())
            failure = why;
        received_ = kMessages;
        sent_ = kMessages;
        finishIfDone();
    }
    void finishIfDone()
    {
        if (received_ == kMessages && sent_ >= kMessages && !done_.exchange(true))
            finished_.set_value();
    }

    struct Outgoing {
        uint32_t header;
        std::string body;
    };
    int id_;
    int peerId_;
    std::promise<void>& finished_;
    Channel* channel_ = nullptr;
    Outgoing outgoing_[kMessages];
    uint32_t header_ = 0;
    std::string body_;
    bool inBody_ = false;
    // Receive and send callbacks of one channel never overlap, but they may
    // come from different driver threads over time.
    std::atomic<int> received_ { 0 };
    std::atomic<int> sent_ { 0 };
    std::atomic<bool> done_ { false };
};

} // namespace

// DriverTest's driver and acceptor; connectPair() opens one connection
// through them and returns both of its ends.
class DriverStress : public DriverTest {
protected:
    // Ends the driver while the test's handlers still exist: its threads may
    // deliver callbacks to them until it has stopped.
    void stopDriver()
    {
        DriverTest::TearDown();
        acceptor = nullptr;
        driver = nullptr;
    }

    // Connected end first, accepted end second; both null on failure.
    std::pair<Channel*, Channel*> connectPair(zephcommdrv::Connector* connector)
    {
        RecordingHandler connects;
        if (connector->connect("127.0.0.1:" + std::to_string(port), &connects, 0) != 0)
            return {};
        auto connected = connects.next(Kind::Connect);
        auto accepted = acceptHandler.next(Kind::Accept);
        if (!connected || !connected->channel || !accepted || !accepted->channel)
            return {};
        return { connected->channel, accepted->channel };
    }
};

TEST_F(DriverStress, ManyChannelsSendAndReceiveOnAllThreadsAtOnce)
{

    std::vector<std::promise<void>> finished(2 * kPairs);
    std::vector<std::unique_ptr<Endpoint>> endpoints;
    std::vector<Channel*> channels;
    std::vector<zephcommdrv::Connector*> connectors;
    for (int p = 0; p < kPairs; ++p) {
        zephcommdrv::Connector* connector = driver->createConnector();
        connectors.push_back(connector);
        const auto [connected, accepted] = connectPair(connector);
        ASSERT_TRUE(connected && accepted);
        endpoints.push_back(std::make_unique<Endpoint>(2 * p, 2 * p + 1, finished[2 * p]));
        endpoints.push_back(std::make_unique<Endpoint>(2 * p + 1, 2 * p, finished[2 * p + 1]));
        channels.push_back(connected);
        channels.push_back(accepted);
    }
    for (size_t i = 0; i < endpoints.size(); ++i)
        endpoints[i]->start(channels[i]);
    for (size_t i = 0; i < finished.size(); ++i) {
        ASSERT_EQ(finished[i].get_future().wait_for(std::chrono::seconds(120)), std::future_status::ready)
            << "endpoint " << i << ": " << endpoints[i]->progress()
            << "; peer: " << endpoints[i ^ 1]->progress();
        EXPECT_EQ(endpoints[i]->failure, "") << "endpoint " << i;
    }
    for (Channel* channel : channels)
        channel->destroy();
    for (zephcommdrv::Connector* connector : connectors)
        connector->destroy();
    stopDriver();
}

namespace {

constexpr int kChurnPairs = 32;
constexpr uintptr_t kChurnSendBudget = 300;
constexpr uintptr_t kChurnWarmUpSends = 40;

// Wakes the test thread when any endpoint made progress. Endpoints call
// changed() without their own lock held; the test evaluates its condition
// under lock_, taking endpoint locks inside it.
class Progress {
public:
    void changed()
    {
        std::lock_guard<std::mutex> guard(lock_);
        cv_.notify_all();
    }
    template <typename Condition> bool waitFor(Condition condition)
    {
        std::unique_lock<std::mutex> guard(lock_);
        return cv_.wait_for(guard, std::chrono::seconds(120), condition);
    }

private:
    std::mutex lock_;
    std::condition_variable cv_;
};

// One end of a connection that ends badly: it streams sends of up to 256 KiB
// and receives of random sizes, and its channel is closed at a random moment
// (by itself from inside a callback, or by the test from outside while sends
// are queued). Whatever happens, every accepted send and every started
// receive must complete exactly once, and sends in issue order.
class Churner : public zephcommdrv::Handler {
public:
    Churner(int id, const std::string& bytes, Progress& progress)
        : random_(static_cast<unsigned>(id) + 1)
        , bytes_(bytes)
        , progress_(progress)
    {
    }

    void start(Channel* channel)
    {
        std::lock_guard<std::mutex> guard(lock_);
        channel_ = channel;
        receiveLocked();
        for (int i = 0; i < 8; ++i)
            sendLocked();
    }

    // Closes the channel unless it is closed already; any thread.
    void close()
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            closeLocked();
        }
        progress_.changed();
    }

    void accept_CB(int, Channel*) override { }
    void connect_CB(int, Channel*) override { }

    void receive_CB(int error, void*, size_t, Channel*) override
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            if (++receivesDone_ > receivesStarted_)
                failLocked("a receive completed twice");
            checkError(error);
            if (error == 0 && channel_) {
                if (random_() % 256 == 0)
                    closeLocked(); // from a driver thread, sends still queued
                else
                    receiveLocked();
            }
        }
        progress_.changed();
    }

    void send_CB(void* token, int error, Channel*) override
    {
        {
            std::lock_guard<std::mutex> guard(lock_);
            const auto sequence = reinterpret_cast<uintptr_t>(token);
            if (sequence != sendsDone_)
                failLocked("send " + std::to_string(sequence) + " completed as number "
                    + std::to_string(sendsDone_));
            ++sendsDone_;
            sendsWritten_ += error == 0 ? 1 : 0;
            checkError(error);
            if (error == 0 && channel_ && sendsStarted_ < kChurnSendBudget)
                sendLocked();
        }
        progress_.changed();
    }

    // Traffic has flowed for a while, or this end is done with it.
    bool pastWarmUp()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return !channel_ || sawError_ || sendsDone_ >= kChurnWarmUpSends;
    }

    // Closed, and every request that was started has completed.
    bool settled()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return !channel_ && sendsDone_ == sendsStarted_ && receivesDone_ == receivesStarted_;
    }

    std::string report()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return failure_ + " sends " + std::to_string(sendsDone_) + "/" + std::to_string(sendsStarted_)
            + ", receives " + std::to_string(receivesDone_) + "/" + std::to_string(receivesStarted_)
            + (channel_ ? ", open" : ", closed");
    }

    uintptr_t sendsWritten()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return sendsWritten_;
    }

    std::string failure()
    {
        std::lock_guard<std::mutex> guard(lock_);
        return failure_;
    }

private:
    void receiveLocked()
    {
        const size_t wanted = 1 + random_() % sizeof buffer_;
        const int rc = channel_->receive(buffer_, wanted, this, 0);
        if (rc == 0)
            ++receivesStarted_;
        else if (rc != zephcommdrv::kBadHandle)
            failLocked("receive refused with " + std::to_string(rc));
    }

    void sendLocked()
    {
        const void* buffers[] = { bytes_.data() };
        const size_t lengths[] = { 1 + random_() % bytes_.size() };
        void* token = reinterpret_cast<void*>(sendsStarted_);
        const int rc = channel_->send(1, buffers, lengths, this, 0, token);
        if (rc == 0)
            ++sendsStarted_;
        else if (rc != zephcommdrv::kBadHandle)
            failLocked("send refused with " + std::to_string(rc));
    }

    void closeLocked()
    {
        if (channel_)
            channel_->destroy();
        channel_ = nullptr;
    }

    // Nothing here has a time limit; failures are negative.
    void checkError(int error)
    {
        sawError_ = sawError_ || error != 0;
        if (error > 0)
            failLocked("unexpected time-out " + std::to_string(error));
    }

    void failLocked(const std::string& why)
    {
        if (failure_.empty())
            failure_ = why;
    }

    std::mutex lock_;
    std::minstd_rand random_;
    const std::string& bytes_;
    Progress& progress_;
    Channel* channel_ = nullptr;
    char buffer_[65536];
    uintptr_t sendsStarted_ = 0;
    uintptr_t sendsDone_ = 0;
    long receivesStarted_ = 0;
    long receivesDone_ = 0;
    uintptr_t sendsWritten_ = 0;
    bool sawError_ = false;
    std::string failure_;
};

} // namespace

TEST_F(DriverStress, ChannelsClosingMidTrafficCompleteEveryRequestExactlyOnce)
{
    const std::string bytes = pattern(256 << 10, 3);

    Progress progress;
    std::vector<Channel*> channels;
    zephcommdrv::Connector* connector = driver->createConnector();
    for (int p = 0; p < kChurnPairs; ++p) {
        const auto [connected, accepted] = connectPair(connector);
        ASSERT_TRUE(connected && accepted);
        channels.push_back(connected);
        channels.push_back(accepted);
    }
    std::vector<std::unique_ptr<Churner>> churners;
    for (size_t i = 0; i < channels.size(); ++i)
        churners.push_back(std::make_unique<Churner>(static_cast<int>(i), bytes, progress));
    for (size_t i = 0; i < channels.size(); ++i)
        churners[i]->start(channels[i]);
    const auto all = [&](bool (Churner::*state)()) {
        return [&churners, state] {
            for (auto& churner : churners) {
                if (!((*churner).*state)())
                    return false;
            }
            return true;
        };
    };
    // Traffic flows for a while (an endpoint may close itself, or see its
    // peer go); then every third endpoint is closed from outside, its sends
    // queued, so that its peer sees the connection end in the middle of a
    // message while it keeps sending; then the rest.
    EXPECT_TRUE(progress.waitFor(all(&Churner::pastWarmUp)));
    for (size_t i = 0; i < churners.size(); i += 3)
        churners[i]->close();
    for (auto& churner : churners)
        churner->close();

    const bool settled = progress.waitFor(all(&Churner::settled));
    uintptr_t written = 0;
    for (size_t i = 0; i < churners.size(); ++i) {
        EXPECT_EQ(churners[i]->failure(), "") << "endpoint " << i << ": " << churners[i]->report();
        written += churners[i]->sendsWritten();
    }
    ASSERT_TRUE(settled);
    // The closes met traffic in flight, not idle connections.
    EXPECT_GT(written, uintptr_t(kChurnPairs) * kChurnWarmUpSends / 2);
    RecordProperty("sends_written", static_cast<int>(written));
    connector->destroy();
    stopDriver();
}
