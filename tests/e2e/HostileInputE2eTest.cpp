// Hostile clients of the real daemon: malformed, oversized and trickled
// messages, peers that leave half way, states outside the table and
// thousands of connections. Each gets a clear error or loses its own
// connection; the daemon keeps its memory bounded, serves everybody else,
// and stops cleanly at the end.

#include "e2e/E2eSupport.h"

#include "interfaces/rpc/RpcCodecs.h"
#include "zephcomm/wire/MessageHeader.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>

namespace rs::e2e {
namespace {

namespace fs = std::filesystem;
namespace wire = zephcomm::wire;

constexpr const char* kPackage = "goodpkg";

long residentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// The daemon starts with a soft descriptor limit of 1024: it must lift it
// itself to serve thousands of connections.
class HostileInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        rlimit limit {};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
        const rlimit high { limit.rlim_max, limit.rlim_max };
        const rlimit low { std::min<rlim_t>(1024, limit.rlim_max), limit.rlim_max };
        ::setrlimit(RLIMIT_NOFILE, &low);
        const bool started = daemon_.start();
        ::setrlimit(RLIMIT_NOFILE, &high);
        ASSERT_TRUE(started) << daemon_.failure;
        auto deployment = loggedOn(daemon_.port, kDeployment);
        ASSERT_TRUE(deployment);
        auto data = rpc::makeBlock("package bytes");
        ASSERT_EQ(
            deployment
                ->call<IAppDeployment::addPackage_Call>(kAnswerWait, kPackage, "", "p.bin", data.get(), 1)
                .code(),
            0);
    }
    void TearDown() override { EXPECT_EQ(daemon_.process.stop(), 0); }
    int port() const { return daemon_.port; }
    pid_t pid() const { return daemon_.process.pid(); }

    ServingDaemon daemon_;
};

std::string header(uint32_t version, uint32_t size, const std::string& typeName)
{
    unsigned char bytes[wire::kHeaderSize];
    wire::encodeHeader(size, wire::typeIdentifier(typeName), bytes);
    std::memcpy(bytes + 4, &version, sizeof version);
    return std::string(reinterpret_cast<char*>(bytes), sizeof bytes);
}

// Sets the first 4-aligned length field equal to `length` at or after
// `from` to 0xFFFFFFFF.
std::string claimFourGiB(std::string payload, uint32_t length, size_t from = 0)
{
    for (size_t at = (from + 3) & ~size_t(3); at + 4 <= payload.size(); at += 4) {
        uint32_t value;
        std::memcpy(&value, payload.data() + at, 4);
        if (value == length) {
            std::memset(payload.data() + at, 0xFF, 4);
            return payload;
        }
    }
    ADD_FAILURE() << "no length field " << length;
    return payload;
}

template <class Answer> std::optional<int32_t> answerCode(WireClient& client)
{
    Answer answer(zephCDRMarshal::prototype);
    if (!client.receive("IRepositoryResp", answer) || !answer.error())
        return std::nullopt;
    return answer.error()->getCode();
}

enum class Outcome { Closed, Refused, Accepted, PeerLeaves };

TEST_F(HostileInput, MalformedMessagesCostOnlyTheirOwnConnection)
{
    const std::string logon
        = payloadOf(IRepository::logon_Call(kAdminCredential, std::string(kKnownConsumer)));
    const std::string data(1000, 'd');
    auto block = rpc::makeBlock(data);
    const std::string add
        = payloadOf(IRepository::addModule_Call(std::string("m4g"), std::string("m.bin"), block.get(), 1));
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage.push_back(static_cast<char>((i * 131 + 7) & 0xFF));
    const auto cut = [&](size_t size) {
        return header(0, uint32_t(size), "IRepository::logon") + logon.substr(0, size);
    };
    const kav::KavErrorInfo success;
    const auto logonAnswer = answerCode<IRepositoryResp::logonResp_Call>;
    const auto addAnswer = answerCode<IRepositoryResp::addModuleResp_Call>;
    const struct {
        const char* what;
        const char* interfaceName; // null: no handshake
        bool logonFirst;
        std::string bytes;
        Outcome outcome;
        std::function<std::optional<int32_t>(WireClient&)> answer;
        bool byteByByte = false;
    } rows[] = {
        { "garbage instead of a handshake", nullptr, false, garbage, Outcome::PeerLeaves, {} },
        { "an interface nobody serves", "IUnknownThing", false, "", Outcome::Closed, {} },
        { "protocol version 1", kRepository, false, header(1, 8, "IRepository::logon") + "xxxxxxxx",
            Outcome::Closed, {} },
        { "payload size 0", kRepository, false, header(0, 0, "IRepository::logon"), Outcome::Closed, {} },
        { "a size far over the limit, never sent", kRepository, false,
            header(0, 0xFFFFFFF0u, "IRepository::logon") + "abc", Outcome::Closed, {} },
        { "payload cut in a string", kRepository, false, cut(logon.size() / 2), Outcome::Refused,
            logonAnswer },
        { "payload short of one byte", kRepository, false, cut(logon.size() - 1), Outcome::Refused,
            logonAnswer },
        { "payload ending before its announced size", kRepository, false,
            header(0, uint32_t(logon.size()), "IRepository::logon") + logon.substr(0, logon.size() / 2),
            Outcome::PeerLeaves, {} },
        { "string length of 4 GiB", kRepository, false,
            messageOf("IRepository::logon", claimFourGiB(logon, uint32_t(kAdminCredential.size() + 1))),
            Outcome::Refused, logonAnswer },
        { "name length of 4 GiB", kRepository, true,
            messageOf("IRepository::addModule", claimFourGiB(add, 4)), Outcome::Refused, addAnswer },
        { "block length of 4 GiB", kRepository, true,
            messageOf("IRepository::addModule", claimFourGiB(add, uint32_t(data.size()), 8)),
            Outcome::Refused, addAnswer },
        // The daemon records the deploy command as lost once it has gone.
        { "a state outside the table, then the peer leaves", kDeployment, true,
            messageOf("IAppDeployment::setPackageStatus",
                payloadOf(IAppDeployment::setPackageStatus_Call(
                    &success, std::string(kPackage), std::string("lost"), 42))),
            Outcome::PeerLeaves, {} },
        { "a logon one byte at a time", kRepository, false, messageOf("IRepository::logon", logon),
            Outcome::Accepted, logonAnswer, true },
    };
    const long before = residentKiB(pid());
    for (const auto& row : rows) {
        SCOPED_TRACE(row.what);
        WireClient client;
        ASSERT_TRUE(client.open(port()));
        if (row.interfaceName) {
            ASSERT_TRUE(client.handshake(row.interfaceName));
        }
        if (row.logonFirst) {
            ASSERT_EQ(wireLogon(client, row.interfaceName, kAdminCredential), 0);
        }
        if (!row.byteByByte) {
            client.sendRaw(row.bytes);
        } else {
            for (size_t i = 0; i < row.bytes.size(); ++i) {
                ASSERT_TRUE(client.sendRaw(row.bytes.substr(i, 1)));
                if (i % 16 == 0) {
                    ASSERT_TRUE(serves(port())) << "while " << i << " bytes of a message are in";
                }
            }
        }
        switch (row.outcome) {
        case Outcome::Closed:
            EXPECT_TRUE(client.closedByPeer());
            break;
        case Outcome::Refused:
        case Outcome::Accepted: {
            const auto code = row.answer(client);
            ASSERT_TRUE(code.has_value());
            if (row.outcome == Outcome::Accepted)
                EXPECT_EQ(*code, 0);
            else
                EXPECT_LT(*code, 0);
            EXPECT_TRUE(wireVersion(client, kRepository)) << "the connection stays open";
            break;
        }
        case Outcome::PeerLeaves:
            client.close();
            break;
        }
        EXPECT_TRUE(serves(port()));
    }
    EXPECT_LT(residentKiB(pid()) - before, 64 * 1024) << "KiB grown";
}

TEST_F(HostileInput, ThousandsOfConnectionsHoldNobodyUp)
{
    const long before = residentKiB(pid());
    std::vector<std::unique_ptr<WireClient>> idle;
    for (int i = 0; i < 5000; ++i) {
        idle.push_back(std::make_unique<WireClient>());
        ASSERT_TRUE(idle.back()->open(port())) << i;
        if (i % 2 == 1) {
            ASSERT_TRUE(idle.back()->handshake(i % 4 == 1 ? kRepository : kDeployment)) << i;
        }
    }
    EXPECT_TRUE(serves(port()));
    EXPECT_TRUE(serves(port(), kDeployment));
    EXPECT_LT(residentKiB(pid()) - before, 512 * 1024) << "KiB grown with 5000 connections";
    idle.clear();
}

} // namespace
} // namespace rs::e2e
