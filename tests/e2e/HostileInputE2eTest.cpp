// Hostile clients end to end: names that try to leave the repository or
// break its index lines, string lengths that claim 4 GiB, thousands of
// connections at once, readers that do not read, clients that send a
// message byte by byte. The daemon answers with clear errors, keeps its
// memory bounded and keeps serving everybody else.

#include "e2e/ModuleE2eSupport.h"

#include "common/ResultCodes.h"
#include "interfaces/IAppDeployment.h"
#include "interfaces/IRepository.h"
#include "interfaces/rpc/RpcCodecs.h"
#include "zephcomm/wire/MessageHeader.h"

#include <gtest/gtest.h>

#include <sys/resource.h>

#include <cstring>
#include <fstream>
#include <functional>
#include <regex>
#include <set>
#include <sstream>

namespace rs::e2e {
namespace {

namespace fs = std::filesystem;
namespace wire = zephcomm::wire;

const std::string kAdminCredential = std::string(kAdminUser) + ":" + kAdminPassword;
constexpr const char* kModule = "good";
constexpr const char* kPackage = "goodpkg";
constexpr const char* kHost = "node1";

// The resident set of a process in KiB, from /proc/<pid>/status.
long residentKiB(pid_t pid)
{
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.rfind("VmRSS:", 0) == 0)
            return std::stol(line.substr(6));
    return -1;
}

// The soft and hard "Max open files" of a process, from /proc/<pid>/limits.
std::pair<std::string, std::string> openFileLimits(pid_t pid)
{
    std::ifstream limits("/proc/" + std::to_string(pid) + "/limits");
    for (std::string line; std::getline(limits, line);) {
        if (line.rfind("Max open files", 0) != 0)
            continue;
        std::istringstream fields(line.substr(std::strlen("Max open files")));
        std::string soft, hard;
        fields >> soft >> hard;
        return { soft, hard };
    }
    return {};
}

std::unique_ptr<rsclient::Client> loggedOnClient(int port, const char* interfaceName)
{
    auto client = rsclient::Client::connect("localhost:" + std::to_string(port), interfaceName, kAnswerWait);
    if (!client)
        return nullptr;
    int32_t code = interfaceName == std::string(kRepository)
        ? client->call<IRepository::logon_Call>(kAnswerWait, kAdminCredential, kKnownConsumer).code()
        : client->call<IAppDeployment::logon_Call>(kAnswerWait, kAdminCredential, kKnownConsumer).code();
    return code == 0 ? std::move(client) : nullptr;
}

std::string payloadOf(const zephcomm::Call& call)
{
    std::string payload;
    for (const ACE_Message_Block* b = call.payload(); b; b = b->cont())
        payload.append(b->rd_ptr(), b->length());
    return payload;
}

std::string messageOf(const std::string& typeName, const std::string& payload)
{
    unsigned char header[wire::kHeaderSize];
    wire::encodeHeader(static_cast<uint32_t>(payload.size()), wire::typeIdentifier(typeName), header);
    return std::string(reinterpret_cast<char*>(header), sizeof header) + payload;
}

// Replaces the first 4-aligned little-endian length field equal to `length`
// at or after `from` by 0xFFFFFFFF; false when there is none.
bool claimFourGiB(std::string& payload, uint32_t length, size_t from = 0)
{
    for (size_t at = (from + 3) & ~size_t(3); at + 4 <= payload.size(); at += 4) {
        uint32_t value;
        std::memcpy(&value, payload.data() + at, 4);
        if (value == length) {
            std::memset(payload.data() + at, 0xFF, 4);
            return true;
        }
    }
    return false;
}

class HostileInput : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        // Thousands of connections need thousands of descriptors, on both sides.
        rlimit limit {};
        ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &limit), 0);
        original_ = limit;
        limit.rlim_cur = limit.rlim_max;
        ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &limit), 0);
        daemon_ = new ModuleDaemon();
        ASSERT_TRUE(daemon_->start()) << daemon_->failure();

        auto modules = ModuleSession::open(daemon_->port(), kAdminUser, kAdminPassword, kKnownConsumer);
        ASSERT_TRUE(modules);
        ASSERT_EQ(modules->addPiece(kModule, "good.bin", "good contents", 1).code, 0);
        auto deployment = loggedOnClient(daemon_->port(), kDeployment);
        ASSERT_TRUE(deployment);
        auto data = rpc::makeBlock("package bytes");
        ASSERT_EQ(deployment
                      ->call<IAppDeployment::addPackage_Call>(
                          kAnswerWait, kPackage, "", "goodpkg.bin", data.get(), 1)
                      .code(),
            0);
    }
    static void TearDownTestSuite()
    {
        if (daemon_) {
            EXPECT_EQ(daemon_->process().stop(), 0);
        }
        delete daemon_;
        daemon_ = nullptr;
        ::setrlimit(RLIMIT_NOFILE, &original_);
    }
    static int port() { return daemon_->port(); }
    static pid_t pid() { return daemon_->process().pid(); }

    static ModuleDaemon* daemon_;
    static rlimit original_;
};

ModuleDaemon* HostileInput::daemon_ = nullptr;
rlimit HostileInput::original_ {};

// --- Hostile names ---------------------------------------------------------

const std::vector<std::string>& hostileNames()
{
    static const std::vector<std::string> names { "../escape", "../../../../../tmp/rs-hostile-escape",
        "a/../../b", "..", "a|b", "|", "a\nb", "\n", std::string("a\0b", 3), std::string(1, '\0') };
    return names;
}

// A request with one argument replaced: `arguments` holds the valid values,
// the request sends them with the one at `hostile` swapped for `name`.
struct NamedRequest {
    std::string operation;
    std::vector<std::string> arguments;
    std::function<int32_t(rsclient::Client&, const std::vector<std::string>&)> send;
    // A status report for a package and host without a deployment entry is
    // ignored (answered with success, nothing stored).
    bool ignoresUnknownNames = false;
};

std::vector<NamedRequest> repositoryRequests()
{
    return {
        { "addModule", { kModule, "good.bin" },
            [](rsclient::Client& c, const std::vector<std::string>& a) {
                auto piece = rpc::makeBlock("hostile");
                return c.call<IRepository::addModule_Call>(kAnswerWait, a[0], a[1], piece.get(), 1).code();
            } },
        { "removeModule", { kModule },
            [](rsclient::Client& c, const std::vector<std::string>& a) {
                return c.call<IRepository::removeModule_Call>(kAnswerWait, a[0]).code();
            } },
        { "getModule", { kModule, "1", kKnownConsumer },
            [](rsclient::Client& c, const std::vector<std::string>& a) {
                return c.call<IRepository::getModule_Call>(kAnswerWait, a[0], a[1], a[2]).code();
            } },
        // The application name is an index field, not a path: the module test covers it.
        { "linkModuleApplication", { kModule },
            [](rsclient::Client& c, const std::vector<std::string>& a) {
                return c
                    .call<IRepository::linkModuleApplication_Call>(kAnswerWait, std::string("app"), a[0], 1)
                    .code();
            } },
    };
}

std::vector<NamedRequest> deploymentRequests()
{
    return {
        { "addPackage", { kPackage, "", "goodpkg.bin" },
            [](rsclient::Client& c, const std::vector<std::string>& a) {
                auto data = rpc::makeBlock("hostile");
                return c.call<IAppDeployment::addPackage_Call>(kAnswerWait, a[0], a[1], a[2], data.get(), 1)
                    .code();
            } },
        { "removePackage", { kPackage, "" },
            [](rsclient::Client& c, const std::vector<std::string>& a) {
                return c.call<IAppDeployment::removePackage_Call>(kAnswerWait, a[0], a[1]).code();
            } },
        { "installPackage", { kPackage, "", kHost },
            [](rsclient::Client& c, const std::vector<std::string>& a) {
                return c.call<IAppDeployment::installPackage_Call>(kAnswerWait, a[0], a[1], a[2]).code();
            } },
        { "installPackageRecheck", { kPackage, "", kHost },
            [](rsclient::Client& c, const std::vector<std::string>& a) {
                return c.call<IAppDeployment::installPackageRecheck_Call>(kAnswerWait, a[0], a[1], a[2])
                    .code();
            } },
        { "uninstallPackage", { kPackage, "", kHost },
            [](rsclient::Client& c, const std::vector<std::string>& a) {
                return c.call<IAppDeployment::uninstallPackage_Call>(kAnswerWait, a[0], a[1], a[2]).code();
            } },
        { "cancelPackage", { kPackage },
            [](rsclient::Client& c, const std::vector<std::string>& a) {
                return c.call<IAppDeployment::cancelPackage_Call>(kAnswerWait, a[0]).code();
            } },
        { "getPackage", { kPackage, "" },
            [](rsclient::Client& c, const std::vector<std::string>& a) {
                return c.call<IAppDeployment::getPackage_Call>(kAnswerWait, a[0], a[1], "").code();
            } },
        { "setPackageStatus", { kPackage, kHost },
            [](rsclient::Client& c, const std::vector<std::string>& a) {
                kav::KavErrorInfo none;
                return c.call<IAppDeployment::setPackageStatus_Call>(kAnswerWait, &none, a[0], a[1], 5)
                    .code();
            },
            true },
        { "getPackageStatus", { kPackage },
            [](rsclient::Client& c, const std::vector<std::string>& a) {
                return c.call<IAppDeployment::getPackageStatus_Call>(kAnswerWait, a[0], 0).code();
            } },
    };
}

std::string printable(const std::string& name)
{
    std::string shown;
    for (char c : name)
        shown += c == '\n' ? std::string("\\n") : c == '\0' ? std::string("\\0") : std::string(1, c);
    return shown;
}

void expectEveryHostileNameRefused(rsclient::Client& client, const std::vector<NamedRequest>& requests)
{
    for (const NamedRequest& request : requests)
        for (size_t position = 0; position < request.arguments.size(); ++position)
            for (const std::string& name : hostileNames()) {
                std::vector<std::string> arguments = request.arguments;
                arguments[position] = name;
                int32_t code = request.send(client, arguments);
                if (request.ignoresUnknownNames && code == 0)
                    continue;
                EXPECT_LT(code, 0) << request.operation << " argument " << position << " \""
                                   << printable(name) << "\"";
                EXPECT_NE(code, rsclient::kTimedOut);
            }
}

// The names of everything below a directory, recursively.
std::set<std::string> treeOf(const fs::path& root)
{
    std::set<std::string> names;
    for (auto& entry : fs::recursive_directory_iterator(root))
        names.insert(fs::relative(entry.path(), root).string());
    return names;
}

// Every index line has its fields; returns the number of indexes read.
int expectIndexesWhole(const fs::path& storage)
{
    int indexes = 0;
    for (auto& entry : fs::recursive_directory_iterator(storage)) {
        if (entry.path().filename() != ".index")
            continue;
        ++indexes;
        std::ifstream in(entry.path());
        for (std::string line; std::getline(in, line);) {
            EXPECT_GE(std::count(line.begin(), line.end(), '|'), 7) << entry.path() << ": " << line;
        }
    }
    return indexes;
}

// No file of the repository (indexes, persisted state, modules) holds one
// of the hostile names.
void expectNoHostileNameStored(const fs::path& storage)
{
    for (auto& entry : fs::recursive_directory_iterator(storage)) {
        if (!entry.is_regular_file())
            continue;
        std::ifstream in(entry.path(), std::ios::binary);
        std::stringstream text;
        text << in.rdbuf();
        for (const char* marker : { "escape", "a|b", "a\nb", "a/../../b" })
            EXPECT_EQ(text.str().find(marker), std::string::npos)
                << entry.path() << " holds " << printable(marker);
    }
}

TEST_F(HostileInput, NamesThatLeaveTheRepositoryOrBreakItsLinesAreRefusedEverywhere)
{
    const fs::path root = daemon_->cluster().root();
    const auto storageBefore = treeOf(daemon_->storageDir());
    std::set<std::string> outsideBefore;
    for (auto& entry : fs::directory_iterator(root))
        outsideBefore.insert(entry.path().filename().string());

    auto repository = loggedOnClient(port(), kRepository);
    ASSERT_TRUE(repository);
    expectEveryHostileNameRefused(*repository, repositoryRequests());
    auto deployment = loggedOnClient(port(), kDeployment);
    ASSERT_TRUE(deployment);
    expectEveryHostileNameRefused(*deployment, deploymentRequests());

    std::set<std::string> outsideAfter;
    for (auto& entry : fs::directory_iterator(root))
        outsideAfter.insert(entry.path().filename().string());
    EXPECT_EQ(outsideAfter, outsideBefore);
    EXPECT_FALSE(fs::exists("/tmp/rs-hostile-escape"));
    for (const std::string& name : treeOf(daemon_->storageDir()))
        if (!storageBefore.count(name)) {
            EXPECT_EQ(name.find_first_of("|\n"), std::string::npos) << printable(name);
        }
    EXPECT_GE(expectIndexesWhole(daemon_->storageDir()), 1);
    expectNoHostileNameStored(daemon_->storageDir());

    // The valid module and package are untouched and still served.
    auto modules = ModuleSession::open(port(), kAdminUser, kAdminPassword, kKnownConsumer);
    ASSERT_TRUE(modules);
    GetResult got = modules->get(kModule, "1", kKnownConsumer);
    ASSERT_EQ(got.code, 0);
    EXPECT_EQ(got.contents, "good contents");
    auto package = deployment->call<IAppDeployment::getPackage_Call>(kAnswerWait, kPackage, "", "");
    ASSERT_EQ(package.code(), 0);
    EXPECT_EQ(rpc::blockText(package->moduleData()), "package bytes");
}

// A refused upload named "a\nb" must not write a record broken over two
// lines, the second of which would read like a record of its own.
TEST_F(HostileInput, RefusedNamesWithLineBreaksKeepOneAuditLinePerRecord)
{
    auto modules = ModuleSession::open(port(), kAdminUser, kAdminPassword, kKnownConsumer);
    ASSERT_TRUE(modules);
    EXPECT_LT(modules->addPiece("a\nforged record", "f.bin", "x", 1).code, 0);
    EXPECT_LT(modules->remove("b\nforged record"), 0);
    const std::regex auditLine(R"(^\d{4}-\d\d-\d\d \d\d:\d\d:\d\d\.\d{3} \S+ .+)");
    for (const std::string& line : daemon_->auditLines())
        EXPECT_TRUE(std::regex_match(line, auditLine)) << printable(line);
}

// --- Deploy states outside the table -------------------------------------------

// A deploy command that reports a state the table does not name and then
// goes away leaves a connection-lost report behind; the daemon records it
// and serves on.
TEST_F(HostileInput, AStateOutsideTheTableThenAClosedSocketLeavesTheServiceServing)
{
    for (int32_t state : { 42, 11, -1 }) {
        SCOPED_TRACE(state);
        const std::string host = "lost-" + std::to_string(state);
        auto reporter = loggedOnClient(port(), kDeployment);
        ASSERT_TRUE(reporter);
        kav::KavErrorInfo success;
        ASSERT_EQ(reporter
                      ->call<IAppDeployment::setPackageStatus_Call>(
                          kAnswerWait, &success, std::string(kPackage), host, state)
                      .code(),
            0);
        reporter.reset();

        // The daemon tells of the lost deploy command once it has handled the close.
        const std::string lost
            = "Deploy command lost for package: " + std::string(kPackage) + " host: " + host;
        // Between looks the test waits on the daemon's exit, so a daemon
        // that ends is noticed at once.
        for (int looks = 0; looks < 30 && daemon_->cluster().logText().find(lost) == std::string::npos;
             ++looks)
            if (daemon_->process().waitForExit(std::chrono::seconds(1)))
                break;
        EXPECT_NE(daemon_->cluster().logText().find(lost), std::string::npos);
        ASSERT_TRUE(serves(port(), kDeployment));
    }
}

// --- Lengths claiming 4 GiB ----------------------------------------------------

TEST_F(HostileInput, StringAndBlockLengthsClaimingFourGiBAreRefusedWithoutAllocating)
{
    const long before = residentKiB(pid());
    // Each message with whether a logon must come first.
    std::vector<std::pair<bool, std::string>> messages;
    {
        const std::string credential = kAdminCredential;
        std::string payload = payloadOf(IRepository::logon_Call(credential, std::string(kKnownConsumer)));
        ASSERT_TRUE(claimFourGiB(payload, static_cast<uint32_t>(credential.size() + 1)));
        messages.emplace_back(false, messageOf("IRepository::logon", payload));
    }
    {
        const std::string data(1000, 'd');
        auto block = rpc::makeBlock(data);
        std::string payload = payloadOf(
            IRepository::addModule_Call(std::string("m4g"), std::string("m.bin"), block.get(), 1));
        std::string nameClaim = payload, blockClaim = payload;
        ASSERT_TRUE(claimFourGiB(nameClaim, 4));
        ASSERT_TRUE(claimFourGiB(blockClaim, static_cast<uint32_t>(data.size()), 8));
        messages.emplace_back(true, messageOf("IRepository::addModule", nameClaim));
        messages.emplace_back(true, messageOf("IRepository::addModule", blockClaim));
    }
    for (const auto& [needsLogon, message] : messages) {
        WireClient client;
        ASSERT_TRUE(client.connect(port(), kRepository));
        if (needsLogon) {
            ASSERT_EQ(logon(client, kRepository, kAdminCredential, kKnownConsumer).code, 0);
        }
        ASSERT_TRUE(client.sendRaw(message));
        // Either a malformed-request answer or the end of the connection;
        // the next request on a surviving connection is still answered.
        if (!client.closedByPeer(std::chrono::seconds(2))) {
            VersionAnswer version = getVersion(client, kRepository);
            EXPECT_TRUE(version.answered);
        }
    }
    EXPECT_TRUE(serves(port()));
    EXPECT_LT(residentKiB(pid()) - before, 64 * 1024) << "KiB grown";
}

// --- Many connections ----------------------------------------------------------

TEST_F(HostileInput, FiveThousandConnectionsAtOnceLeaveTheServiceServing)
{
    // What the connections cost, not the daemon's own footprint, which a
    // sanitizer build multiplies.
    const long before = residentKiB(pid());
    std::vector<std::unique_ptr<WireClient>> clients;
    for (int i = 0; i < 5000; ++i) {
        auto client = std::make_unique<WireClient>();
        ASSERT_TRUE(client->open(port())) << i;
        if (i % 2 == 1) {
            ASSERT_TRUE(client->handshake(i % 4 == 1 ? kRepository : kDeployment)) << i;
        }
        clients.push_back(std::move(client));
    }
    EXPECT_TRUE(serves(port()));
    EXPECT_TRUE(serves(port(), kDeployment));
    const long grown = residentKiB(pid()) - before;
    EXPECT_LT(grown, 512 * 1024) << "KiB grown with 5000 connections (from " << before << ")";
    clients.clear();
    EXPECT_TRUE(serves(port()));
}

// The driver sizes its epoll reactor by the soft limit it finds: a daemon
// started with a low one must lift it, or connections above it are accepted
// but never read.
TEST(DescriptorLimit, ADaemonStartedWithALowSoftLimitServesBeyondIt)
{
    rlimit original {};
    ASSERT_EQ(::getrlimit(RLIMIT_NOFILE, &original), 0);
    rlimit low = original;
    low.rlim_cur = std::min<rlim_t>(1024, original.rlim_max);
    ASSERT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    ServingDaemon daemon;
    const bool started = daemon.start();
    rlimit high = original;
    high.rlim_cur = high.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &high);
    ASSERT_TRUE(started) << daemon.failure;

    const auto [soft, hard] = openFileLimits(daemon.process.pid());
    EXPECT_EQ(soft, hard);
    std::vector<std::unique_ptr<WireClient>> clients;
    for (int i = 0; i < 1500; ++i) {
        clients.push_back(std::make_unique<WireClient>());
        ASSERT_TRUE(clients.back()->open(daemon.port)) << i;
    }
    EXPECT_TRUE(serves(daemon.port));
    clients.clear();
    EXPECT_EQ(daemon.process.stop(), 0);
    ::setrlimit(RLIMIT_NOFILE, &original);
}

// --- Slow readers ------------------------------------------------------------------

TEST_F(HostileInput, ReadersThatDoNotReadABigModuleHoldNobodyElseUp)
{
    constexpr size_t kBigSize = 32 * 1024 * 1024;
    const std::string big = patternBytes(kBigSize, 99);
    auto modules = ModuleSession::open(port(), kAdminUser, kAdminPassword, kKnownConsumer);
    ASSERT_TRUE(modules);
    AddResult added = modules->upload("big", "big.bin", big, 4 * 1024 * 1024);
    ASSERT_EQ(added.code, 0);
    const long before = residentKiB(pid());

    std::vector<std::unique_ptr<WireClient>> stalled;
    for (int i = 0; i < 4; ++i) {
        auto client = std::make_unique<WireClient>();
        ASSERT_TRUE(client->connect(port(), kRepository));
        ASSERT_EQ(logon(*client, kRepository, kAdminCredential, kKnownConsumer).code, 0);
        ASSERT_TRUE(client->send(kRepository,
            IRepository::getModule_Call(std::string("big"), added.version, std::string(kKnownConsumer))));
        stalled.push_back(std::move(client));
    }
    // Nobody reads those answers; everybody else is still served, the big
    // module included.
    for (int i = 0; i < 3; ++i) {
        GetResult got = modules->get("big", added.version, kKnownConsumer);
        ASSERT_EQ(got.code, 0);
        EXPECT_EQ(got.contents.size(), kBigSize);
        EXPECT_TRUE(got.contents == big);
    }
    EXPECT_TRUE(serves(port()));
    // At most each stalled answer once (plus the cached file) while they wait.
    EXPECT_LT(residentKiB(pid()) - before, long(6 * kBigSize / 1024) + 64 * 1024) << "KiB grown";

    // A late reader still gets the whole answer.
    IRepositoryResp::getModuleResp_Call answer(zephCDRMarshal::prototype);
    ASSERT_TRUE(stalled.front()->receive("IRepositoryResp", answer));
    ASSERT_TRUE(answer.error());
    EXPECT_EQ(answer.error()->getCode(), 0);
    EXPECT_TRUE(rpc::blockText(answer.moduleData()) == big);
    stalled.clear();
    EXPECT_TRUE(serves(port()));
}

// --- Byte by byte -----------------------------------------------------------------

TEST_F(HostileInput, AMessageArrivingByteByByteHoldsNobodyElseUp)
{
    WireClient slow;
    ASSERT_TRUE(slow.connect(port(), kRepository));
    const std::string message = messageOf("IRepository::logon",
        payloadOf(IRepository::logon_Call(kAdminCredential, std::string(kKnownConsumer))));
    // Header and half the payload one byte at a time, each byte a write of
    // its own; the message stays incomplete while others are served.
    const size_t half = wire::kHeaderSize + (message.size() - wire::kHeaderSize) / 2;
    for (size_t i = 0; i < half; ++i) {
        ASSERT_TRUE(slow.sendRaw(message.substr(i, 1))) << i;
        if (i % 8 == 0) {
            ASSERT_TRUE(serves(port())) << "while " << i << " bytes of a message are in";
        }
    }
    for (size_t i = half; i < message.size(); ++i) {
        ASSERT_TRUE(slow.sendRaw(message.substr(i, 1))) << i;
    }
    IRepositoryResp::logonResp_Call answer(zephCDRMarshal::prototype);
    ASSERT_TRUE(slow.receive("IRepositoryResp", answer));
    ASSERT_TRUE(answer.error());
    EXPECT_EQ(answer.error()->getCode(), 0);
    EXPECT_EQ(*answer.responseUser(), kAdminUser);
}

} // namespace
} // namespace rs::e2e
