// Setting the SSL driver up from its argument: defaults, the failure texts
// and results of each step, and the driver factory's name.

#include "zephcomm/driver/DriverSelection.h"
#include "zephcomm/driver/SslContexts.h"
#include "zephcomm/ssl/SslTestSupport.h"

#include <gtest/gtest.h>

namespace {

using namespace ssltest;
using zephcommSslTcpDrv::SslContexts;

class SslDriverSetup : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new ScratchDir();
        pki = new TestPki(makeTestPki(dir->path(), "setup"));
    }
    static void TearDownTestSuite()
    {
        delete pki;
        delete dir;
    }

    // The factory's result for `argument`; a driver that comes up is destroyed.
    int createWith(const std::string& argument)
    {
        zephcommdrv::Driver* driver = nullptr;
        const int rc = zephcommdrv::create_IO_Driver(&driver, 1, &log, "TCPIPv4SSL", argument.c_str());
        if (driver)
            driver->destroy();
        else
            EXPECT_NE(rc, 0);
        return rc;
    }

    static ScratchDir* dir;
    static TestPki* pki;
    CapturingLogger log;
};

ScratchDir* SslDriverSetup::dir = nullptr;
TestPki* SslDriverSetup::pki = nullptr;

TEST_F(SslDriverSetup, NoArgumentGivesAWorkingAnonymousDriverAndWarns)
{
    zephcommdrv::Driver* driver = nullptr;
    ASSERT_EQ(zephcommdrv::create_IO_Driver(&driver, 1, &log, "TCPIPv4SSL", nullptr), 0);
    ASSERT_NE(driver, nullptr);
    EXPECT_STREQ(driver->defaultAddress(), "0.0.0.0:0");
    driver->destroy();
    EXPECT_TRUE(log.contains("the server is not authenticated"));

    int rc = 1;
    auto contexts = SslContexts::create(nullptr, &log, rc);
    ASSERT_NE(contexts, nullptr);
    EXPECT_EQ(rc, 0);
    EXPECT_TRUE(contexts->anonymousServer());
    EXPECT_FALSE(contexts->verifiesServer());
    EXPECT_NE(contexts->serverCipherList().find(SslContexts::kAnonymousCiphers), std::string::npos);
    EXPECT_NE(contexts->clientCipherList().find(SslContexts::kAnonymousCiphers), std::string::npos);
}

TEST_F(SslDriverSetup, AnEmptyCipherUsesTheDefaultLists)
{
    int rc = 1;
    auto defaults = SslContexts::create(nullptr, &log, rc);
    auto empty = SslContexts::create("SSL[CIPHER=]", &log, rc);
    ASSERT_NE(defaults, nullptr);
    ASSERT_NE(empty, nullptr);
    EXPECT_EQ(empty->serverCipherList(), defaults->serverCipherList());
    EXPECT_EQ(empty->clientCipherList(), defaults->clientCipherList());
}

TEST_F(SslDriverSetup, AGivenCipherListIsUsedOnBothSides)
{
    int rc = 1;
    auto contexts = SslContexts::create("SSL[CIPHER=ECDHE+AESGCM]", &log, rc);
    ASSERT_NE(contexts, nullptr);
    EXPECT_EQ(contexts->serverCipherList(), "ECDHE+AESGCM");
    EXPECT_EQ(contexts->clientCipherList(), "ECDHE+AESGCM");
}

TEST_F(SslDriverSetup, ACertificateSelectsTheDefaultSuitesWithoutWarning)
{
    int rc = 1;
    auto contexts = SslContexts::create(serverArgument(*pki).c_str(), &log, rc);
    ASSERT_NE(contexts, nullptr) << rc;
    EXPECT_FALSE(contexts->anonymousServer());
    EXPECT_TRUE(contexts->serverCipherList().empty());
    EXPECT_FALSE(log.contains("not authenticated"));
}

TEST_F(SslDriverSetup, AnUnknownNameMakesTheArgumentMalformed)
{
    EXPECT_EQ(createWith("SSL[COLOR=red]"), SslContexts::kCipherOrArgumentFailed);
    EXPECT_TRUE(log.contains("Driver argument parameter's format incorrect : 'SSL[COLOR=red]'."));
    EXPECT_EQ(createWith("SS"), SslContexts::kCipherOrArgumentFailed);
    EXPECT_EQ(createWith("SSL[SERVER_AUTH=SOMETIMES,CAFILE=" + pki->caFile + "]"),
        SslContexts::kCipherOrArgumentFailed);
}

TEST_F(SslDriverSetup, ServerAuthenticationWithoutTrustedCaFails)
{
    EXPECT_EQ(createWith("SSL[SERVER_AUTH=HOST]"), SslContexts::kTrustedCaFailed);
    EXPECT_TRUE(log.contains("SSL Error: Client does not have trusted CA file."));
    EXPECT_EQ(createWith("SSL[SERVER_AUTH={db.example}]"), SslContexts::kTrustedCaFailed);
    // NONE asks for nothing, so it needs nothing.
    EXPECT_EQ(createWith("SSL[SERVER_AUTH=NONE]"), 0);
    EXPECT_EQ(createWith(verifyingClientArgument(*pki)), 0);
}

TEST_F(SslDriverSetup, TheRetiredDefaultCipherIsRefusedWithItsText)
{
    EXPECT_EQ(createWith("SSL[CIPHER=ADH-DES-CBC3-SHA]"), SslContexts::kCipherOrArgumentFailed);
    EXPECT_TRUE(log.contains("Error setting cipher list as 'ADH-DES-CBC3-SHA' : "));
}

TEST_F(SslDriverSetup, FileFailuresStopTheSetUpWithTheirResults)
{
    const std::string missing = dir->path() + "/missing.pem";
    EXPECT_EQ(createWith("SSL[CERTIFICATE=" + missing + "]"), SslContexts::kCertificateFailed);
    EXPECT_TRUE(log.contains("Error setting SSL sertificate from file '" + missing + "' : "));

    EXPECT_EQ(createWith("SSL[CERTIFICATE=" + pki->serverCertificate + ",PRIVATE_KEY=" + pki->otherKey + "]"),
        SslContexts::kPrivateKeyFailed);
    EXPECT_TRUE(log.contains("Error setting SSL private key from file '" + pki->otherKey + "' : "));

    // The certificate's own file holds no key.
    EXPECT_EQ(createWith("SSL[CERTIFICATE=" + pki->serverCertificate + "]"), SslContexts::kPrivateKeyFailed);

    EXPECT_EQ(createWith("SSL[CAFILE=" + missing + "]"), SslContexts::kTrustedCaFailed);
    EXPECT_TRUE(log.contains("Error setting SSL trusted CA from file '" + missing + "' : "));

    // PEM files read as DER fail.
    EXPECT_EQ(createWith("SSL[FILETYPE=ASN1,CERTIFICATE=" + pki->serverCertificate + "]"),
        SslContexts::kCertificateFailed);
}

TEST_F(SslDriverSetup, DerFilesLoadWithFiletypeAsn1)
{
    EXPECT_EQ(createWith("SSL[FILETYPE=ASN1,CERTIFICATE=" + pki->serverCertificateDer
                  + ",PRIVATE_KEY=" + pki->serverKeyDer + "]"),
        0);
}

TEST(SslDriverFactory, UnknownNamesStayRefused)
{
    CapturingLogger log;
    zephcommdrv::Driver* driver = nullptr;
    EXPECT_EQ(zephcommdrv::create_IO_Driver(&driver, 1, &log, "TCPIPv4ssl", nullptr), zephcommdrv::kInvalid);
    EXPECT_EQ(driver, nullptr);
}

} // namespace

namespace {

TEST(DriverSelection, TheEnvironmentNamesDriverAndArgumentAndEmptyMeansUnset)
{
    {
        drvtest::ScopedEnv driver(zephcommdrv::kDriverVariable, "TCPIPv4SSL");
        drvtest::ScopedEnv argument(zephcommdrv::kDriverArgumentVariable, "SSL[CIPHER=HIGH]");
        const zephcommdrv::DriverSelection chosen = zephcommdrv::driverSelectionFromEnvironment();
        EXPECT_EQ(chosen.name.value_or(""), "TCPIPv4SSL");
        EXPECT_EQ(chosen.argument.value_or(""), "SSL[CIPHER=HIGH]");
        EXPECT_STREQ(zephcommdrv::wordOrNull(chosen.name), "TCPIPv4SSL");
    }
    drvtest::ScopedEnv driver(zephcommdrv::kDriverVariable, "");
    drvtest::ScopedEnv argument(zephcommdrv::kDriverArgumentVariable, nullptr);
    const zephcommdrv::DriverSelection chosen = zephcommdrv::driverSelectionFromEnvironment();
    EXPECT_FALSE(chosen.name.has_value());
    EXPECT_FALSE(chosen.argument.has_value());
    EXPECT_EQ(zephcommdrv::wordOrNull(chosen.name), nullptr);
}

} // namespace
