// The daemon over the SSL driver, chosen through RS_DRIVER and
// RS_DRIVER_ARG, driven by the client library: a verified session under a
// CA made at test time, and a start refused for a malformed argument.

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

TEST(SslDaemon, AClientThatVerifiesTheServiceUnderItsCaWorksAsOverTcp)
{
    ScratchDir dir;
    const TestPki pki = makeTestPki(dir.path(), "service");
    ServingDaemon daemon;
    RunOptions options;
    options.env[zephcommdrv::kDriverVariable] = "TCPIPv4SSL";
    options.env[zephcommdrv::kDriverArgumentVariable] = serverArgument(pki);
    ASSERT_TRUE(daemon.start(options)) << daemon.failure;
    EXPECT_NE(daemon.cluster.logText().find("driver=TCPIPv4SSL"), std::string::npos);

    ScopedEnv driver(zephcommdrv::kDriverVariable, "TCPIPv4SSL");
    ScopedEnv argument(zephcommdrv::kDriverArgumentVariable, verifyingClientArgument(pki).c_str());
    int error = 0;
    auto client = rsclient::Client::connect(
        "localhost:" + std::to_string(daemon.port), IRepository::kInterfaceName, kWait, &error);
    ASSERT_TRUE(client) << error;
    auto logon = client->call<IRepository::logon_Call>(
        kWait, std::string(kAdminUser) + ":" + kAdminPassword, std::string(kKnownConsumer));
    ASSERT_EQ(logon.code(), 0);
    // A module of several TLS records and operation limits each way.
    const std::string contents = drvtest::pattern(3 * 1024 * 1024 + 11, 5);
    rpc::BlockPtr block = rpc::makeBlock(contents);
    auto added = client->call<IRepository::addModule_Call>(
        kWait, std::string("tlsmodule"), std::string("tlsmodule.bin"), block.get(), int32_t(1));
    ASSERT_EQ(added.code(), 0);
    auto got = client->call<IRepository::getModule_Call>(
        kWait, std::string("tlsmodule"), std::string("1"), std::string(kKnownConsumer));
    ASSERT_EQ(got.code(), 0);
    EXPECT_TRUE(rpc::blockText(got->moduleData()) == contents);
    // The record path the daemon took is said once: kernel TLS where this
    // machine offers it, else OpenSSL's, which is then what was tested.
    const bool kernel = zephcommSslTcpDrv::kernelTlsOffered();
    const std::string log = daemon.cluster.logText();
    const std::string said
        = kernel ? "SSL driver: kernel TLS is offered" : "SSL driver: kernel TLS is not offered";
    EXPECT_NE(log.find(said), std::string::npos);
    EXPECT_EQ(log.find("SSL driver: kernel TLS", log.find(said) + 1), std::string::npos);
    if (!kernel)
        std::cout << "kernel TLS is not offered on this machine: the transfer went through OpenSSL's records\n";
    client.reset();
    zephcomm::fini();
}

} // namespace
