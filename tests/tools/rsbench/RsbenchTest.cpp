#include "interfaces/IRepository.h"
#include "interfaces/IRepositoryResp.h"
#include "interfaces/rpc/RpcCodecs.h"
#include "tools/harness/PatternBytes.h"
#include "tools/rsbench/Anchors.h"
#include "tools/rsbench/BenchDaemon.h"
#include "tools/rsbench/Load.h"
#include "tools/rsbench/Median.h"
#include "tools/rsbench/Report.h"
#include "tools/rsbench/Scenarios.h"
#include "tools/rsbench/Subprocess.h"
#include "tools/rsbench/ToolOutput.h"
#include "tools/rsbench/Transfers.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

using namespace rsbench;

namespace {

Row rowWith(std::optional<double> ours, std::optional<double> anchor, Target target)
{
    Row row;
    row.scenario = "s";
    if (ours)
        row.ours = Figure { *ours, "u" };
    if (anchor)
        row.anchor = Figure { *anchor, "u" };
    row.target = target;
    return row;
}

} // namespace

TEST(RsbenchReportRow, JudgesEachKindOfTargetAtAndAcrossItsLimit)
{
    EXPECT_EQ(rowWith(80, 100, Target::ratioAtLeast(0.8)).met(), true);
    EXPECT_EQ(rowWith(79, 100, Target::ratioAtLeast(0.8)).met(), false);
    EXPECT_EQ(rowWith(150, 100, Target::ratioAtMost(1.5)).met(), true);
    EXPECT_EQ(rowWith(151, 100, Target::ratioAtMost(1.5)).met(), false);
    EXPECT_EQ(rowWith(32, std::nullopt, Target::valueAtMost(32)).met(), true);
    EXPECT_EQ(rowWith(33, std::nullopt, Target::valueAtMost(32)).met(), false);
    EXPECT_EQ(rowWith(1, 2, Target::none()).met(), std::nullopt);
}

TEST(RsbenchReportRow, MissingFiguresLeaveRatioAndVerdictOpen)
{
    EXPECT_EQ(rowWith(std::nullopt, 100, Target::ratioAtLeast(0.8)).met(), std::nullopt);
    EXPECT_EQ(rowWith(80, std::nullopt, Target::ratioAtLeast(0.8)).met(), std::nullopt);
    EXPECT_EQ(rowWith(80, 0, Target::ratioAtLeast(0.8)).ratio(), std::nullopt);
    EXPECT_EQ(rowWith(std::nullopt, std::nullopt, Target::valueAtMost(1)).met(), std::nullopt);
    ASSERT_TRUE(rowWith(50, 200, Target::none()).ratio());
    EXPECT_DOUBLE_EQ(*rowWith(50, 200, Target::none()).ratio(), 0.25);
}

TEST(RsbenchReport, CountsMissedAndUnmeasuredTargetsAsShortfalls)
{
    Report report;
    report.add(rowWith(90, 100, Target::ratioAtLeast(0.8))); // met
    report.add(rowWith(10, 100, Target::ratioAtLeast(0.8))); // missed
    report.add(rowWith(std::nullopt, 100, Target::ratioAtLeast(0.8))); // not measured
    report.add(rowWith(1, std::nullopt, Target::none())); // informational
    EXPECT_EQ(report.shortfalls(), 2);
}

TEST(RsbenchMedian, TakesEachRowsMiddleFiguresAndTheMiddleOfTheRunsOwnRatios)
{
    const double figures[3][2] = { { 10, 20 }, { 30, 10 }, { 20, 30 } }; // ratios 0.5, 3, 0.667
    std::vector<Report> runs(3);
    for (int i = 0; i < 3; ++i) {
        Row row = rowWith(figures[i][0], figures[i][1], Target::ratioAtLeast(1.0));
        row.note = "run " + std::to_string(i + 1);
        runs[static_cast<size_t>(i)].add(row);
    }
    Row once = rowWith(5, std::nullopt, Target::valueAtMost(8));
    once.scenario = "t";
    runs[1].add(once);

    const Report medians = medianOfRuns(runs);
    ASSERT_EQ(medians.rows().size(), 2u);
    const Row& row = medians.rows()[0];
    ASSERT_TRUE(row.ours && row.anchor && row.ratio());
    EXPECT_DOUBLE_EQ(row.ours->value, 20);
    EXPECT_DOUBLE_EQ(row.anchor->value, 20);
    EXPECT_DOUBLE_EQ(*row.ratio(), 20.0 / 30) << "the middle of the side-by-side ratios, not 20 / 20";
    EXPECT_EQ(row.met(), false);
    EXPECT_EQ(row.note, "run 3; ratio 0.500-3.00 in 3 runs");
    EXPECT_EQ(medians.rows()[1].note, "measured in 1 of 3 runs");
    EXPECT_EQ(medians.rows()[1].met(), true);
}

TEST(RsbenchReport, MarkdownHasOneTableLinePerRowAndKeepsCellsIntact)
{
    Report report;
    Row row = rowWith(90, 100, Target::ratioAtLeast(0.8));
    row.scenario = "a|b";
    row.anchorName = "peer";
    report.add(row);
    Row missing = rowWith(std::nullopt, std::nullopt, Target::valueAtMost(32));
    missing.scenario = "memory";
    missing.note = "daemon\ngone";
    report.add(missing);
    const std::string text = report.markdown("Run", { "context line" });

    EXPECT_NE(text.find("# Run\n"), std::string::npos);
    EXPECT_NE(text.find("- context line\n"), std::string::npos);
    EXPECT_NE(text.find("| scenario | ours | anchor | ratio | target | met? |"), std::string::npos);
    EXPECT_NE(text.find("| a/b | 90.0 u | 100 u (peer) | 0.900 | ratio >= 0.800 | yes |"), std::string::npos);
    EXPECT_NE(text.find("| memory (daemon gone) | - | - |  | <= 32.0 | not measured |"), std::string::npos)
        << text;
    EXPECT_NE(text.find("1 target(s) not met."), std::string::npos);
    // Every table line has the six cells' seven bars.
    std::istringstream lines(text);
    int tableLines = 0;
    for (std::string line; std::getline(lines, line);)
        if (!line.empty() && line.front() == '|') {
            ++tableLines;
            EXPECT_EQ(std::count(line.begin(), line.end(), '|'), 7) << line;
        }
    EXPECT_EQ(tableLines, 4);
}

TEST(RsbenchFormatNumber, KeepsAboutThreeSignificantDigits)
{
    EXPECT_EQ(formatNumber(0.8123), "0.812");
    EXPECT_EQ(formatNumber(5.0), "5.00");
    EXPECT_EQ(formatNumber(98.44), "98.4");
    EXPECT_EQ(formatNumber(123456.7), "123457");
    EXPECT_EQ(formatNumber(0), "0");
}

TEST(RsbenchToolOutput, ReadsTheNamedTestFromRedisBenchmarkCsv)
{
    const std::string csv = "\"test\",\"rps\",\"avg_latency_ms\"\r\n"
                            "\"PING_INLINE\",\"98039.22\",\"0.287\"\r\n"
                            "\"PING_MBULK\",\"101010.10\",\"0.279\"\r\n";
    ASSERT_TRUE(redisBenchmarkRate(csv, "PING_INLINE"));
    EXPECT_DOUBLE_EQ(*redisBenchmarkRate(csv, "PING_INLINE"), 98039.22);
    EXPECT_DOUBLE_EQ(*redisBenchmarkRate(csv, "PING_MBULK"), 101010.10);
    EXPECT_FALSE(redisBenchmarkRate(csv, "SET"));
    EXPECT_FALSE(redisBenchmarkRate("\"PING_INLINE\",\"n/a\"\n", "PING_INLINE"));
    EXPECT_FALSE(redisBenchmarkRate("", "PING_INLINE"));
}

TEST(RsbenchToolOutput, ReadsRequestsPerSecondFromWrk)
{
    const std::string output = "Running 2s test @ http://127.0.0.1:8080/x\n"
                               "  1 threads and 1 connections\n"
                               "  40 requests in 2.00s, 2.50GB read\n"
                               "Requests/sec:     19.96\n"
                               "Transfer/sec:      1.25GB\n";
    ASSERT_TRUE(wrkRequestsPerSecond(output));
    EXPECT_DOUBLE_EQ(*wrkRequestsPerSecond(output), 19.96);
    EXPECT_FALSE(wrkRequestsPerSecond("unable to connect to 127.0.0.1:1 Connection refused\n"));
}

TEST(RsbenchToolOutput, TakesCurlTimesOfSuccessfulTransfersOnly)
{
    ASSERT_TRUE(curlSeconds("201 0.512345"));
    EXPECT_DOUBLE_EQ(*curlSeconds("201 0.512345"), 0.512345);
    EXPECT_FALSE(curlSeconds("405 0.001"));
    EXPECT_FALSE(curlSeconds("000 0.000"));
    EXPECT_FALSE(curlSeconds(""));
}

TEST(RsbenchToolOutput, ReadsResidentSizeInBytes)
{
    const std::string status = "Name:\trs\nVmPeak:\t  9000 kB\nVmRSS:\t    2048 kB\nRssAnon:\t 1024 kB\n"
                               "RssFile:\t 1000 kB\nThreads:\t9\n";
    EXPECT_EQ(statusBytes(status, "VmRSS"), 2048u * 1024u);
    EXPECT_EQ(statusBytes(status, "RssAnon"), 1024u * 1024u);
    EXPECT_EQ(statusBytes(status, "RssFile"), 1000u * 1024u);
    EXPECT_FALSE(statusBytes(status, "Rss")) << "a field is named in full";
    EXPECT_FALSE(statusBytes("Name:\trs\nVmPeak:\t 9000 kB\n", "VmRSS"));
    EXPECT_FALSE(statusBytes("VmRSS:\t 12 MB\n", "VmRSS"));
    auto own = residentSize(::getpid());
    ASSERT_TRUE(own);
    EXPECT_GT(own->total, 0u);
    EXPECT_LE(own->anonymous + own->files, own->total);
}

TEST(RsbenchResidentBytes, IsEmptyForAProcessThatEnded)
{
    Subprocess child;
    ASSERT_TRUE(child.start({ "true" }, false));
    const int pid = child.pid();
    ASSERT_EQ(child.finish(), 0);
    EXPECT_FALSE(residentSize(pid));
}

TEST(RsbenchSubprocess, CollectsOutputAndExitStatus)
{
    auto outcome = Subprocess::run({ "sh", "-c", "printf 'line one\\nline two'; exit 3" });
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->status, 3);
    EXPECT_EQ(outcome->output, "line one\nline two");
}

TEST(RsbenchSubprocess, ReportsAMissingProgram)
{
    EXPECT_FALSE(Subprocess::run({ "rsbench-no-such-program" }));
    EXPECT_FALSE(Subprocess::available("rsbench-no-such-program"));
    EXPECT_TRUE(Subprocess::available("sh"));
    Subprocess child;
    EXPECT_FALSE(child.start({}, true));
}

TEST(RsbenchSubprocess, StopEndsALongRunningChild)
{
    Subprocess child;
    ASSERT_TRUE(child.start({ "sh", "-c", "exec cat" }, true));
    const int pid = child.pid();
    child.stop();
    EXPECT_EQ(child.pid(), -1);
    EXPECT_NE(::kill(pid, 0), 0);
}

TEST(RsbenchWaitForListener, SeesAListeningPortAndGivesUpOnAClosedOne)
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in address {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    ASSERT_EQ(::bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    ASSERT_EQ(::listen(fd, 4), 0);
    ASSERT_EQ(::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length), 0);
    const int port = ntohs(address.sin_port);
    EXPECT_TRUE(waitForListener(port, std::chrono::milliseconds(0)));
    ::close(fd);
    EXPECT_FALSE(waitForListener(port, std::chrono::milliseconds(0)));
}

TEST(RsbenchFanOutBound, AddsOneSecondPerFurtherGroupOfFourHosts)
{
    EXPECT_DOUBLE_EQ(fanOutBoundSeconds(1, 2.5), 2.5);
    EXPECT_DOUBLE_EQ(fanOutBoundSeconds(4, 2.5), 2.5);
    EXPECT_DOUBLE_EQ(fanOutBoundSeconds(5, 2.5), 3.5);
    EXPECT_DOUBLE_EQ(fanOutBoundSeconds(10, 2.0), 4.0);
    EXPECT_DOUBLE_EQ(fanOutBoundSeconds(100, 2.0), 26.0);
}

TEST(RsbenchListCost, IsOneForLinearGrowthAndAboveForQuadratic)
{
    EXPECT_DOUBLE_EQ(listCostRatio(0.010, 10000, 0.001, 1000), 1.0);
    EXPECT_DOUBLE_EQ(listCostRatio(0.100, 10000, 0.001, 1000), 10.0);
    EXPECT_LT(listCostRatio(0.005, 10000, 0.001, 1000), 1.0);
}

TEST(RsbenchBenchOptions, RunsEverythingUnlessNarrowed)
{
    BenchOptions options;
    for (const std::string& name : scenarioNames())
        EXPECT_TRUE(options.wants(name));
    options.only = { "rate" };
    EXPECT_TRUE(options.wants("rate"));
    EXPECT_FALSE(options.wants("fanout"));
}

// The load helpers against the real daemon.
class RsbenchLoadOnDaemon : public ::testing::Test {
protected:
    void SetUp() override
    {
        if (!daemon_.start())
            GTEST_SKIP() << "the daemon did not serve: " << daemon_.failure();
    }
    BenchDaemon daemon_;
    const Account admin_ { rs::harness::kAdminUser, rs::harness::kAdminPassword };
};

TEST_F(RsbenchLoadOnDaemon, OpensLoggedOnSessionsAndStopsAtAWrongPassword)
{
    std::string why;
    auto sessions = openSessions(daemon_.port(), 6, admin_, kRateConsumer, 3, &why);
    EXPECT_EQ(sessions.size(), 6u);
    EXPECT_TRUE(why.empty()) << why;
    // Every session is logged on: a list answers with success.
    for (auto& session : sessions)
        EXPECT_EQ(session->call<IRepository::getModuleList_Call>(kAnswerWait).code(), 0);

    auto refused
        = openSessions(daemon_.port(), 3, { rs::harness::kAdminUser, "wrong" }, kRateConsumer, 1, &why);
    EXPECT_TRUE(refused.empty());
    EXPECT_NE(why.find("logon"), std::string::npos) << why;
}

TEST_F(RsbenchLoadOnDaemon, CountsAnsweredAndFailedRequests)
{
    std::string why;
    auto sessions = openSessions(daemon_.port(), 3, admin_, kRateConsumer, 3, &why);
    ASSERT_EQ(sessions.size(), 3u) << why;
    const KavVersion none;
    RateFigure good = measureRate<IRepository::getRSVersion_Call>(
        firstClients(sessions, 3), std::chrono::milliseconds(200), none, none, 0);
    EXPECT_GT(good.completed, 0u);
    EXPECT_EQ(good.failed, 0u);
    EXPECT_GT(good.perSecond, 0);
    // A module that does not exist is answered with an error: counted as failed, not completed.
    RateFigure bad = measureRate<IRepository::getModule_Call>(firstClients(sessions, 2),
        std::chrono::milliseconds(200), std::string("absent"), std::string("1"), std::string(kRateConsumer));
    EXPECT_EQ(bad.completed, 0u);
    EXPECT_GT(bad.failed, 0u);
}

TEST_F(RsbenchLoadOnDaemon, UploadsInPiecesAndDownloadsTheSameBytes)
{
    std::string why;
    auto sessions = openSessions(daemon_.port(), 1, admin_, kTransferConsumer, 1, &why);
    ASSERT_EQ(sessions.size(), 1u) << why;
    auto& client = *sessions.front();
    const std::string bytes = rs::harness::patternBytes(2 * 1024 * 1024 + 17, 4);
    Upload up = uploadModule(client, "pieces", "pieces.bin", bytes, 512 * 1024);
    ASSERT_EQ(up.code, 0);
    EXPECT_FALSE(up.version.empty());
    EXPECT_GT(up.seconds, 0);

    auto got = client.call<IRepository::getModule_Call>(kAnswerWait, "pieces", up.version, kTransferConsumer);
    ASSERT_EQ(got.code(), 0);
    EXPECT_EQ(rpc::blockText(got->moduleData()), bytes);

    const std::vector<ModuleRef> modules { { "pieces", up.version } };
    EXPECT_TRUE(
        downloadRate(client, modules, kTransferConsumer, bytes.size(), std::chrono::milliseconds(50)));
    // A size other than the module's is a failed measurement, not a figure.
    EXPECT_FALSE(
        downloadRate(client, modules, kTransferConsumer, bytes.size() + 1, std::chrono::milliseconds(50)));
    EXPECT_FALSE(
        downloadRate(client, { { "absent", "1" } }, kTransferConsumer, 1, std::chrono::milliseconds(50)));
}

TEST_F(RsbenchLoadOnDaemon, MeasuresTheDaemonsResidentSize)
{
    auto size = daemon_.residentSize();
    ASSERT_TRUE(size);
    EXPECT_GT(size->total, 1024u * 1024u);
}

TEST(RsbenchPasswordChecks, CountsSuccessfulChecksOfTheStoredHashForm)
{
    // At least one check runs even with no time given; a hash that does not verify would count none.
    EXPECT_GT(passwordCheckRate("check-Me-1", 1, std::chrono::milliseconds(0)), 0);
}

TEST(RsbenchReport, ConsoleLineShowsBothFiguresRatioAndVerdict)
{
    Row row = rowWith(40, 100, Target::ratioAtLeast(0.8));
    row.scenario = "getRSVersion, 1 connection";
    row.anchorName = "redis";
    row.note = "3 failed";
    EXPECT_EQ(Report::line(row),
        "getRSVersion, 1 connection: ours 40.0 u, anchor 100 u (redis), ratio 0.400, target ratio >= 0.800: "
        "NO "
        "[3 failed]");
    Row missing;
    missing.scenario = "upload";
    missing.anchorName = "dd";
    EXPECT_EQ(Report::line(missing), "upload: ours -, anchor - (dd unavailable)");
}

TEST(RsbenchReport, DescribesTargetsWithTheirUnit)
{
    EXPECT_EQ(describeTarget(Target::valueAtMost(64), "KiB"), "<= 64.0 KiB");
    EXPECT_EQ(describeTarget(Target::ratioAtMost(1.5), "s"), "ratio <= 1.50");
    EXPECT_EQ(describeTarget(Target::none(), "s"), "");
}

TEST(RsbenchSubprocess, FinishWithoutAChildHasNoStatus)
{
    Subprocess child;
    EXPECT_FALSE(child.finish());
}

TEST(RsbenchDd, WritesTheBytesAndRemovesItsFile)
{
    rs::harness::TempDir dir;
    const auto target = dir.path() / "dd.out";
    auto rate = ddWriteRate(target, 4 * 1024 * 1024, 1024 * 1024);
    ASSERT_TRUE(rate);
    EXPECT_GT(*rate, 0);
    EXPECT_FALSE(std::filesystem::exists(target));
    EXPECT_FALSE(ddWriteRate(dir.path() / "no-such-dir" / "dd.out", 1024 * 1024, 1024 * 1024));
}

TEST(RsbenchRedis, MeasuresPingsOfItsOwnServer)
{
    if (!Subprocess::available("redis-server") || !Subprocess::available("redis-benchmark"))
        GTEST_SKIP() << "redis is not installed (scripts/install-deps --bench)";
    RedisAnchor redis;
    ASSERT_TRUE(redis.start());
    auto rate = redis.pingRate(2, 2000);
    ASSERT_TRUE(rate);
    EXPECT_GT(*rate, 0);
}

TEST(RsbenchNginx, ServesTheRootAndTakesAPutOfTheSameSize)
{
    if (!Subprocess::available("nginx") || !Subprocess::available("curl"))
        GTEST_SKIP() << "nginx or curl is not installed (scripts/install-deps --bench)";
    rs::harness::TempDir root;
    const std::string bytes = rs::harness::patternBytes(256 * 1024, 2);
    std::ofstream(root.path() / "file.bin", std::ios::binary) << bytes;
    std::ofstream(root.path() / "second.bin", std::ios::binary) << bytes;
    NginxAnchor nginx;
    ASSERT_TRUE(nginx.start(root.path())) << nginx.failure();
    const auto briefly = std::chrono::milliseconds(100);
    for (const auto& paths :
        std::vector<std::vector<std::string>> { { "/file.bin" }, { "/file.bin", "/second.bin" } }) {
        auto get = nginx.getRate(paths, bytes.size(), briefly);
        ASSERT_TRUE(get) << paths.back();
        EXPECT_GT(*get, 0);
    }
    EXPECT_FALSE(nginx.getRate({ "/absent.bin" }, bytes.size(), briefly));
    EXPECT_FALSE(nginx.getRate({ "/file.bin", "/absent.bin" }, bytes.size(), briefly))
        << "every file of a rotation is requested";
    auto put = nginx.putRate(root.path() / "file.bin");
    ASSERT_TRUE(put);
    EXPECT_GT(*put, 0);
    EXPECT_FALSE(nginx.putRate(root.path() / "absent.bin"));
}

TEST(RsbenchBenchDaemon, KeepsTheDaemonToWarningsAndMapsConsumersToDirectories)
{
    rs::harness::TempDir dir;
    auto env = quietLogEnvironment(dir.path());
    ASSERT_EQ(env.count("RS_LOG_PROPERTY_FILE"), 1u);
    std::ifstream in(env["RS_LOG_PROPERTY_FILE"]);
    std::string first;
    std::getline(in, first);
    EXPECT_EQ(first, "log4j.rootLogger=WARN, file");
    BenchDaemon daemon;
    EXPECT_EQ(daemon.consumerDir("/bench/list"), daemon.storageDir() / "bench" / "list");
}

TEST_F(RsbenchLoadOnDaemon, UploadsAtPieceBoundariesAndInOnePiece)
{
    std::string why;
    auto sessions = openSessions(daemon_.port(), 1, admin_, kTransferConsumer, 1, &why);
    ASSERT_EQ(sessions.size(), 1u) << why;
    auto& client = *sessions.front();
    for (auto [size, piece] : { std::pair<size_t, size_t> { 1024 * 1024, 512 * 1024 }, { 1000, 4096 } }) {
        const std::string bytes = rs::harness::patternBytes(size, static_cast<unsigned>(piece));
        const std::string module = "m" + std::to_string(size);
        Upload up = uploadModule(client, module, module + ".bin", bytes, piece);
        ASSERT_EQ(up.code, 0) << size;
        auto got
            = client.call<IRepository::getModule_Call>(kAnswerWait, module, up.version, kTransferConsumer);
        ASSERT_EQ(got.code(), 0);
        EXPECT_EQ(rpc::blockText(got->moduleData()), bytes) << size;
    }
}
