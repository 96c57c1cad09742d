// The side door's pure rules: when it opens and how, what an HTTP Basic
// header logs on as, and what the metrics page adds up.
#include "rs/http/BasicAuth.h"
#include "rs/http/MetricsText.h"
#include "rs/http/SideDoorSettings.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <sstream>
#include <thread>
#include <vector>

namespace {

using rs::http::chooseSideDoor;

kav::ConfParamReader paramsOf(std::map<std::string, std::string> values)
{
    return [values](const std::string& name) -> std::optional<std::string> {
        auto found = values.find(name);
        return found == values.end() ? std::nullopt : std::optional<std::string>(found->second);
    };
}

struct ChoiceRow {
    const char* what;
    std::map<std::string, std::string> params;
    bool opens;
    bool asksForLogon; // only when it opens
    const char* host;
    int port;
    const char* certificate;
    const char* key;
    bool problemSaid;
};

TEST(SideDoorSettingsTest, OpensOnlyWhereItIsSafe)
{
    const std::string tls = "SSL[CERTIFICATE=/etc/rs/rs.pem,PRIVATE_KEY=/etc/rs/rs.key]";
    const ChoiceRow rows[] = {
        { "not asked for", {}, false, false, "", 0, "", "", false },
        { "loopback", { { "RS_HTTP_LISTEN", "127.0.0.1:8081" } }, true, false, "127.0.0.1", 8081, "", "",
            false },
        { "whole loopback net", { { "RS_HTTP_LISTEN", "127.3.2.1:1" } }, true, false, "127.3.2.1", 1, "", "",
            false },
        { "localhost", { { "RS_HTTP_LISTEN", "localhost:65535" } }, true, false, "localhost", 65535, "", "",
            false },
        { "IPv6 loopback", { { "RS_HTTP_LISTEN", "[::1]:8081" } }, true, false, "::1", 8081, "", "", false },
        { "all addresses without TLS", { { "RS_HTTP_LISTEN", "0.0.0.0:8081" } }, false, false, "", 0, "", "",
            true },
        { "TLS without certificate", { { "RS_HTTP_LISTEN", "10.0.0.5:8081" }, { "RS_DRIVER_ARG", "SSL[]" } },
            false, false, "", 0, "", "", true },
        { "DER certificate",
            { { "RS_HTTP_LISTEN", "10.0.0.5:8081" },
                { "RS_DRIVER_ARG", "SSL[CERTIFICATE=/c.der,FILETYPE=ASN1]" } },
            false, false, "", 0, "", "", true },
        { "TLS", { { "RS_HTTP_LISTEN", "0.0.0.0:8443" }, { "RS_DRIVER_ARG", tls } }, true, true, "0.0.0.0",
            8443, "/etc/rs/rs.pem", "/etc/rs/rs.key", false },
        { "key in the certificate file",
            { { "RS_HTTP_LISTEN", "[::]:8443" }, { "RS_DRIVER_ARG", "SSL[CERTIFICATE=/etc/rs/both.pem]" } },
            true, true, "::", 8443, "/etc/rs/both.pem", "/etc/rs/both.pem", false },
        { "argument in a parameter",
            { { "RS_HTTP_LISTEN", "host.example:8443" }, { "RS_DRIVER_ARG", "$RS_TLS" }, { "RS_TLS", tls } },
            true, true, "host.example", 8443, "/etc/rs/rs.pem", "/etc/rs/rs.key", false },
        { "parameter not set", { { "RS_HTTP_LISTEN", "host.example:8443" }, { "RS_DRIVER_ARG", "$RS_TLS" } },
            false, false, "", 0, "", "", true },
        { "no port", { { "RS_HTTP_LISTEN", "127.0.0.1" } }, false, false, "", 0, "", "", true },
        { "port 0", { { "RS_HTTP_LISTEN", "127.0.0.1:0" } }, false, false, "", 0, "", "", true },
        { "port not a number", { { "RS_HTTP_LISTEN", "127.0.0.1:80x" } }, false, false, "", 0, "", "", true },
        { "IPv6 without brackets", { { "RS_HTTP_LISTEN", "::1:8081" } }, false, false, "", 0, "", "", true },
    };
    for (const ChoiceRow& row : rows) {
        SCOPED_TRACE(row.what);
        const rs::http::SideDoorChoice choice = chooseSideDoor(paramsOf(row.params));
        EXPECT_EQ(choice.settings.has_value(), row.opens);
        EXPECT_EQ(!choice.problem.empty(), row.problemSaid) << choice.problem;
        if (!choice.settings)
            continue;
        EXPECT_EQ(choice.settings->loopback, !row.asksForLogon);
        EXPECT_EQ(choice.settings->host, row.host);
        EXPECT_EQ(choice.settings->port, row.port);
        EXPECT_EQ(choice.settings->certificate, row.certificate);
        EXPECT_EQ(choice.settings->privateKey, row.key);
    }
}

TEST(BasicAuthTest, TheHeaderGivesTheCredential)
{
    const struct {
        const char* header;
        std::optional<std::string> credential;
    } rows[] = {
        { "Basic YWRtaW46c2VjcmV0", "admin:secret" },
        { "basic YWRtaW46c2VjcmV0", "admin:secret" }, // the scheme in any case
        { "Basic   YWRtaW46c2VjcmV0", "admin:secret" },
        { "Basic YWRtaW46", "admin:" }, // an empty password is the plug-in's to refuse
        { "Basic YTpiOmM=", "a:b:c" }, // the password may hold ':'
        { "Basic YWRtaW4=", std::nullopt }, // no ':'
        { "Basic OnNlY3JldA==", std::nullopt }, // no user
        { "Basic YWRtaW46c2VjcmV0=", std::nullopt }, // length not a multiple of 4
        { "Basic YWRt!W46c2VjcmV0", std::nullopt }, // not base64
        { "Basic YQBiOmM=", std::nullopt }, // a NUL byte
        { "Bearer YWRtaW46c2VjcmV0", std::nullopt },
        { "Basic ", std::nullopt },
        { "", std::nullopt },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.header);
        EXPECT_EQ(rs::http::basicCredential(row.header), row.credential);
    }
}

// The page's lines for one metric, labels included, sorted.
std::vector<std::string> samplesOf(const std::string& page, const std::string& metric)
{
    std::vector<std::string> lines;
    std::istringstream in(page);
    for (std::string line; std::getline(in, line);)
        if (line.starts_with(metric + " ") || line.starts_with(metric + "{"))
            lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    return lines;
}

TEST(MetricsTextTest, CountsFromManyThreadsAddUpToOneSamplePerKey)
{
    // More threads than a counter has stripes, so that some threads share one.
    constexpr int kThreads = 24;
    constexpr int kRounds = 500;
    kav::ServiceCounters counters;
    std::vector<std::thread> threads;
    for (int t = 0; t < kThreads; ++t)
        threads.emplace_back([&counters, t] {
            for (int round = 0; round < kRounds; ++round) {
                kav::ServiceCounters::bump(counters.bytesSent, uint64_t { 3 });
                kav::ServiceCounters::bump(counters.workItemsStarted);
                counters.answers.add("getRSVersion", 0);
            }
            counters.answers.add("getPackageStatus", t % 2 == 0 ? 0 : -2);
        });
    for (std::thread& thread : threads)
        thread.join();

    const std::string page = rs::http::renderMetrics(counters, {});
    const int total = kThreads * kRounds;
    EXPECT_EQ(samplesOf(page, "rs_sent_bytes_total"),
        std::vector<std::string> { "rs_sent_bytes_total " + std::to_string(3 * total) });
    EXPECT_EQ(samplesOf(page, "rs_work_queue_wait_seconds_count"),
        std::vector<std::string> { "rs_work_queue_wait_seconds_count " + std::to_string(total) });
    EXPECT_EQ(samplesOf(page, "rs_requests_total"),
        (std::vector<std::string> {
            "rs_requests_total{operation=\"getPackageStatus\",code=\"0x00000000\"} "
                + std::to_string(kThreads / 2),
            "rs_requests_total{operation=\"getPackageStatus\",code=\"0xFFFFFFFE\"} "
                + std::to_string(kThreads / 2),
            "rs_requests_total{operation=\"getRSVersion\",code=\"0x00000000\"} " + std::to_string(total),
        }));
}

} // namespace
