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

// "$RS_SSL" names a cluster parameter the daemon can read; "$GONE" one it cannot.
std::optional<std::string> parameter(const std::string& name)
{
    if (name == "RS_SSL")
        return "SSL[CERTIFICATE=/etc/rs/rs.pem,PRIVATE_KEY=/etc/rs/rs.key,CAFILE=/etc/rs/ca.pem]";
    return std::nullopt;
}

TEST(DeployTransportTest, EachDaemonSettingGivesItsEnvironment)
{
    const std::string ssl = "TCPIPv4SSL";
    const struct {
        DriverSelection daemon;
        std::optional<std::string> deployArgument;
        Entries expected;
    } rows[] = {
        // Plain TCP hands nothing on, whatever else is set.
        { {}, std::nullopt, {} },
        { { "TCPIPv4", "SSL[CAFILE=/ca.pem]" }, std::nullopt, {} },
        { {}, "SSL[CAFILE=/ca.pem]", {} },
        // An argument left empty still replaces what the host has.
        { { ssl, std::nullopt }, std::nullopt, { "RS_DRIVER=" + ssl, "RS_DRIVER_ARG=" } },
        { { ssl, "ssl[CERTIFICATE=/etc/rs/rs.pem]" }, std::nullopt,
            { "RS_DRIVER=" + ssl, "RS_DRIVER_ARG=" } },
        // The operator's deploy argument wins and is passed as it stands;
        // "$NAME" there is left for the host's cluster configuration.
        { { ssl, "SSL[CERTIFICATE=/etc/rs/rs.pem]" }, "SSL[SERVER_AUTH=HOST,CAFILE=/opt/ca.pem]",
            { "RS_DRIVER=" + ssl, "RS_DRIVER_ARG=SSL[SERVER_AUTH=HOST,CAFILE=/opt/ca.pem]" } },
        { { ssl, "SSL[CAFILE=/ca.pem]" }, "$RS_SSL", { "RS_DRIVER=" + ssl, "RS_DRIVER_ARG=$RS_SSL" } },
        // A parameter the daemon's argument names but it cannot read is handed on by name.
        { { ssl, "$GONE" }, std::nullopt, { "RS_DRIVER=" + ssl, "RS_DRIVER_ARG=$GONE" } },
    };
    for (const auto& row : rows)
        EXPECT_EQ(DeployTransport::environment(row.daemon, row.deployArgument, parameter), row.expected)
            << row.daemon.name.value_or("(unset)") << " " << row.daemon.argument.value_or("(unset)");
}

// The daemon's own certificate and key stay with the daemon, whether its
// argument is given directly or read from a cluster parameter.
TEST(DeployTransportTest, TheDaemonsIdentityStaysWithTheDaemonAndTheConnectingSettingsGoAlong)
{
    const DriverSelection daemons[] = {
        { "TCPIPv4SSL",
            "SSL[FILETYPE=ASN1,CERTIFICATE=/etc/rs/rs.der,PRIVATE_KEY=/etc/rs/rs.key,CAFILE=/etc/rs/ca.pem,"
            "CAPATH=/etc/rs/cas,SERVER_AUTH={rs.example.com},CIPHER=ECDHE-RSA-AES128-GCM-SHA256]" },
        { "TCPIPv4SSL", "$RS_SSL" },
    };
    for (const DriverSelection& daemon : daemons) {
        const Entries entries = DeployTransport::environment(daemon, std::nullopt, parameter);
        ASSERT_EQ(entries.size(), 2u);
        EXPECT_EQ(entries[0], "RS_DRIVER=TCPIPv4SSL");
        for (const auto& entry : entries)
            EXPECT_THAT(entry, Not(HasSubstr("rs.key")));
        const auto argument = zephcommSslTcpDrv::parseSslDriverArgument(
            entries[1].substr(std::string("RS_DRIVER_ARG=").size()).c_str());
        ASSERT_TRUE(argument.has_value()) << entries[1];
        EXPECT_EQ(argument->certificate, "");
        EXPECT_EQ(argument->privateKey, "");
        EXPECT_EQ(argument->fileType, "");
        EXPECT_EQ(argument->caFile, "/etc/rs/ca.pem");
    }
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

} // namespace
} // namespace rs
