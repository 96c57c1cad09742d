// Hostile clients of the real daemon: malformed, oversized and trickled
// messages, peers that leave half way, names that try to leave the
// repository or break its lines, states outside the table, thousands of
// connections and readers that do not read. Each gets a clear error or
// loses its own connection; the daemon keeps its memory bounded and serves
// everybody else.

#include "e2e/E2eSupport.h"

#include "interfaces/rpc/RpcCodecs.h"
#include "zephcomm/wire/MessageHeader.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <regex>
#include <sstream>

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

std::string readText(const fs::path& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
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
        fs::create_directories(daemon_.cluster.root() / "audits");
        const bool started
            = daemon_.start({ .env = { { "RS_AUDIT_LOG", "on" },
                                  { "QEL_AUDIT_LOGDIR", (daemon_.cluster.root() / "audits").string() } } });
        ::setrlimit(RLIMIT_NOFILE, &high);
        ASSERT_TRUE(started) << daemon_.failure;
        repository_ = loggedOn(daemon_.port, kRepository);
        deployment_ = loggedOn(daemon_.port, kDeployment);
        ASSERT_TRUE(repository_ && deployment_);
        ASSERT_EQ(upload(*repository_, "good", "good.bin", "good contents", 100).code, 0);
        auto data = rpc::makeBlock("package bytes");
        ASSERT_EQ(
            deployment_
                ->call<IAppDeployment::addPackage_Call>(kAnswerWait, kPackage, "", "p.bin", data.get(), 1)
                .code(),
            0);
    }
    void TearDown() override { EXPECT_EQ(daemon_.process.stop(), 0); }
    int port() const { return daemon_.port; }
    pid_t pid() const { return daemon_.process.pid(); }

    ServingDaemon daemon_;
    std::unique_ptr<rsclient::Client> repository_, deployment_;
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
        { "garbage after the handshake", kRepository, false, garbage, Outcome::PeerLeaves, {} },
        { "an interface nobody serves", "IUnknownThing", false, "", Outcome::Closed, {} },
        { "protocol version 1", kRepository, false, header(1, 8, "IRepository::logon") + "xxxxxxxx",
            Outcome::Closed, {} },
        { "payload size 0", kRepository, false, header(0, 0, "IRepository::logon"), Outcome::Closed, {} },
        { "a size far over the limit, never sent", kRepository, false,
            header(0, 0xFFFFFFF0u, "IRepository::logon") + "abc", Outcome::Closed, {} },
        { "payload of one byte", kRepository, false, cut(1), Outcome::Refused, logonAnswer },
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
            ASSERT_EQ(wireLogon(client, kRepository, kAdminCredential), 0);
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

// Requests that write under a name, with each name argument in turn
// replaced by a hostile one. Each operation's own refusals are its
// in-process tests'; here the names cross the wire and reach the disk.
TEST_F(HostileInput, NamesThatLeaveTheRepositoryOrBreakItsLinesAreRefused)
{
    using Arguments = std::vector<std::string>;
    using Send = std::function<int32_t(const Arguments&)>;
    auto& repo = *repository_;
    auto& deploy = *deployment_;
    const struct {
        const char* operation;
        Arguments arguments;
        Send send;
    } requests[] = {
        { "addModule", { "good", "good.bin" },
            [&](const Arguments& a) {
                auto piece = rpc::makeBlock("hostile");
                return repo.call<IRepository::addModule_Call>(kAnswerWait, a[0], a[1], piece.get(), 1).code();
            } },
        { "removeModule", { "good" },
            [&](const Arguments& a) {
                return repo.call<IRepository::removeModule_Call>(kAnswerWait, a[0]).code();
            } },
        { "addPackage", { kPackage, "", "p.bin" },
            [&](const Arguments& a) {
                auto data = rpc::makeBlock("hostile");
                return deploy
                    .call<IAppDeployment::addPackage_Call>(kAnswerWait, a[0], a[1], a[2], data.get(), 1)
                    .code();
            } },
        { "installPackage", { kPackage, "", "node1" },
            [&](const Arguments& a) {
                return deploy.call<IAppDeployment::installPackage_Call>(kAnswerWait, a[0], a[1], a[2]).code();
            } },
    };
    const std::string hostile[] = { "../escape", "../../../../../tmp/rs-hostile-escape", "a/../../b", "..",
        "a|b", "|", "a\nb", "\n", std::string("a\0b", 3), std::string(1, '\0') };
    const fs::path root = daemon_.cluster.root();
    std::set<fs::path> outside;
    for (auto& entry : fs::directory_iterator(root))
        outside.insert(entry.path());

    for (const auto& request : requests)
        for (size_t position = 0; position < request.arguments.size(); ++position)
            for (const std::string& name : hostile) {
                Arguments arguments = request.arguments;
                arguments[position] = name;
                const int32_t code = request.send(arguments);
                EXPECT_LT(code, 0) << request.operation << " argument " << position << " "
                                   << ::testing::PrintToString(name);
                EXPECT_NE(code, rsclient::kTimedOut);
            }

    std::set<fs::path> outsideAfter;
    for (auto& entry : fs::directory_iterator(root))
        outsideAfter.insert(entry.path());
    EXPECT_EQ(outsideAfter, outside);
    EXPECT_FALSE(fs::exists("/tmp/rs-hostile-escape"));
    for (auto& entry : fs::recursive_directory_iterator(daemon_.cluster.storageDir())) {
        EXPECT_EQ(entry.path().filename().string().find_first_of("|\n"), std::string::npos) << entry.path();
        if (!entry.is_regular_file())
            continue;
        const std::string text = readText(entry.path());
        for (const char* marker : { "escape", "a|b", "a\nb", "a/../../b" })
            EXPECT_EQ(text.find(marker), std::string::npos)
                << entry.path() << " holds " << ::testing::PrintToString(marker);
    }
    // A refused "a\nb" is audited on one line, not as a forged second record.
    const std::regex auditLine(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S+ .+)");
    std::istringstream audit(readText(root / "audits" / "repositoryservice.audit.log"));
    for (std::string line; std::getline(audit, line);)
        EXPECT_TRUE(std::regex_match(line, auditLine)) << ::testing::PrintToString(line);
    EXPECT_EQ(fetch(*repository_, "good", "1").contents, "good contents");
    auto package = deployment_->call<IAppDeployment::getPackage_Call>(kAnswerWait, kPackage, "", "");
    ASSERT_EQ(package.code(), 0);
    EXPECT_EQ(rpc::blockText(package->moduleData()), "package bytes");
}

// A deploy command that reports a state the table does not name and then
// goes away is recorded as lost; the daemon serves on.
TEST_F(HostileInput, AStateOutsideTheTableThenAClosedSocketLeavesTheServiceServing)
{
    for (int32_t state : { 42, -1 }) {
        SCOPED_TRACE(state);
        const std::string host = "lost" + std::to_string(state);
        auto reporter = loggedOn(port(), kDeployment);
        ASSERT_TRUE(reporter);
        kav::KavErrorInfo success;
        ASSERT_EQ(
            reporter->call<IAppDeployment::setPackageStatus_Call>(
                        kAnswerWait, &success, kPackage, host, state)
                .code(),
            0);
        reporter.reset();
        // The log line is the only sign that the close was handled; between
        // looks the test waits on the daemon's exit, which ends the wait at once.
        const std::string lost
            = "Deploy command lost for package: " + std::string(kPackage) + " host: " + host;
        for (int looks = 0; looks < 30 && daemon_.cluster.logText().find(lost) == std::string::npos; ++looks)
            if (daemon_.process.waitForExit(std::chrono::seconds(1)))
                break;
        EXPECT_NE(daemon_.cluster.logText().find(lost), std::string::npos);
        ASSERT_TRUE(serves(port(), kDeployment));
    }
}

TEST_F(HostileInput, ThousandsOfConnectionsAndReadersThatDoNotReadHoldNobodyUp)
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

    constexpr size_t kBig = 16 * 1024 * 1024;
    const std::string big = patternBytes(kBig, 99);
    ASSERT_EQ(upload(*repository_, "big", "big.bin", big, 4 * 1024 * 1024).version, "1");
    const long loaded = residentKiB(pid());
    std::vector<std::unique_ptr<WireClient>> stalled;
    for (int i = 0; i < 4; ++i) {
        stalled.push_back(std::make_unique<WireClient>());
        ASSERT_TRUE(stalled.back()->connect(port(), kRepository));
        ASSERT_EQ(wireLogon(*stalled.back(), kRepository, kAdminCredential), 0);
        ASSERT_TRUE(stalled.back()->send(kRepository,
            IRepository::getModule_Call(std::string("big"), std::string("1"), std::string(kKnownConsumer))));
    }
    // Nobody reads those answers; everybody else is served, the big module included.
    EXPECT_TRUE(fetch(*repository_, "big", "1").contents == big);
    EXPECT_TRUE(serves(port()));
    EXPECT_LT(residentKiB(pid()) - loaded, long(6 * kBig / 1024) + 64 * 1024) << "KiB grown";
    // A late reader still gets the whole answer.
    IRepositoryResp::getModuleResp_Call answer(zephCDRMarshal::prototype);
    ASSERT_TRUE(stalled.front()->receive("IRepositoryResp", answer));
    ASSERT_TRUE(answer.error());
    EXPECT_EQ(answer.error()->getCode(), 0);
    EXPECT_TRUE(rpc::blockText(answer.moduleData()) == big);
}

} // namespace
} // namespace rs::e2e
