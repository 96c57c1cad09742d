// The transport handed to the deploy command: nothing for plain TCP, the
// daemon's driver with only the connecting side's settings otherwise; and
// the daemon's message size limit when it is set.

#include "rs/deployment/installer/DeployTransport.h"

#include "zephcomm/driver/SslDriverArgument.h"
#include "zephcomm/wire/MessageHeader.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

namespace rs {
namespace {

using ::testing::HasSubstr;
using ::testing::Not;
using Entries = std::vector<std::string>;
using zephcommdrv::DriverSelection;

const DeployTransport::ParameterLookup kNoParameters = [](const std::string&) { return std::nullopt; };

// The RS_DRIVER_ARG entry's value, parsed as the deploy command's driver will.
zephcommSslTcpDrv::SslDriverArgument deployArgument(const Entries& entries)
{
    EXPECT_EQ(entries.size(), 2u);
    const std::string prefix = "RS_DRIVER_ARG=";
    std::string value
        = entries.size() == 2 && entries[1].starts_with(prefix) ? entries[1].substr(prefix.size()) : "?";
    auto parsed = zephcommSslTcpDrv::parseSslDriverArgument(value.c_str());
    EXPECT_TRUE(parsed.has_value()) << value;
    return parsed.value_or(zephcommSslTcpDrv::SslDriverArgument {});
}

TEST(DeployTransportTest, PlainTcpDaemonsHandNothingOn)
{
    for (const DriverSelection& daemon : { DriverSelection {}, DriverSelection { "", "SSL[CAFILE=/ca.pem]" },
             DriverSelection { "TCPIPv4", "SSL[CAFILE=/ca.pem]" } })
        EXPECT_TRUE(DeployTransport::environment(daemon, std::nullopt, kNoParameters).empty())
            << daemon.name.value_or("(unset)");
    EXPECT_TRUE(DeployTransport::environment({}, "SSL[CAFILE=/ca.pem]", kNoParameters).empty())
        << "a deploy command argument alone does not switch the transport";
}

TEST(DeployTransportTest, TheDaemonsIdentityStaysWithTheDaemonAndTheConnectingSettingsGoAlong)
{
    const DriverSelection daemon { "TCPIPv4SSL",
        "SSL[FILETYPE=ASN1,CERTIFICATE=/etc/rs/rs.der,PRIVATE_KEY=/etc/rs/rs.key,CAFILE=/etc/rs/ca.pem,"
        "CAPATH=/etc/rs/cas,SERVER_AUTH={rs.example.com},CIPHER=ECDHE-RSA-AES128-GCM-SHA256]" };
    const Entries entries = DeployTransport::environment(daemon, std::nullopt, kNoParameters);
    ASSERT_FALSE(entries.empty());
    EXPECT_EQ(entries[0], "RS_DRIVER=TCPIPv4SSL");
    for (const auto& entry : entries)
        EXPECT_THAT(entry, Not(HasSubstr("rs.key")));
    const auto argument = deployArgument(entries);
    EXPECT_EQ(argument.certificate, "");
    EXPECT_EQ(argument.privateKey, "");
    EXPECT_EQ(argument.fileType, "");
    EXPECT_EQ(argument.caFile, "/etc/rs/ca.pem");
    EXPECT_EQ(argument.caPath, "/etc/rs/cas");
    EXPECT_EQ(argument.serverAuth, "{rs.example.com}");
    EXPECT_EQ(argument.cipher, "ECDHE-RSA-AES128-GCM-SHA256");
}

TEST(DeployTransportTest, AnArgumentLeftEmptyStillReplacesWhatTheHostHas)
{
    for (const DriverSelection& daemon : { DriverSelection { "TCPIPv4SSL", std::nullopt },
             DriverSelection { "TCPIPv4SSL", "ssl[CERTIFICATE=/etc/rs/rs.pem]" },
             DriverSelection { "TCPIPv4SSL", "SSL[]" } })
        EXPECT_EQ(DeployTransport::environment(daemon, std::nullopt, kNoParameters),
            (Entries { "RS_DRIVER=TCPIPv4SSL", "RS_DRIVER_ARG=" }))
            << daemon.argument.value_or("(unset)");
}

TEST(DeployTransportTest, TheOperatorsDeployArgumentWinsAndIsPassedAsItStands)
{
    const DriverSelection daemon { "TCPIPv4SSL", "SSL[CERTIFICATE=/etc/rs/rs.pem,CAFILE=/etc/rs/ca.pem]" };
    EXPECT_EQ(DeployTransport::environment(daemon, "SSL[SERVER_AUTH=HOST,CAFILE=/opt/ca.pem]", kNoParameters),
        (Entries { "RS_DRIVER=TCPIPv4SSL", "RS_DRIVER_ARG=SSL[SERVER_AUTH=HOST,CAFILE=/opt/ca.pem]" }));
    // "$NAME" is left for the host's cluster configuration.
    int lookups = 0;
    auto counting = [&](const std::string&) -> std::optional<std::string> {
        ++lookups;
        return "SSL[CAFILE=/here.pem]";
    };
    EXPECT_EQ(DeployTransport::environment(daemon, "$HOST_SSL", counting)[1], "RS_DRIVER_ARG=$HOST_SSL");
    EXPECT_EQ(lookups, 0);
}

TEST(DeployTransportTest, AParameterNamedByTheDaemonsArgumentIsReadHereAndFiltered)
{
    auto parameters = [](const std::string& name) -> std::optional<std::string> {
        if (name == "RS_SSL")
            return "SSL[CERTIFICATE=/etc/rs/rs.pem,PRIVATE_KEY=/etc/rs/rs.key,CAFILE=/etc/rs/ca.pem]";
        return std::nullopt;
    };
    const auto argument
        = deployArgument(DeployTransport::environment({ "TCPIPv4SSL", "$RS_SSL" }, std::nullopt, parameters));
    EXPECT_EQ(argument.caFile, "/etc/rs/ca.pem");
    EXPECT_EQ(argument.privateKey, "");
    // A parameter that is gone is handed on by name: the host may know it.
    EXPECT_EQ(DeployTransport::environment({ "TCPIPv4SSL", "$GONE" }, std::nullopt, parameters)[1],
        "RS_DRIVER_ARG=$GONE");
}

TEST(DeployTransportTest, TheDeployCommandAcceptsEveryMessageTheDaemonMaySend)
{
    EXPECT_TRUE(DeployTransport::messageLimit(std::nullopt).empty()) << "both sides keep the default";
    EXPECT_EQ(
        DeployTransport::messageLimit("2147483648"), Entries { "ZEPHCOMM_MAX_MESSAGE_SIZE=2147483648" });
    EXPECT_EQ(DeployTransport::messageLimit("lots"),
        Entries { "ZEPHCOMM_MAX_MESSAGE_SIZE=" + std::to_string(zephcomm::wire::kDefaultMaxMessageSize) })
        << "a value the daemon could not read is its default";
}

TEST(DeployTransportTest, AnArgumentThatDoesNotParseIsKeptAsItIs)
{
    for (const std::string text : { "TLS[CAFILE=/ca.pem]", "SSL[CAFILE=/ca.pem", "SSL[NOSUCH=1]" })
        EXPECT_EQ(DeployTransport::clientArgument(text), text);
}

} // namespace
} // namespace rs
