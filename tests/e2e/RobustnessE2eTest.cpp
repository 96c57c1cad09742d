// Hostile and broken clients must not stop the daemon from serving the next one.

#include "e2e/E2eSupport.h"

#include "interfaces/IRepository.h"
#include "zephcomm/wire/MessageHeader.h"

#include <gtest/gtest.h>

#include <cstring>
#include <vector>

namespace {

using namespace rs::e2e;
namespace wire = zephcomm::wire;

class DaemonRobustness : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        daemon_ = new ServingDaemon();
        ASSERT_TRUE(daemon_->start()) << daemon_->failure;
    }
    static void TearDownTestSuite()
    {
        if (daemon_) {
            EXPECT_EQ(daemon_->process.stop(), 0);
        }
        delete daemon_;
        daemon_ = nullptr;
    }
    static int port() { return daemon_->port; }

    // A header with the given fields, little-endian.
    static std::string header(uint32_t version, uint32_t size, uint32_t typeId)
    {
        unsigned char bytes[wire::kHeaderSize];
        wire::encodeHeader(size, typeId, bytes);
        std::memcpy(bytes + 4, &version, sizeof version);
        return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
    }
    static uint32_t logonType() { return wire::typeIdentifier("IRepository::logon"); }

    // Sends bytes after the handshake, then drops the connection.
    static void sendAndDrop(const std::string& bytes, bool handshakeFirst = true)
    {
        WireClient client;
        ASSERT_TRUE(handshakeFirst ? client.connect(port(), kRepository) : client.open(port()));
        client.sendRaw(bytes);
    }

    static ServingDaemon* daemon_;
};

ServingDaemon* DaemonRobustness::daemon_ = nullptr;

TEST_F(DaemonRobustness, GarbageBytesInsteadOfAHandshake)
{
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    sendAndDrop(garbage, false);
    sendAndDrop(garbage, true);
    EXPECT_TRUE(serves(port()));
}

TEST_F(DaemonRobustness, HeaderOfAnotherProtocolVersionClosesOnlyThatConnection)
{
    WireClient client;
    ASSERT_TRUE(client.connect(port(), kRepository));
    client.sendRaw(header(1, 8, logonType()) + std::string(8, 'x'));
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(serves(port()));
}

TEST_F(DaemonRobustness, HeaderWithSizeZeroClosesOnlyThatConnection)
{
    WireClient client;
    ASSERT_TRUE(client.connect(port(), kRepository));
    client.sendRaw(header(0, 0, logonType()));
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(serves(port()));
}

TEST_F(DaemonRobustness, HugeAnnouncedSizeIsRefusedWithoutWaitingForIt)
{
    WireClient client;
    ASSERT_TRUE(client.connect(port(), kRepository));
    client.sendRaw(header(0, 0xFFFFFFF0u, logonType()) + "abc");
    EXPECT_TRUE(client.closedByPeer());
    EXPECT_TRUE(serves(port()));
}

TEST_F(DaemonRobustness, TruncatedPayloadsAreAnsweredOrDropped)
{
    IRepository::logon_Call call(std::string(kAdminUser) + ":" + kAdminPassword, std::string(kKnownConsumer));
    std::string payload;
    for (const ACE_Message_Block* b = call.payload(); b; b = b->cont())
        payload.append(b->rd_ptr(), b->length());
    // A short payload inside a message of its own size: a malformed request.
    for (size_t cut : { size_t(1), size_t(5), payload.size() / 2, payload.size() - 1 }) {
        WireClient client;
        ASSERT_TRUE(client.connect(port(), kRepository));
        client.sendRaw(header(0, static_cast<uint32_t>(cut), logonType()) + payload.substr(0, cut));
        IRepositoryResp::logonResp_Call answer(zephCDRMarshal::prototype);
        ASSERT_TRUE(client.receive("IRepositoryResp", answer)) << cut;
        ASSERT_TRUE(answer.error());
        EXPECT_LT(answer.error()->getCode(), 0) << cut;
    }
    // A payload that stops before its announced end, then the client leaves.
    sendAndDrop(header(0, static_cast<uint32_t>(payload.size()), logonType()) + payload.substr(0, payload.size() / 2));
    EXPECT_TRUE(serves(port()));
}

TEST_F(DaemonRobustness, ThousandsOfDroppedConnections)
{
    for (int i = 0; i < 2000; ++i) {
        WireClient client;
        ASSERT_TRUE(client.open(port())) << i;
        if (i % 2 == 1)
            client.handshake(kRepository);
    }
    EXPECT_TRUE(serves(port()));
    EXPECT_TRUE(serves(port(), kDeployment));
}

} // namespace
