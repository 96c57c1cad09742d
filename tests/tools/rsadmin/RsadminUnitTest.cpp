// rsadmin without a service: pieces, progress, tables, watch output,
// configuration look-up, password sources, the command line's messages and
// exit statuses, and the password-file commands.
#include "tools/rsadmin/AdminCommands.h"
#include "tools/rsadmin/AdminTestIo.h"
#include "tools/rsadmin/Render.h"
#include "tools/rsadmin/ServiceSession.h"

#include "platform/wardn/PasswordFile.h"
#include "rs/i18n/ErrorLine.h"
#include "rs/i18n/NarvI18n.h"

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <regex>

namespace rsadmin {
namespace {

namespace fs = std::filesystem;
using test::AdminRunner;

// The resource manager's library reads its cluster description once per
// process, at its first call: in this process there is none it can read,
// as on an operator's machine without the service's cluster file.
class NoClusterFile : public ::testing::Environment {
public:
    void SetUp() override { ::setenv("ZOR_CLUSTER_FILE", "/nonexistent/rsadmin-test/cluster.toml", 1); }
};
const auto* const kNoClusterFile = ::testing::AddGlobalTestEnvironment(new NoClusterFile);

class TempDir {
public:
    TempDir()
    {
        std::string pattern = (fs::temp_directory_path() / "rsadmin-XXXXXX").string();
        path_ = ::mkdtemp(pattern.data());
    }
    ~TempDir() { fs::remove_all(path_); }
    fs::path operator/(const std::string& name) const { return path_ / name; }

private:
    fs::path path_;
};

void writeFile(const fs::path& path, const std::string& text)
{
    std::ofstream(path, std::ios::binary) << text;
}

std::string readFile(const fs::path& path)
{
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

std::string randomBytes(size_t size)
{
    std::mt19937 generator(42);
    std::string bytes(size, '\0');
    for (char& c : bytes)
        c = static_cast<char>(generator() & 0xFF);
    return bytes;
}

// --- pieces and transfers ------------------------------------------------

TEST(PiecesTest, SentPiecesReassembleTheFileInOrder)
{
    TempDir dir;
    const std::string bytes = randomBytes(1000);
    writeFile(dir / "data.bin", bytes);
    for (uint64_t pieceSize : { uint64_t(1), uint64_t(7), uint64_t(999), uint64_t(1000), UINT64_MAX }) {
        std::string joined;
        std::vector<int32_t> flags;
        std::ostringstream err;
        const uint64_t size = sendFileInPieces((dir / "data.bin").string(), pieceSize, {}, err, false,
            [&](std::string_view piece, int32_t flag) {
                EXPECT_LE(piece.size(), pieceSize);
                joined += piece;
                flags.push_back(flag);
            });
        EXPECT_EQ(size, bytes.size());
        EXPECT_EQ(joined, bytes) << "piece size " << pieceSize;
        ASSERT_EQ(flags.size(), pieceCount(bytes.size(), pieceSize));
        EXPECT_EQ(flags.back(), kLastPiece);
        if (flags.size() > 1) {
            EXPECT_EQ(flags.front(), kFirstPiece);
        }
        EXPECT_TRUE(err.str().empty()) << "no progress bar when stderr is no terminal";
    }
}

TEST(PiecesTest, EmptyFileIsOneEmptyLastPiece)
{
    TempDir dir;
    writeFile(dir / "empty", "");
    std::vector<std::pair<std::string, int32_t>> sent;
    std::ostringstream err;
    sendFileInPieces((dir / "empty").string(), 16, {}, err, false,
        [&](std::string_view piece, int32_t flag) { sent.emplace_back(std::string(piece), flag); });
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].first, "");
    EXPECT_EQ(sent[0].second, kLastPiece);
}

TEST(PiecesTest, MissingFileIsAUsageFailureAndSendsNothing)
{
    std::ostringstream err;
    bool sent = false;
    try {
        sendFileInPieces(
            "/nonexistent/file", 16, {}, err, false, [&](std::string_view, int32_t) { sent = true; });
        FAIL() << "no failure";
    } catch (const AdminFailure& failure) {
        EXPECT_EQ(failure.status(), kExitUsage);
        EXPECT_NE(std::string(failure.what()).find("/nonexistent/file"), std::string::npos);
    }
    EXPECT_FALSE(sent);
}

TEST(PiecesTest, DownloadIsWrittenCompletely)
{
    TempDir dir;
    const std::string bytes = randomBytes(333);
    std::ostringstream err;
    writeFileInPieces((dir / "out.bin").string(), bytes, 10, err, false);
    EXPECT_EQ(readFile(dir / "out.bin"), bytes);
    EXPECT_THROW(
        writeFileInPieces((dir / "no-dir" / "out.bin").string(), bytes, 10, err, false), AdminFailure);
}

// --- progress -------------------------------------------------------------

TEST(ProgressTest, LineShowsShareRateAndTimeLeft)
{
    const std::string half = renderProgress(512 * 1024, 1024 * 1024, std::chrono::seconds(2));
    EXPECT_NE(half.find(" 50%"), std::string::npos) << half;
    EXPECT_NE(half.find("256.0 KiB/s"), std::string::npos) << half;
    EXPECT_NE(half.find("0:02 left"), std::string::npos) << half;
    EXPECT_NE(half.find("512.0 KiB / 1.0 MiB"), std::string::npos) << half;
    const std::string start = renderProgress(0, 100, std::chrono::seconds(0));
    EXPECT_NE(start.find("  0%"), std::string::npos) << start;
    EXPECT_NE(start.find("--:-- left"), std::string::npos) << start;
    EXPECT_NE(renderProgress(0, 0, std::chrono::seconds(1)).find("100%"), std::string::npos);
}

TEST(ProgressTest, BarIsRedrawnInPlaceOnlyWhenEnabled)
{
    auto now = std::chrono::steady_clock::time_point {};
    ProgressBar::Clock clock = [&now] { return now; };
    std::ostringstream shown, hidden;
    ProgressBar bar(shown, true, 100, clock);
    ProgressBar quiet(hidden, false, 100, clock);
    now += std::chrono::seconds(1);
    bar.update(50);
    quiet.update(50);
    now += std::chrono::seconds(1);
    bar.update(100);
    bar.finish();
    quiet.finish();
    EXPECT_EQ(hidden.str(), "");
    const std::string text = shown.str();
    EXPECT_EQ(std::count(text.begin(), text.end(), '\r'), 2);
    EXPECT_NE(text.find("100%"), std::string::npos);
    EXPECT_EQ(text.back(), '\n');
}

// --- tables and states ----------------------------------------------------

TEST(RenderTest, TableColumnsAlignWithoutTrailingBlanks)
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
}

TEST(RenderTest, FinalStatesEndTheWatch)
{
    rs::DplStatusList list;
    list.entries = { { "h1", rs::HOST_INSTALLED, "" }, { "h2", rs::HOST_RUNNING, "" } };
    EXPECT_FALSE(allFinal(list));
    list.entries[1].state = rs::HOST_ERROR;
    EXPECT_TRUE(allFinal(list));
    // A value outside the table is final too: nothing moves a host on from it.
    for (uint32_t state : { uint32_t(rs::HOST_UNINSTALLED), uint32_t(rs::HOST_CANCELLED), 99u })
        EXPECT_TRUE(isFinalState(state)) << state;
    for (uint32_t state :
        { rs::HOST_NOT_STARTED, rs::HOST_ALLOCATING, rs::HOST_WAITING, rs::HOST_DOWNLOADING })
        EXPECT_FALSE(isFinalState(state));
    EXPECT_EQ(stateName(99), "UNKNOWN(99)");
}

TEST(RenderTest, JsonCarriesEveryField)
{
    rs::RepositoryAppList modules;
    modules.append(
        { "3", "calc", { "app1", "app2" }, "/apps/web", "admin", "calc.zip", 1234, 1700000000, false });
    const auto json = toJson(modules);
    ASSERT_EQ(json.size(), 1u);
    EXPECT_EQ(json[0]["name"], "calc");
    EXPECT_EQ(json[0]["version"], "3");
    EXPECT_EQ(json[0]["linkedApplications"], nlohmann::json({ "app1", "app2" }));
    EXPECT_EQ(json[0]["fileSize"], 1234) << "exact bytes for scripts";
    std::ostringstream table;
    moduleTable(modules).print(table);
    EXPECT_NE(table.str().find("1.2 KiB"), std::string::npos) << "readable sizes for people: " << table.str();
    EXPECT_EQ(table.str().find("1234"), std::string::npos) << table.str();
    EXPECT_EQ(formatTime(1700000000), "2023-11-14 22:13:20");
    EXPECT_EQ(formatTime(0), "-");
}

rs::DplStatusList reading(std::vector<rs::DplStatusEntry> entries)
{
    rs::DplStatusList list;
    list.entries = std::move(entries);
    return list;
}

TEST(RenderTest, PipedWatchPrintsOneTableThenOnlyChanges)
{
    std::ostringstream out;
    WatchDisplay display(out, false, "hello");
    display.show(std::nullopt);
    display.show(std::nullopt);
    display.show(reading({ { "node1", rs::HOST_WAITING, "" }, { "node2", rs::HOST_ALLOCATING, "" } }));
    display.show(reading({ { "node1", rs::HOST_WAITING, "" }, { "node2", rs::HOST_ALLOCATING, "" } }));
    display.show(reading({ { "node1", rs::HOST_INSTALLED, "" }, { "node2", rs::HOST_ERROR, "disk full" } }));
    EXPECT_EQ(out.str(),
        "hello has no deployment state yet: waiting for a run to register its hosts.\n"
        "HOST   STATE       MESSAGE\n"
        "node1  WAITING\n"
        "node2  ALLOCATING\n"
        "node1  WAITING -> INSTALLED\n"
        "node2  ALLOCATING -> ERROR: disk full\n");
}

// --- where the server, user and password come from ------------------------

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
    for (const char* malformed : { "env-host", "env-host:0", "env-host:65536", ":2", "env-host:2x" }) {
        env[kServerVariable] = malformed;
        EXPECT_THROW(resolveServer(options, io, lookup), AdminFailure) << malformed;
    }
    options.server = "opt-host:3";
    EXPECT_EQ(resolveServer(options, io, lookup), "opt-host:3");
}

TEST_F(ConfigurationTest, ConsumerIsAPathAsTheClusterSpellsIt)
{
    const std::pair<const char*, const char*> cases[] = {
        { "apps/demo", "/apps/demo" }, { "/apps/demo/", "/apps/demo" }, { "apps//demo", "/apps/demo" },
        { "/", "/" }, { "", "" }, // none: the global module index
    };
    GlobalOptions options;
    for (const auto& [given, used] : cases) {
        options.consumer = given;
        EXPECT_EQ(resolveConsumer(options, io), used) << given;
    }
    options.consumer.clear();
    env[kConsumerVariable] = "apps/web/";
    EXPECT_EQ(resolveConsumer(options, io), "/apps/web");
}

TEST_F(ConfigurationTest, PasswordComesFromFileThenEnvironmentAndNeverFromNowhere)
{
    TempDir dir;
    GlobalOptions options;
    try {
        obtainPassword(options, io, "admin");
        FAIL() << "a password from a non-terminal standard input";
    } catch (const AdminFailure& failure) {
        EXPECT_EQ(failure.status(), kExitUsage);
    }
    env[kPasswordVariable] = "from-env";
    EXPECT_EQ(obtainPassword(options, io, "admin"), "from-env");
    writeFile(dir / "pw", "from-file\r\nsecond line\n");
    options.passwordFile = (dir / "pw").string();
    EXPECT_EQ(obtainPassword(options, io, "admin"), "from-file");
    options.passwordFile = (dir / "missing").string();
    EXPECT_THROW(obtainPassword(options, io, "admin"), AdminFailure);
    io.inIsTerminal = true;
    options.passwordFile.clear();
    env.clear();
    EXPECT_EQ(obtainPassword(options, io, "admin"), "typed");
    EXPECT_EQ(err.str().find("typed"), std::string::npos) << "the prompt never echoes the password";
    EXPECT_EQ(makeCredential("admin", "p:w"), "admin:p:w");
}

// --- refusals -------------------------------------------------------------

TEST(RefusalTest, MessageHasHexCodeCatalogueTextAndHint)
{
    kav::NarvI18n::instance().init();
    const int32_t code = static_cast<int32_t>(0xD0014C1Au);
    kav::KavErrorInfo error(code, "here", "", "", { "calc", "/apps/web" });
    const std::string text = describeRefusal(error);
    EXPECT_EQ(text.rfind("0xD0014C1A", 0), 0u) << text;
    const std::string catalogue = kav::catalogueText(static_cast<uint32_t>(code), { "calc", "/apps/web" });
    ASSERT_FALSE(catalogue.empty()) << "the catalogue has a text for a missing module";
    EXPECT_NE(text.find(catalogue), std::string::npos) << text;
    EXPECT_NE(text.find("rsadmin module list"), std::string::npos) << text;
}

TEST(RefusalTest, FileThatCouldNotBeFetchedAgainIsRefusedBeforeAnythingIsSent)
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
        for (const char* named : { "0xD0014C62", "large.zip", "1000", "ZEPHCOMM_MAX_MESSAGE_SIZE" })
            EXPECT_NE(text.find(named), std::string::npos) << named << " in: " << text;
    }
    EXPECT_EQ(limit.pieceSize(100), 100u);
    EXPECT_LE(limit.pieceSize(1u << 30) + 50, 1000u) << "a piece fits into one request";
}

// --- the command line -----------------------------------------------------

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
        { { "--help" }, kExitOk, "^$", "package" },
        { {}, kExitUsage, "^rsadmin: rsadmin needs a command: version, shutdown, module, package" },
        { { "module" }, kExitUsage, "^rsadmin: rsadmin module needs a command: add, list," },
        { { "modul", "list" }, kExitUsage, "'modul' is not a command of rsadmin; did you mean 'module'\\?" },
        { { "module", "lst" }, kExitUsage,
            "'lst' is not a command of rsadmin module; did you mean 'list'\\?" },
        { { "frobnicate" }, kExitUsage, "'frobnicate' is not a command of rsadmin \\(version, " },
        { { "--password", "x", "version" }, kExitUsage, "'--password' is not an option.*'--password-file'" },
        { { "module", "add", "only-a-name" }, kExitUsage, "^rsadmin: FILE is required" },
        { { "package", "install", "p" }, kExitUsage, "^rsadmin: --group is required" },
        { { "--piece-size", "0", "version" }, kExitUsage, "^rsadmin: --piece-size" },
        { { "--timeout", "abc", "version" }, kExitUsage,
            "^rsadmin: --timeout: 'abc' is not a number of seconds" },
        { { "package", "status", "p", "--max-wait", "-1" }, kExitUsage, "^rsadmin: --max-wait: '-1' is not" },
        { { "version" }, kExitUsage, "--server" },
        { { "--server", "localhost", "version" }, kExitUsage,
            "^rsadmin: --server 'localhost' is not HOST:PORT" },
        { { "--server", "CLOSED", "module", "list" }, kExitUsage, "--user" },
        { { "--server", "CLOSED", "package", "status", "p", "--state", "bogus" }, kExitUsage, "bogus" },
        { { "--server", "CLOSED", "package", "status", "p", "--state", "99999999999" }, kExitUsage,
            "99999999999" },
        { { "--server", "CLOSED", "package", "status", "p", "--state", "UNKNOWN(x)" }, kExitUsage,
            "UNKNOWN\\(x\\)" },
        { { "--json", "module", "get", "m", "-o", "-" }, kExitUsage, "-o - and --json" },
        { { "--server", "CLOSED", "version" }, kExitNoConnection, "CLOSED: Connection refused" },
        { { "--server", "CLOSED", "--user", "u", "--timeout", "5", "module", "list" }, kExitNoConnection,
            "^rsadmin: warning: no consumer given .*global module index\n.*Connection refused" },
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

TEST(CommandLineTest, RegisteredAddressIsUsedWhenNoneIsGiven)
{
    AdminRunner runner;
    runner.registered = "127.0.0.1:" + std::to_string(closedPort());
    auto run = runner.run({ "version" });
    EXPECT_EQ(run.status, kExitNoConnection);
    EXPECT_NE(run.err.find(runner.registered), std::string::npos) << run.err;
}

// --- the password file ----------------------------------------------------

TEST(UserCommandTest, AddThenChangeAndRefuseTheWrongOne)
{
    TempDir dir;
    const std::string file = (dir / "passwd").string();
    AdminRunner runner;
    runner.input = "first-Pass1\n";
    auto added = runner.run({ "user", "add", "alice", "--file", file });
    ASSERT_EQ(added.status, kExitOk) << added.err;
    auto accounts = wardn::parseAccounts(readFile(file));
    ASSERT_EQ(accounts.count("alice"), 1u);
    EXPECT_TRUE(wardn::verifyPassword("first-Pass1", accounts.at("alice")));
    EXPECT_EQ(readFile(file).find("first-Pass1"), std::string::npos);

    auto again = runner.run({ "user", "add", "alice", "--file", file });
    EXPECT_EQ(again.status, kExitUsage);
    EXPECT_NE(again.err.find("user passwd"), std::string::npos) << again.err;

    runner.input = "second-Pass2\n";
    ASSERT_EQ(runner.run({ "user", "passwd", "alice", "--file", file }).status, kExitOk);
    accounts = wardn::parseAccounts(readFile(file));
    EXPECT_TRUE(wardn::verifyPassword("second-Pass2", accounts.at("alice")));
    EXPECT_FALSE(wardn::verifyPassword("first-Pass1", accounts.at("alice")));

    auto unknown = runner.run({ "user", "passwd", "bob", "--file", file });
    EXPECT_EQ(unknown.status, kExitUsage);
    EXPECT_NE(unknown.err.find("user add"), std::string::npos) << unknown.err;
    auto json = runner.run({ "--json", "user", "passwd", "alice", "--file", file });
    ASSERT_EQ(json.status, kExitOk);
    EXPECT_EQ(nlohmann::json::parse(json.out)["user"], "alice");
}

} // namespace
} // namespace rsadmin
