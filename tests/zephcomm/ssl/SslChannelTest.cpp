// Channels of the SSL driver end to end within the process: a server-side
// and a client-side driver over loopback, anonymous and with certificates
// made at test time.

#include "zephcomm/ssl/SslTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <future>
#include <memory>
#include <vector>

namespace {

using namespace ssltest;
using namespace std::chrono_literals;
using drvtest::pattern;

// Receives a known sequence of messages on one channel, one receive after
// the other from inside the callbacks, and tells whether every message
// arrived intact.
class SequenceReceiver : public zephcommdrv::Handler {
public:
    SequenceReceiver(zephcommdrv::Channel* channel, const std::vector<std::string>& expected)
        : channel_(channel)
        , expected_(expected)
    {
    }
    std::future<bool> start()
    {
        receiveNext();
        return result_.get_future();
    }
    void accept_CB(int, zephcommdrv::Channel*) override { }
    void connect_CB(int, zephcommdrv::Channel*) override { }
    void receive_CB(int error, void*, size_t, zephcommdrv::Channel*) override
    {
        if (error != 0 || buffer_ != expected_[index_]) {
            result_.set_value(false);
            return;
        }
        if (++index_ == expected_.size()) {
            result_.set_value(true);
            return;
        }
        receiveNext();
    }
    void send_CB(void*, int, zephcommdrv::Channel*) override { }

private:
    void receiveNext()
    {
        buffer_.assign(expected_[index_].size(), '\0');
        if (channel_->receive(buffer_.data(), buffer_.size(), this, 0) != 0)
            result_.set_value(false);
    }
    zephcommdrv::Channel* channel_;
    const std::vector<std::string>& expected_;
    size_t index_ = 0;
    std::string buffer_;
    std::promise<bool> result_;
};

// Counts send completions; tells whether all succeeded.
class SendCounter : public zephcommdrv::Handler {
public:
    explicit SendCounter(size_t expected)
        : left_(expected)
    {
    }
    std::future<bool> result() { return result_.get_future(); }
    void accept_CB(int, zephcommdrv::Channel*) override { }
    void connect_CB(int, zephcommdrv::Channel*) override { }
    void receive_CB(int, void*, size_t, zephcommdrv::Channel*) override { }
    void send_CB(void*, int error, zephcommdrv::Channel*) override
    {
        std::lock_guard<std::mutex> guard(lock_);
        failed_ = failed_ || error != 0;
        if (--left_ == 0)
            result_.set_value(!failed_);
    }

private:
    std::mutex lock_;
    size_t left_;
    bool failed_ = false;
    std::promise<bool> result_;
};

class SslChannel : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new ScratchDir();
        pki = new TestPki(makeTestPki(dir->path(), "trusted"));
        stranger = new TestPki(makeTestPki(dir->path(), "stranger"));
    }
    static void TearDownTestSuite()
    {
        delete stranger;
        delete pki;
        delete dir;
    }

    // Sends `bytes` from one end as one request and receives them whole at
    // the other; the receive's error (or -1 when a callback is missing).
    static int transfer(zephcommdrv::Channel* from, RecordingHandler& fromHandler, zephcommdrv::Channel* to,
        RecordingHandler& toHandler, const std::string& bytes, std::string& received)
    {
        received.assign(bytes.size(), '\0');
        if (to->receive(received.data(), received.size(), &toHandler, 0) != 0)
            return -1;
        const void* buffers[] = { bytes.data() };
        const size_t lengths[] = { bytes.size() };
        if (from->send(1, buffers, lengths, &fromHandler, 0, nullptr) != 0)
            return -1;
        auto got = toHandler.next(Kind::Receive, 60s);
        auto sent = fromHandler.next(Kind::Send, 60s);
        if (!got || !sent)
            return -1;
        // A failed handshake fails both ends; a good one delivers both.
        EXPECT_EQ(sent->error == 0, got->error == 0) << sent->error << " " << got->error;
        return got->error;
    }

    // One greeting from the server to the client, as the service sends first.
    int greet(const std::string& greeting = "service greeting")
    {
        std::string received;
        const int rc = transfer(pair.serverChannel, pair.serverHandler, pair.clientChannel,
            pair.clientHandler, greeting, received);
        if (rc == 0) {
            EXPECT_EQ(received, greeting);
        }
        return rc;
    }

    // A plain TCP peer of the started server, accepted, with a receive
    // pending on the server's channel (into `pending`); the peer's socket,
    // or -1.
    int rawPeerWithAReceivePending()
    {
        const int peer = drvtest::rawConnect(pair.port);
        if (peer < 0)
            return -1;
        auto accepted = pair.acceptHandler.next(Kind::Accept);
        if (!accepted.has_value()) {
            ::close(peer);
            return -1;
        }
        pair.serverChannel = accepted->channel;
        EXPECT_EQ(pair.serverChannel->receive(pending.data(), pending.size(), &pair.serverHandler, 0), 0);
        return peer;
    }

    static ScratchDir* dir;
    static TestPki* pki;
    static TestPki* stranger;
    DriverPair pair;
    std::string pending = std::string(16, '\0');
};

ScratchDir* SslChannel::dir = nullptr;
TestPki* SslChannel::pki = nullptr;
TestPki* SslChannel::stranger = nullptr;

TEST_F(SslChannel, AnonymousDriversExchangeGatheredMessagesBothWays)
{
    ASSERT_EQ(pair.start("", ""), 0);
    ASSERT_TRUE(pair.connect());
    EXPECT_EQ(greet(), 0);

    // A header and a payload in two buffers arrive as one byte stream.
    const std::string header = "HDR:0007";
    const std::string payload = "payload";
    std::string received(header.size() + payload.size(), '\0');
    ASSERT_EQ(pair.serverChannel->receive(received.data(), received.size(), &pair.serverHandler, 0), 0);
    const void* buffers[] = { header.data(), payload.data() };
    const size_t lengths[] = { header.size(), payload.size() };
    ASSERT_EQ(pair.clientChannel->send(2, buffers, lengths, &pair.clientHandler, 0, &received), 0);
    auto sent = pair.clientHandler.next(Kind::Send);
    ASSERT_TRUE(sent.has_value());
    EXPECT_EQ(sent->error, 0);
    EXPECT_EQ(sent->token, &received);
    auto got = pair.serverHandler.next(Kind::Receive);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->error, 0);
    EXPECT_EQ(received, header + payload);
}

TEST_F(SslChannel, LargeMessagesBothWaysAtOnceArriveWholeAndInOrder)
{
    ASSERT_EQ(pair.start(serverArgument(*pki), ""), 0);
    ASSERT_TRUE(pair.connect());
    // Both directions full at the same time (records must be read while
    // writes wait), with many small requests queued behind a large one.
    const std::string large = pattern(3 * 1024 * 1024 + 17, 1);
    const std::string back = pattern(2 * 1024 * 1024 + 5, 2);
    std::vector<std::string> smalls;
    for (unsigned i = 0; i < 200; ++i)
        smalls.push_back(pattern(100 + i, i));
    size_t smallBytes = 0;
    for (const std::string& s : smalls)
        smallBytes += s.size();

    std::string atServer(large.size() + smallBytes, '\0');
    std::string atClient(back.size(), '\0');
    ASSERT_EQ(pair.serverChannel->receive(atServer.data(), atServer.size(), &pair.serverHandler, 0), 0);
    ASSERT_EQ(pair.clientChannel->receive(atClient.data(), atClient.size(), &pair.clientHandler, 0), 0);

    const void* largeBuffer[] = { large.data() };
    const size_t largeLength[] = { large.size() };
    ASSERT_EQ(pair.clientChannel->send(1, largeBuffer, largeLength, &pair.clientHandler, 0, nullptr), 0);
    for (size_t i = 0; i < smalls.size(); ++i) {
        const void* buffer[] = { smalls[i].data() };
        const size_t length[] = { smalls[i].size() };
        ASSERT_EQ(pair.clientChannel->send(1, buffer, length, &pair.clientHandler, 0, &smalls[i]), 0);
    }
    const void* backBuffer[] = { back.data() };
    const size_t backLength[] = { back.size() };
    ASSERT_EQ(pair.serverChannel->send(1, backBuffer, backLength, &pair.serverHandler, 0, nullptr), 0);

    auto atServerDone = pair.serverHandler.next(Kind::Receive, 60s);
    auto atClientDone = pair.clientHandler.next(Kind::Receive, 60s);
    ASSERT_TRUE(atServerDone && atClientDone);
    EXPECT_EQ(atServerDone->error, 0);
    EXPECT_EQ(atClientDone->error, 0);
    std::string expected = large;
    for (const std::string& s : smalls)
        expected += s;
    EXPECT_TRUE(atServer == expected);
    EXPECT_TRUE(atClient == back);

    // Send completions come in issue order: the large one, then each small one.
    auto first = pair.clientHandler.next(Kind::Send);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->token, nullptr);
    for (size_t i = 0; i < smalls.size(); ++i) {
        auto done = pair.clientHandler.next(Kind::Send);
        ASSERT_TRUE(done.has_value());
        EXPECT_EQ(done->error, 0);
        EXPECT_EQ(done->token, &smalls[i]) << i;
    }
}

TEST_F(SslChannel, AVerifyingClientAcceptsTheServerUnderTheRightCaAndName)
{
    ASSERT_EQ(pair.start(serverArgument(*pki), verifyingClientArgument(*pki)), 0);
    ASSERT_TRUE(pair.connect("localhost"));
    EXPECT_EQ(greet(), 0);
}

TEST_F(SslChannel, ABracedNameIsCheckedInsteadOfTheAddressConnectedTo)
{
    ASSERT_EQ(pair.start(serverArgument(*pki), verifyingClientArgument(*pki, "{localhost}")), 0);
    ASSERT_TRUE(pair.connect("127.0.0.1"));
    EXPECT_EQ(greet(), 0);
}

TEST_F(SslChannel, AnAddressIsCheckedAgainstTheCertificatesAddresses)
{
    ASSERT_EQ(pair.start(serverArgument(*pki), verifyingClientArgument(*pki)), 0);
    ASSERT_TRUE(pair.connect("127.0.0.1"));
    EXPECT_EQ(greet(), 0);
}

TEST_F(SslChannel, AServerUnderAnotherCaIsRefused)
{
    ASSERT_EQ(pair.start(serverArgument(*stranger), verifyingClientArgument(*pki)), 0);
    ASSERT_TRUE(pair.connect());
    EXPECT_EQ(greet(), -EPROTO);
    EXPECT_TRUE(pair.clientLog.contains("certificate verify failed"));
    // The server's side of the failed connection ends too.
    std::string buffer(4, '\0');
    if (pair.serverChannel->receive(buffer.data(), buffer.size(), &pair.serverHandler, 0) == 0) {
        auto got = pair.serverHandler.next(Kind::Receive);
        ASSERT_TRUE(got.has_value());
        EXPECT_NE(got->error, 0);
    }
}

TEST_F(SslChannel, AServerWhoseNameDiffersIsRefused)
{
    ASSERT_EQ(pair.start(serverArgument(*pki), verifyingClientArgument(*pki, "{db.example}")), 0);
    ASSERT_TRUE(pair.connect());
    EXPECT_EQ(greet(), -EPROTO);
    EXPECT_TRUE(pair.clientLog.contains("certificate verify failed"));
}

TEST_F(SslChannel, AnAnonymousServerIsRefusedByAVerifyingClient)
{
    ASSERT_EQ(pair.start("", verifyingClientArgument(*pki)), 0);
    ASSERT_TRUE(pair.connect());
    EXPECT_EQ(greet(), -EPROTO);
}

TEST_F(SslChannel, DerCertificateFilesServeAsWell)
{
    ASSERT_EQ(pair.start("SSL[FILETYPE=ASN1,CERTIFICATE=" + pki->serverCertificateDer
                      + ",PRIVATE_KEY=" + pki->serverKeyDer + "]",
                  verifyingClientArgument(*pki)),
        0);
    ASSERT_TRUE(pair.connect());
    EXPECT_EQ(greet(), 0);
}

TEST_F(SslChannel, PlainBytesAtATlsServerFailItsReceive)
{
    ASSERT_EQ(pair.start("", ""), 0);
    const int peer = rawPeerWithAReceivePending();
    ASSERT_GE(peer, 0);
    ASSERT_TRUE(drvtest::writeAll(peer, "GET / HTTP/1.0\r\nHost: rs\r\n\r\n"));
    auto got = pair.serverHandler.next(Kind::Receive);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->error, -EPROTO);
    EXPECT_EQ(pair.serverChannel->receive(pending.data(), pending.size(), &pair.serverHandler, 0),
        zephcommdrv::kBadHandle);
    ::close(peer);
}

TEST_F(SslChannel, APeerLeavingDuringTheHandshakeGivesNotConnected)
{
    ASSERT_EQ(pair.start("", ""), 0);
    const int peer = rawPeerWithAReceivePending();
    ASSERT_GE(peer, 0);
    ::close(peer);
    auto got = pair.serverHandler.next(Kind::Receive);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->error, zephcommdrv::kNotConnected);
}

TEST_F(SslChannel, ThePeerClosingAfterTheHandshakeGivesNotConnected)
{
    ASSERT_EQ(pair.start(serverArgument(*pki), ""), 0);
    ASSERT_TRUE(pair.connect());
    ASSERT_EQ(greet(), 0);
    std::string buffer(16, '\0');
    ASSERT_EQ(pair.serverChannel->receive(buffer.data(), buffer.size(), &pair.serverHandler, 0), 0);
    pair.clientChannel->destroy();
    pair.clientChannel = nullptr;
    auto got = pair.serverHandler.next(Kind::Receive);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->error, zephcommdrv::kNotConnected);
}

TEST_F(SslChannel, TimeLimitsAndOptionsBehaveAsOnPlainTcp)
{
    ASSERT_EQ(pair.start("", ""), 0);
    ASSERT_TRUE(pair.connect());
    EXPECT_EQ(pair.clientChannel->option("TCP_NODELAY").value_or(""), "1");
    EXPECT_EQ(pair.serverChannel->option("TCP_SEND_BUFFER_SIZE").value_or(""), "65535");
    EXPECT_FALSE(pair.serverChannel->option("NO_SUCH_OPTION", "1"));
    std::string buffer(8, '\0');
    ASSERT_EQ(pair.clientChannel->receive(buffer.data(), buffer.size(), &pair.clientHandler, 50), 0);
    auto got = pair.clientHandler.next(Kind::Receive);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->error, zephcommdrv::kAborted);
}

TEST_F(SslChannel, ManyConnectionsCarryMixedSizesBothWaysConcurrently)
{
    ASSERT_EQ(pair.start(serverArgument(*pki), verifyingClientArgument(*pki)), 0);
    constexpr int kConnections = 6;
    struct Link {
        zephcommdrv::Channel* client = nullptr;
        zephcommdrv::Channel* server = nullptr;
    };
    std::vector<Link> links;
    for (int i = 0; i < kConnections; ++i) {
        ASSERT_TRUE(pair.connect());
        links.push_back({ pair.clientChannel, pair.serverChannel });
        pair.connector->destroy();
        pair.connector = nullptr;
    }
    pair.clientChannel = pair.serverChannel = nullptr;

    // Sizes around the record size, the read-ahead and the operation limit.
    const size_t sizes[] = { 1, 15, 16, 1000, 16383, 16384, 16385, 70000, 524287, 524289, 2 };
    std::vector<std::string> messages;
    for (unsigned round = 0; round < 3; ++round) {
        for (size_t size : sizes)
            messages.push_back(pattern(size, static_cast<unsigned>(messages.size())));
    }
    std::vector<std::unique_ptr<SequenceReceiver>> receivers;
    std::vector<std::unique_ptr<SendCounter>> senders;
    std::vector<std::future<bool>> outcomes;
    for (const Link& link : links) {
        for (auto [from, to] :
            { std::pair { link.client, link.server }, std::pair { link.server, link.client } }) {
            receivers.push_back(std::make_unique<SequenceReceiver>(to, messages));
            outcomes.push_back(receivers.back()->start());
            senders.push_back(std::make_unique<SendCounter>(messages.size()));
            outcomes.push_back(senders.back()->result());
            for (const std::string& message : messages) {
                const void* buffers[] = { message.data() };
                const size_t lengths[] = { message.size() };
                ASSERT_EQ(from->send(1, buffers, lengths, senders.back().get(), 0, nullptr), 0);
            }
        }
    }
    for (auto& outcome : outcomes) {
        ASSERT_EQ(outcome.wait_for(120s), std::future_status::ready);
        EXPECT_TRUE(outcome.get());
    }
    for (const Link& link : links) {
        link.client->destroy();
        link.server->destroy();
    }
}

TEST_F(SslChannel, DestroyingAChannelInTheMiddleOfTrafficCompletesEveryRequest)
{
    ASSERT_EQ(pair.start("", ""), 0);
    ASSERT_TRUE(pair.connect());
    ASSERT_EQ(greet(), 0);
    // Each send is far more than the socket buffers hold, and the server
    // reads only the first bytes: no send can finish before the close.
    const std::string large = pattern(8 * 1024 * 1024, 3);
    constexpr int kSends = 4;
    for (int i = 0; i < kSends; ++i) {
        const void* buffers[] = { large.data() };
        const size_t lengths[] = { large.size() };
        ASSERT_EQ(pair.clientChannel->send(1, buffers, lengths, &pair.clientHandler, 0, nullptr), 0);
    }
    std::string received(large.size(), '\0');
    ASSERT_EQ(pair.serverChannel->receive(received.data(), 1024, &pair.serverHandler, 0), 0);
    auto first = pair.serverHandler.next(Kind::Receive);
    ASSERT_TRUE(first.has_value());
    EXPECT_EQ(first->error, 0);
    EXPECT_EQ(received.compare(0, 1024, large, 0, 1024), 0);

    pair.clientChannel->destroy();
    pair.clientChannel = nullptr;
    for (int i = 0; i < kSends; ++i) {
        auto sent = pair.clientHandler.next(Kind::Send);
        ASSERT_TRUE(sent.has_value()) << i;
        EXPECT_EQ(sent->error, zephcommdrv::kAborted) << i;
    }
    // What was on its way arrives; then the end of the connection.
    ASSERT_EQ(pair.serverChannel->receive(received.data(), received.size(), &pair.serverHandler, 0), 0);
    auto rest = pair.serverHandler.next(Kind::Receive);
    ASSERT_TRUE(rest.has_value());
    EXPECT_EQ(rest->error, zephcommdrv::kNotConnected);
}

} // namespace
