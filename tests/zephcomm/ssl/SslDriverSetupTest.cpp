// Setting the SSL driver up from its argument: the result and text of each
// step that fails.

#include "zephcomm/driver/SslContexts.h"
#include "zephcomm/ssl/SslTestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace ssltest;
using zephcommSslTcpDrv::SslContexts;

TEST(SslDriverSetup, EachStepThatFailsGivesItsResultAndText)
{
    ScratchDir dir;
    const TestPki pki = makeTestPki(dir.path(), "setup");
    const std::string missing = dir.path() + "/missing.pem";
    const struct {
        std::string argument;
        int expected;
        std::string logged;
    } rows[] = {
        { "SSL[COLOR=red]", SslContexts::kCipherOrArgumentFailed,
            "Driver argument parameter's format incorrect : 'SSL[COLOR=red]'." },
        { "SSL[SERVER_AUTH=SOMETIMES,CAFILE=" + pki.caFile + "]", SslContexts::kCipherOrArgumentFailed, "" },
        { "SSL[SERVER_AUTH=HOST]", SslContexts::kTrustedCaFailed,
            "SSL Error: Client does not have trusted CA file." },
        { "SSL[SERVER_AUTH={db.example}]", SslContexts::kTrustedCaFailed, "" },
        { "SSL[CIPHER=ADH-DES-CBC3-SHA]", SslContexts::kCipherOrArgumentFailed,
            "Error setting cipher list as 'ADH-DES-CBC3-SHA' : " },
        { "SSL[CERTIFICATE=" + missing + "]", SslContexts::kCertificateFailed,
            "Error setting SSL sertificate from file '" + missing + "' : " },
        { "SSL[CERTIFICATE=" + pki.serverCertificate + ",PRIVATE_KEY=" + pki.otherKey + "]",
            SslContexts::kPrivateKeyFailed,
            "Error setting SSL private key from file '" + pki.otherKey + "' : " },
        // The certificate's own file holds no key.
        { "SSL[CERTIFICATE=" + pki.serverCertificate + "]", SslContexts::kPrivateKeyFailed, "" },
        { "SSL[CAFILE=" + missing + "]", SslContexts::kTrustedCaFailed,
            "Error setting SSL trusted CA from file '" + missing + "' : " },
        { "SSL[FILETYPE=ASN1,CERTIFICATE=" + pki.serverCertificate + "]", SslContexts::kCertificateFailed,
            "" },
        // NONE asks for nothing, so it needs nothing.
        { "SSL[SERVER_AUTH=NONE]", 0, "" },
        { verifyingClientArgument(pki), 0, "" },
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.argument);
        CapturingLogger log;
        zephcommdrv::Driver* driver = nullptr;
        EXPECT_EQ(zephcommdrv::create_IO_Driver(&driver, 1, &log, "TCPIPv4SSL", row.argument.c_str()),
            row.expected);
        EXPECT_EQ(driver != nullptr, row.expected == 0);
        if (driver)
            driver->destroy();
        if (!row.logged.empty()) {
            EXPECT_TRUE(log.contains(row.logged));
        }
    }
}

} // namespace
