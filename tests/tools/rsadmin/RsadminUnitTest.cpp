// rsadmin without a service: pieces, what the operator sees, where the
// server, consumer and password come from, the command line's messages and
// exit statuses, and the password-file commands.
#include "tools/rsadmin/AdminCommands.h"
#include "tools/rsadmin/AdminTestIo.h"
#include "tools/rsadmin/Render.h"
#include "tools/rsadmin/ServiceSession.h"

#include "platform/wardn/PasswordFile.h"
#include "rs/i18n/NarvI18n.h"
#include "support/ScratchDir.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <regex>

namespace rsadmin {
namespace {

using test::AdminRunner;

// The resource manager's library reads its cluster description once per
// process, at its first call: in this process there is none it can read,
// as on an operator's machine without the service's cluster file.
class NoClusterFile : public ::testing::Environment {
public:
    void SetUp() override { ::setenv("ZOR_CLUSTER_FILE", "/nonexistent/rsadmin-test/cluster.toml", 1); }
};
const auto* const kNoClusterFile = ::testing::AddGlobalTestEnvironment(new NoClusterFile);

using rs::test::readFile;
using rs::test::writeFile;

TEST(PiecesTest, SentPiecesReassembleTheFileInOrder)
{
    rs::test::ScratchDir dir;
    std::string bytes(1000, '\0');
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<char>(i * 7);
    writeFile(dir.file("data.bin"), bytes);
    writeFile(dir.file("empty"), "");
    struct Row {
        const char* file;
        uint64_t pieceSize;
        size_t pieces;
    };
    for (const Row& row :
        { Row { "data.bin", 7, 143 }, Row { "data.bin", 1000, 1 }, Row { "empty", 16, 1 } }) {
        SCOPED_TRACE(std::string(row.file) + " in pieces of " + std::to_string(row.pieceSize));
        std::string joined;
        std::vector<int32_t> flags;
        std::ostringstream err;
        sendFileInPieces(
            dir.file(row.file), row.pieceSize, {}, err, false, [&](std::string_view piece, int32_t flag) {
                EXPECT_LE(piece.size(), row.pieceSize);
                joined += piece;
                flags.push_back(flag);
            });
        EXPECT_EQ(joined, readFile(dir.file(row.file)));
        ASSERT_EQ(flags.size(), row.pieces);
        EXPECT_EQ(flags.back(), kLastPiece);
        if (flags.size() > 1) {
            EXPECT_EQ(flags.front(), kFirstPiece);
        }
        EXPECT_TRUE(err.str().empty()) << "no progress bar when stderr is no terminal";
    }
    std::ostringstream err;
    bool sent = false;
    try {
        sendFileInPieces(
            "/nonexistent/file", 16, {}, err, false, [&](std::string_view, int32_t) { sent = true; });
        ADD_FAILURE() << "a missing file is sent";
    } catch (const AdminFailure& failure) {
        EXPECT_EQ(failure.status(), kExitUsage);
    }
    EXPECT_FALSE(sent);
}

TEST(PiecesTest, FileThatCouldNotBeFetchedAgainIsRefusedBeforeAnythingIsSent)
{
    kav::NarvI18n::instance().init();
    const TransferLimit limit { 50, 60, 1000 };
    EXPECT_NO_THROW(limit.requireFetchable("small.zip", 900));
    try {
        limit.requireFetchable("large.zip", 1000);
        ADD_FAILURE() << "a file that fills a message alone is refused";
    } catch (const AdminFailure& failure) {
        EXPECT_EQ(failure.status(), kExitUsage);
        EXPECT_EQ(failure.code(), static_cast<int32_t>(0xD0014C62u));
        const std::string text = failure.what();
        for (const char* named : { "0xD0014C62", "large.zip", "ZEPHCOMM_MAX_MESSAGE_SIZE" })
            EXPECT_NE(text.find(named), std::string::npos) << named << " in: " << text;
    }
    EXPECT_LE(limit.pieceSize(1u << 30) + 50, 1000u) << "a piece fits into one request";
}

rs::DplStatusList reading(std::vector<rs::DplStatusEntry> entries)
{
    rs::DplStatusList list;
    list.entries = std::move(entries);
    return list;
}

// Tables and watches: aligned columns, and a piped watch prints one table
// then only the changes, until every host is final.
TEST(RenderTest, TablesAndWatches)
{
    Table table({ "HOST", "STATE" });
    table.add({ "a-very-long-host", "INSTALLED" });
    table.add({ "h2", "" });
    std::ostringstream out;
    table.print(out);
    EXPECT_EQ(out.str(),
        "HOST              STATE\n"
        "a-very-long-host  INSTALLED\n"
        "h2\n");

    std::ostringstream watch;
    WatchDisplay display(watch, false, "hello");
    display.show(std::nullopt);
    display.show(std::nullopt);
    display.show(reading({ { "node1", rs::HOST_WAITING, "" }, { "node2", rs::HOST_ALLOCATING, "" } }));
    display.show(reading({ { "node1", rs::HOST_WAITING, "" }, { "node2", rs::HOST_ALLOCATING, "" } }));
    display.show(reading({ { "node1", rs::HOST_INSTALLED, "" }, { "node2", rs::HOST_ERROR, "disk full" } }));
    EXPECT_EQ(watch.str(),
        "hello has no deployment state yet: waiting for a run to register its hosts.\n"
        "HOST   STATE       MESSAGE\n"
        "node1  WAITING\n"
        "node2  ALLOCATING\n"
        "node1  WAITING -> INSTALLED\n"
        "node2  ALLOCATING -> ERROR: disk full\n");
    EXPECT_FALSE(allFinal(reading({ { "h1", rs::HOST_INSTALLED, "" }, { "h2", rs::HOST_RUNNING, "" } })));
    // A value outside the table is final: nothing moves a host on from it.
    EXPECT_TRUE(allFinal(reading({ { "h1", rs::HOST_CANCELLED, "" }, { "h2", 99, "" } })));
}

// Standard streams in memory and an environment of `env` only.
class ConfigurationTest : public ::testing::Test {
protected:
    ConfigurationTest()
    {
        io.getenv = [this](const std::string& name) -> std::optional<std::string> {
            auto found = env.find(name);
            return found == env.end() ? std::nullopt : std::optional<std::string>(found->second);
        };
    }

    std::istringstream in { "typed\n" };
    std::ostringstream out, err;
    std::map<std::string, std::string> env;
    AdminIo io { in, out, err };
};

TEST_F(ConfigurationTest, ServerComesFromOptionThenEnvironmentThenRegistry)
{
    std::string registered;
    RegistryLookup lookup
        = [&registered](const std::string& name) { return name == kRegisteredName ? registered : ""; };
    GlobalOptions options;
    EXPECT_THROW(resolveServer(options, io, lookup), AdminFailure);
    registered = "reg-host:1";
    EXPECT_EQ(resolveServer(options, io, lookup), "reg-host:1");
    env[kServerVariable] = "env-host:2";
    EXPECT_EQ(resolveServer(options, io, lookup), "env-host:2");
    // What is not HOST:PORT with a port from 1 to 65535 is refused, wherever it comes from.
    for (const char* malformed : { "env-host", "env-host:0", "env-host:65536" }) {
        env[kServerVariable] = malformed;
        EXPECT_THROW(resolveServer(options, io, lookup), AdminFailure) << malformed;
    }
    options.server = "opt-host:3";
    EXPECT_EQ(resolveServer(options, io, lookup), "opt-host:3");
}

TEST_F(ConfigurationTest, PasswordComesFromFileThenEnvironmentAndNeverFromNowhere)
{
    rs::test::ScratchDir dir;
    GlobalOptions options;
    try {
        obtainPassword(options, io, "admin");
        FAIL() << "a password from a non-terminal standard input";
    } catch (const AdminFailure& failure) {
        EXPECT_EQ(failure.status(), kExitUsage);
    }
    env[kPasswordVariable] = "from-env";
    EXPECT_EQ(obtainPassword(options, io, "admin"), "from-env");
    writeFile(dir.file("pw"), "from-file\r\nsecond line\n");
    options.passwordFile = dir.file("pw");
    EXPECT_EQ(obtainPassword(options, io, "admin"), "from-file");
    io.inIsTerminal = true;
    options.passwordFile.clear();
    env.clear();
    EXPECT_EQ(obtainPassword(options, io, "admin"), "typed");
    EXPECT_EQ(err.str().find("typed"), std::string::npos) << "the prompt never echoes the password";
}

int closedPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof addr;
    ::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length);
    ::close(fd); // bound, never listened on, closed: nothing accepts there
    return ntohs(addr.sin_port);
}

bool contains(const std::string& text, const std::string& pattern)
{
    return std::regex_search(text, std::regex(pattern));
}

// One command line and what the operator sees: the exit status and a
// pattern of standard error and of standard output ("" matches anything).
// "CLOSED" in an argument stands for the address of a port nothing accepts on.
struct CommandLineCase {
    std::vector<std::string> args;
    int status;
    std::string err;
    std::string out = "";
};

TEST(CommandLineTest, MessagesAndExitStatuses)
{
    const std::string closed = "127.0.0.1:" + std::to_string(closedPort());
    const CommandLineCase cases[] = {
        { { "--version" }, kExitOk, "^$", "^rsadmin [0-9]+\\.[0-9]+\\.[0-9]+\n$" },
        { {}, kExitUsage, "^rsadmin: rsadmin needs a command: version, shutdown, module, package" },
        { { "module", "lst" }, kExitUsage,
            "'lst' is not a command of rsadmin module; did you mean 'list'\\?" },
        { { "--password", "x", "version" }, kExitUsage, "'--password' is not an option.*'--password-file'" },
        { { "package", "install", "p" }, kExitUsage, "^rsadmin: --group is required" },
        { { "--timeout", "abc", "version" }, kExitUsage,
            "^rsadmin: --timeout: 'abc' is not a number of seconds" },
        { { "version" }, kExitUsage, "--server" },
        { { "--server", "localhost", "version" }, kExitUsage,
            "^rsadmin: --server 'localhost' is not HOST:PORT" },
        { { "--server", "CLOSED", "module", "list" }, kExitUsage, "--user" },
        { { "--server", "CLOSED", "package", "status", "p", "--state", "99999999999" }, kExitUsage,
            "99999999999" },
        { { "--json", "module", "get", "m", "-o", "-" }, kExitUsage, "-o - and --json" },
        { { "--server", "CLOSED", "--user", "u", "--timeout", "5", "module", "list" }, kExitNoConnection,
            "^rsadmin: warning: no consumer given .*global module index\n.*CLOSED: Connection refused" },
        { { "--server", "no-such-host.invalid:7869", "version" }, kExitNoConnection,
            "the host name no-such-host.invalid cannot be resolved" },
        { { "cluster", "groups" }, kExitNoConnection,
            "^rsadmin: no resource manager can be reached: .*ZOR_CLUSTER_FILE" },
    };
    for (const auto& row : cases) {
        std::vector<std::string> args;
        for (const auto& arg : row.args)
            args.push_back(arg == "CLOSED" ? closed : arg);
        const std::string err = std::regex_replace(row.err, std::regex("CLOSED"), closed);
        AdminRunner runner;
        runner.env[kPasswordVariable] = "never-shown";
        auto run = runner.run(args);
        SCOPED_TRACE(::testing::PrintToString(args));
        EXPECT_EQ(run.status, row.status) << run.err;
        EXPECT_TRUE(contains(run.err, err)) << run.err;
        EXPECT_TRUE(contains(run.out, row.out)) << run.out;
        EXPECT_FALSE(contains(run.err, "[0-9]{20}")) << "no range of the largest numbers: " << run.err;
        EXPECT_FALSE(contains(run.err, "error -[0-9]")) << "causes in words: " << run.err;
        EXPECT_EQ(run.err.find("never-shown"), std::string::npos);
        if (row.status == kExitOk)
            continue;
        // Scripts read every failure as one document on standard output.
        if (std::find(args.begin(), args.end(), "--json") == args.end())
            args.insert(args.begin(), "--json");
        auto json = runner.run(args);
        EXPECT_EQ(json.status, row.status) << json.err;
        try {
            const auto answer = nlohmann::json::parse(json.out);
            EXPECT_EQ(answer["ok"], false);
            EXPECT_EQ(answer["exitStatus"], row.status);
            EXPECT_NE(json.err.find(answer["message"].get<std::string>()), std::string::npos)
                << "the document carries the message of standard error: " << json.out;
            EXPECT_FALSE(answer.contains("code")) << "no service code when the service did not answer";
        } catch (const nlohmann::json::exception&) {
            ADD_FAILURE() << "not JSON: " << json.out;
        }
    }
}

TEST(UserCommandTest, AddThenChangeAndRefuseTheWrongOne)
{
    rs::test::ScratchDir dir;
    const std::string file = dir.file("passwd");
    AdminRunner runner;
    runner.input = "first-Pass1\n";
    ASSERT_EQ(runner.run({ "user", "add", "alice", "--file", file }).status, kExitOk);
    EXPECT_TRUE(wardn::verifyPassword("first-Pass1", wardn::parseAccounts(readFile(file)).at("alice")));
    EXPECT_EQ(readFile(file).find("first-Pass1"), std::string::npos);

    auto again = runner.run({ "user", "add", "alice", "--file", file });
    EXPECT_EQ(again.status, kExitUsage);
    EXPECT_NE(again.err.find("user passwd"), std::string::npos) << again.err;

    runner.input = "second-Pass2\n";
    ASSERT_EQ(runner.run({ "user", "passwd", "alice", "--file", file }).status, kExitOk);
    EXPECT_TRUE(wardn::verifyPassword("second-Pass2", wardn::parseAccounts(readFile(file)).at("alice")));

    auto unknown = runner.run({ "user", "passwd", "bob", "--file", file });
    EXPECT_EQ(unknown.status, kExitUsage);
    EXPECT_NE(unknown.err.find("user add"), std::string::npos) << unknown.err;
}

} // namespace
} // namespace rsadmin
