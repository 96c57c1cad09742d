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
#include "tools/rsbench/ToolOutput.h"
#include "tools/rsbench/Transfers.h"

#include <gtest/gtest.h>

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

// A verdict is given only when both figures are there; a target that was
// not measured counts as missed.
TEST(RsbenchReport, JudgesEachKindOfTargetAtAndAcrossItsLimit)
{
    struct Case {
        std::optional<double> ours, anchor;
        Target target;
        std::optional<bool> met;
    };
    const Case cases[] = {
        { 80, 100, Target::ratioAtLeast(0.8), true },
        { 79, 100, Target::ratioAtLeast(0.8), false },
        { 150, 100, Target::ratioAtMost(1.5), true },
        { 151, 100, Target::ratioAtMost(1.5), false },
        { 32, std::nullopt, Target::valueAtMost(32), true },
        { 33, std::nullopt, Target::valueAtMost(32), false },
        { 1, 2, Target::none(), std::nullopt },
        { std::nullopt, 100, Target::ratioAtLeast(0.8), std::nullopt },
        { 80, std::nullopt, Target::ratioAtLeast(0.8), std::nullopt },
        { 80, 0, Target::ratioAtLeast(0.8), std::nullopt },
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.ours.value_or(-1)) + " vs " + std::to_string(c.anchor.value_or(-1)));
        EXPECT_EQ(rowWith(c.ours, c.anchor, c.target).met(), c.met);
    }
    EXPECT_DOUBLE_EQ(rowWith(50, 200, Target::none()).ratio().value_or(0), 0.25);
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

// The figures read from the anchors' own tools: a failed run gives none.
TEST(RsbenchToolOutput, ReadsTheFiguresAndRefusesFailedRuns)
{
    const std::string csv = "\"test\",\"rps\",\"avg_latency_ms\"\r\n"
                            "\"PING_INLINE\",\"98039.22\",\"0.287\"\r\n"
                            "\"PING_MBULK\",\"101010.10\",\"0.279\"\r\n";
    EXPECT_EQ(redisBenchmarkRate(csv, "PING_MBULK"), 101010.10);
    EXPECT_FALSE(redisBenchmarkRate(csv, "SET"));
    EXPECT_FALSE(redisBenchmarkRate("\"PING_INLINE\",\"n/a\"\n", "PING_INLINE"));
    EXPECT_EQ(wrkRequestsPerSecond("  40 requests in 2.00s, 2.50GB read\nRequests/sec:     19.96\n"), 19.96);
    EXPECT_FALSE(wrkRequestsPerSecond("unable to connect to 127.0.0.1:1 Connection refused\n"));
    EXPECT_EQ(curlSeconds("201 0.512345"), 0.512345);
    EXPECT_FALSE(curlSeconds("405 0.001"));
    EXPECT_FALSE(curlSeconds("000 0.000"));
    const std::string status = "Name:\trs\nVmRSS:\t    2048 kB\nRssAnon:\t 1024 kB\nRssFile:\t 1000 kB\n";
    EXPECT_EQ(statusBytes(status, "VmRSS"), 2048u * 1024u);
    EXPECT_FALSE(statusBytes(status, "Rss")) << "a field is named in full";
    EXPECT_FALSE(statusBytes("VmRSS:\t 12 MB\n", "VmRSS"));
    const std::string metrics = "# TYPE rs_list_cache_bytes gauge\nrs_list_cache_bytes_total 7\n"
                                "rs_list_cache_bytes 41943040\nrs_requests_total{code=\"0\"} 3\n";
    EXPECT_EQ(metricValue(metrics, "rs_list_cache_bytes"), 41943040.0) << "not the longer name before it";
    EXPECT_FALSE(metricValue(metrics, "rs_requests_total")) << "a labelled sample is not the plain one";
}

TEST(RsbenchPasswordChecks, CountsSuccessfulChecksOfTheStoredHashForm)
{
    // At least one check runs even with no time given; a hash that does not verify would count none.
    EXPECT_GT(passwordCheckRate("check-Me-1", 1, std::chrono::milliseconds(0)), 0);
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
