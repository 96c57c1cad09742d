// The daemon over the SSL driver, chosen through RS_DRIVER and
// RS_DRIVER_ARG, driven by the client library: a verified session under a
// CA made at test time, refusals for the wrong CA or a plain TCP client,
// and an anonymous session.

#include "client/RsClient.h"
#include "e2e/E2eSupport.h"
#include "interfaces/IRepository.h"
#include "interfaces/IRepositoryResp.h"
#include "zephcomm/driver/DriverSelection.h"
#include "zephcomm/driver/KernelTls.h"
#include "zephcomm/router/DriverLoader.h"
#include "zephcomm/ssl/SslTestSupport.h"

#include <gtest/gtest.h>

#include <iostream>

namespace {

using namespace std::chrono_literals;
using namespace rs::e2e;
using drvtest::ScopedEnv;
using namespace ssltest;

constexpr auto kWait = 60s;

class SslDaemon : public ::testing::Test {
protected:
    static void SetUpTestSuite()
    {
        dir = new ScratchDir();
        pki = new TestPki(makeTestPki(dir->path(), "service"));
        stranger = new TestPki(makeTestPki(dir->path(), "stranger"));
    }
    static void TearDownTestSuite()
    {
        delete stranger;
        delete pki;
        delete dir;
    }

    // The client side loads its driver anew from the environment of the
    // next connection.
    void TearDown() override { zephcomm::fini(); }

    // Starts the daemon with the SSL driver and `argument` (none when empty).
    bool startDaemon(const std::string& argument)
    {
        RunOptions options;
        options.env[zephcommdrv::kDriverVariable] = "TCPIPv4SSL";
        if (!argument.empty())
            options.env[zephcommdrv::kDriverArgumentVariable] = argument;
        const bool serving = daemon.start(options);
        EXPECT_TRUE(serving) << daemon.failure;
        return serving;
    }

    // Connects with the client library as the environment selects, logs on
    // as the admin and lists the modules (with `moduleBytes`, first stores a
    // module of that many bytes and reads it back); the connect error, or
    // the first failing answer's code.
    int session(const std::string& host = "localhost", size_t moduleBytes = 0)
    {
        int error = 0;
        auto client = rsclient::Client::connect(
            host + ":" + std::to_string(daemon.port), IRepository::kInterfaceName, kWait, &error);
        if (!client)
            return error != 0 ? error : -1;
        auto logon = client->call<IRepository::logon_Call>(
            kWait, std::string(kAdminUser) + ":" + kAdminPassword, std::string(kKnownConsumer));
        if (logon.code() != 0)
            return logon.code();
        if (moduleBytes > 0) {
            const int rc = storeAndFetch(*client, drvtest::pattern(moduleBytes, 5));
            if (rc != 0)
                return rc;
        }
        return client->call<IRepository::getModuleList_Call>(kWait).code();
    }

    static int storeAndFetch(rsclient::Client& client, const std::string& contents)
    {
        rpc::BlockPtr block = rpc::makeBlock(contents);
        auto added = client.call<IRepository::addModule_Call>(
            kWait, std::string("tlsmodule"), std::string("tlsmodule.bin"), block.get(), int32_t(1));
        if (added.code() != 0)
            return added.code();
        auto got = client.call<IRepository::getModule_Call>(
            kWait, std::string("tlsmodule"), std::string("1"), std::string(kKnownConsumer));
        if (got.code() != 0)
            return got.code();
        EXPECT_TRUE(rpc::blockText(got->moduleData()) == contents);
        return 0;
    }

    static ScratchDir* dir;
    static TestPki* pki;
    static TestPki* stranger;
    ServingDaemon daemon;
};

ScratchDir* SslDaemon::dir = nullptr;
TestPki* SslDaemon::pki = nullptr;
TestPki* SslDaemon::stranger = nullptr;

TEST_F(SslDaemon, AClientThatVerifiesTheServiceUnderItsCaWorksAsOverTcp)
{
    ASSERT_TRUE(startDaemon(serverArgument(*pki)));
    EXPECT_NE(daemon.cluster.logText().find("driver=TCPIPv4SSL"), std::string::npos);
    ScopedEnv driver(zephcommdrv::kDriverVariable, "TCPIPv4SSL");
    ScopedEnv argument(zephcommdrv::kDriverArgumentVariable, verifyingClientArgument(*pki).c_str());
    // A module of several TLS records and operation limits each way.
    EXPECT_EQ(session("localhost", 3 * 1024 * 1024 + 11), 0);
    // The record path the daemon took is said once: kernel TLS where this
    // machine offers it, else OpenSSL's, which is then what was tested.
    const bool kernel = zephcommSslTcpDrv::kernelTlsOffered();
    const std::string log = daemon.cluster.logText();
    const std::string said
        = kernel ? "SSL driver: kernel TLS is offered" : "SSL driver: kernel TLS is not offered";
    EXPECT_NE(log.find(said), std::string::npos);
    EXPECT_EQ(log.find("SSL driver: kernel TLS", log.find(said) + 1), std::string::npos);
    if (!kernel)
        std::cout
            << "kernel TLS is not offered on this machine: the transfer went through OpenSSL's records\n";
}

TEST_F(SslDaemon, AClientTrustingAnotherCaIsRefusedAndTheServiceServesOn)
{
    ASSERT_TRUE(startDaemon(serverArgument(*pki)));
    ScopedEnv driver(zephcommdrv::kDriverVariable, "TCPIPv4SSL");
    {
        ScopedEnv argument(zephcommdrv::kDriverArgumentVariable, verifyingClientArgument(*stranger).c_str());
        EXPECT_NE(session(), 0);
        zephcomm::fini();
    }
    ScopedEnv argument(zephcommdrv::kDriverArgumentVariable, verifyingClientArgument(*pki).c_str());
    EXPECT_EQ(session(), 0);
}

TEST_F(SslDaemon, APlainTcpClientGetsNoSession)
{
    ASSERT_TRUE(startDaemon(serverArgument(*pki)));
    ScopedEnv driver(zephcommdrv::kDriverVariable, nullptr);
    ScopedEnv argument(zephcommdrv::kDriverArgumentVariable, nullptr);
    EXPECT_NE(session(), 0);
}

TEST_F(SslDaemon, AMalformedArgumentStopsTheStartWithTheDriversResult)
{
    RunOptions options;
    options.env[zephcommdrv::kDriverVariable] = "TCPIPv4SSL";
    options.env[zephcommdrv::kDriverArgumentVariable] = "SSL[COLOR=red]";
    ASSERT_FALSE(daemon.start(options));
    const std::optional<int> status = daemon.process.waitForExit();
    ASSERT_TRUE(status.has_value());
    EXPECT_NE(*status, 0);
    EXPECT_NE(daemon.failure.find("create_IO_Driver() error #-5"), std::string::npos) << daemon.failure;
}

} // namespace
