// Channels of the SSL driver end to end within the process: a server-side
// and a client-side driver over loopback, anonymous and with certificates
// made at test time.

#include "zephcomm/ssl/SslTestSupport.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace {

using namespace ssltest;
using namespace std::chrono_literals;
using drvtest::pattern;

int sendOne(zephcommdrv::Channel* channel, const std::string& bytes, RecordingHandler& handler, void* token)
{
    const void* buffers[] = { bytes.data() };
    const size_t lengths[] = { bytes.size() };
    return channel->send(1, buffers, lengths, &handler, 0, token);
}

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

    // One greeting from the server to the client, as the service sends
    // first; the receive's error (or -1 when a callback is missing). A
    // failed handshake fails both ends; a good one delivers both.
    static int greet(DriverPair& pair)
    {
        const std::string greeting = "service greeting";
        std::string received(greeting.size(), '\0');
        if (pair.clientChannel->receive(received.data(), received.size(), &pair.clientHandler, 0) != 0
            || sendOne(pair.serverChannel, greeting, pair.serverHandler, nullptr) != 0)
            return -1;
        auto got = pair.clientHandler.next(Kind::Receive, 60s);
        auto sent = pair.serverHandler.next(Kind::Send, 60s);
        if (!got || !sent)
            return -1;
        EXPECT_EQ(sent->error == 0, got->error == 0) << sent->error << " " << got->error;
        if (got->error == 0) {
            EXPECT_EQ(received, greeting);
        }
        return got->error;
    }

    static ScratchDir* dir;
    static TestPki* pki;
    static TestPki* stranger;
    DriverPair pair;
};

ScratchDir* SslChannel::dir = nullptr;
TestPki* SslChannel::pki = nullptr;
TestPki* SslChannel::stranger = nullptr;

TEST_F(SslChannel, TheHandshakeChecksTheServerAsTheClientIsTold)
{
    const std::string der = "SSL[FILETYPE=ASN1,CERTIFICATE=" + pki->serverCertificateDer
        + ",PRIVATE_KEY=" + pki->serverKeyDer + "]";
    const struct {
        const char* what;
        std::string server, client, host;
        int expected;
    } rows[] = {
        { "anonymous both", "", "", "localhost", 0 },
        { "right CA and name", serverArgument(*pki), verifyingClientArgument(*pki), "localhost", 0 },
        { "braced name, not the address", serverArgument(*pki), verifyingClientArgument(*pki, "{localhost}"),
            "127.0.0.1", 0 },
        { "address among the certificate's", serverArgument(*pki), verifyingClientArgument(*pki), "127.0.0.1",
            0 },
        { "DER files", der, verifyingClientArgument(*pki), "localhost", 0 },
        { "another CA", serverArgument(*stranger), verifyingClientArgument(*pki), "localhost", -EPROTO },
        { "another name", serverArgument(*pki), verifyingClientArgument(*pki, "{db.example}"), "localhost",
            -EPROTO },
        { "anonymous server", "", verifyingClientArgument(*pki), "localhost", -EPROTO },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        DriverPair pair;
        ASSERT_EQ(pair.start(row.server, row.client), 0);
        ASSERT_TRUE(pair.connect(row.host));
        EXPECT_EQ(greet(pair), row.expected);
        if (row.server.empty()) { // nobody can check an anonymous server, and it says so
            EXPECT_TRUE(pair.serverLog.contains("the server is not authenticated"));
        }
        if (row.expected != 0 && !row.server.empty()) {
            EXPECT_TRUE(pair.clientLog.contains("certificate verify failed"));
            // The server's side of the failed connection ends too.
            std::string buffer(4, '\0');
            if (pair.serverChannel->receive(buffer.data(), buffer.size(), &pair.serverHandler, 0) == 0) {
                auto got = pair.serverHandler.next(Kind::Receive);
                ASSERT_TRUE(got.has_value());
                EXPECT_NE(got->error, 0);
            }
        }
    }
}

TEST_F(SslChannel, PlainBytesAtATlsServerFailItsReceive)
{
    ASSERT_EQ(pair.start("", ""), 0);
    const int peer = drvtest::rawConnect(pair.port);
    ASSERT_GE(peer, 0);
    auto accepted = pair.acceptHandler.next(Kind::Accept);
    ASSERT_TRUE(accepted && accepted->channel);
    pair.serverChannel = accepted->channel;
    std::string pending(16, '\0');
    ASSERT_EQ(pair.serverChannel->receive(pending.data(), pending.size(), &pair.serverHandler, 0), 0);
    ASSERT_TRUE(drvtest::writeAll(peer, "GET / HTTP/1.0\r\nHost: rs\r\n\r\n"));
    auto got = pair.serverHandler.next(Kind::Receive);
    ASSERT_TRUE(got.has_value());
    EXPECT_EQ(got->error, -EPROTO);
    EXPECT_EQ(pair.serverChannel->receive(pending.data(), pending.size(), &pair.serverHandler, 0),
        zephcommdrv::kBadHandle);
    ::close(peer);
}

TEST_F(SslChannel, DestroyingAChannelInTheMiddleOfTrafficAbortsItsSendsAndThePeerSeesTheEnd)
{
    ASSERT_EQ(pair.start("", ""), 0);
    ASSERT_TRUE(pair.connect());
    ASSERT_EQ(greet(pair), 0);
    // Each send is far more than the socket buffers hold, and the server
    // reads only the first bytes: no send can finish before the close.
    const std::string large = pattern(8 * 1024 * 1024, 3);
    constexpr int kSends = 4;
    for (int i = 0; i < kSends; ++i)
        ASSERT_EQ(sendOne(pair.clientChannel, large, pair.clientHandler, nullptr), 0);
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
