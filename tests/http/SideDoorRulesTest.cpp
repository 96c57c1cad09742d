// The side door's pure rules: when it opens and how, and what an HTTP Basic
// header logs on as.
#include "rs/http/BasicAuth.h"
#include "rs/http/SideDoorSettings.h"

#include <gtest/gtest.h>

#include <map>

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

} // namespace
