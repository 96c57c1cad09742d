// Many connections sending and receiving at once on every driver thread:
// each end streams framed messages of varied sizes to the other and checks
// that every byte arrives, in order, exactly once.

#include "DriverTestSupport.h"

#include <atomic>
#include <cstring>
#include <future>
#include <memory>

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

TEST(DriverStress, ManyChannelsSendAndReceiveOnAllThreadsAtOnce)
{
    CapturingLogger logger;
    zephcommdrv::Driver* driver = nullptr;
    ASSERT_EQ(zephcommdrv::create_IO_Driver(&driver, 4, &logger, nullptr, nullptr), 0);
    zephcommdrv::Acceptor* acceptor = driver->createAcceptor("127.0.0.1:0");
    ASSERT_NE(acceptor, nullptr);
    RecordingHandler accepts;
    ASSERT_EQ(acceptor->startAccept(&accepts, 0), 0);
    const std::string address = "127.0.0.1:" + std::to_string(portOf(acceptor));

    std::vector<std::promise<void>> finished(2 * kPairs);
    std::vector<std::unique_ptr<Endpoint>> endpoints;
    std::vector<Channel*> channels;
    std::vector<zephcommdrv::Connector*> connectors;
    for (int p = 0; p < kPairs; ++p) {
        RecordingHandler connects;
        zephcommdrv::Connector* connector = driver->createConnector();
        connectors.push_back(connector);
        ASSERT_EQ(connector->connect(address, &connects, 0), 0);
        auto connected = connects.next(Kind::Connect);
        auto accepted = accepts.next(Kind::Accept);
        ASSERT_TRUE(connected && connected->channel && accepted && accepted->channel);
        endpoints.push_back(std::make_unique<Endpoint>(2 * p, 2 * p + 1, finished[2 * p]));
        endpoints.push_back(std::make_unique<Endpoint>(2 * p + 1, 2 * p, finished[2 * p + 1]));
        channels.push_back(connected->channel);
        channels.push_back(accepted->channel);
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
    acceptor->destroy();
    accepts.next(Kind::Accept);
    driver->destroy();
}
