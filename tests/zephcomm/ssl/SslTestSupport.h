#pragma once
// Helpers of the SSL driver tests: driver arguments over the test PKI, and
// a pair of drivers (server and client side, each with its own argument)
// connected through an acceptor on loopback.

#include "zephcomm/driver/DriverTestSupport.h"
#include "zephcomm/ssl/TestPki.h"

#include <string>

namespace ssltest {

using drvtest::CapturingLogger;
using drvtest::Kind;
using drvtest::RecordingHandler;

inline std::string serverArgument(const TestPki& pki)
{
    return "SSL[CERTIFICATE=" + pki.serverCertificate + ",PRIVATE_KEY=" + pki.serverKey + "]";
}

inline std::string verifyingClientArgument(const TestPki& trusted, const std::string& serverAuth = "HOST")
{
    return "SSL[SERVER_AUTH=" + serverAuth + ",CAFILE=" + trusted.caFile + "]";
}

// A server-side and a client-side SSL driver, the server listening on
// 127.0.0.1. Each side has its own logger.
class DriverPair {
public:
    // Empty arguments mean no argument. Returns the factory results.
    int start(const std::string& serverArg, const std::string& clientArg)
    {
        int rc = zephcommdrv::create_IO_Driver(
            &server, 2, &serverLog, "TCPIPv4SSL", serverArg.empty() ? nullptr : serverArg.c_str());
        if (rc != 0)
            return rc;
        rc = zephcommdrv::create_IO_Driver(
            &client, 2, &clientLog, "TCPIPv4SSL", clientArg.empty() ? nullptr : clientArg.c_str());
        if (rc != 0)
            return rc;
        acceptor = server->createAcceptor("127.0.0.1:0");
        if (!acceptor || acceptor->startAccept(&acceptHandler, 0) != 0)
            return -1;
        port = drvtest::portOf(acceptor);
        return port > 0 ? 0 : -1;
    }

    ~DriverPair()
    {
        if (serverChannel)
            serverChannel->destroy();
        if (clientChannel)
            clientChannel->destroy();
        if (acceptor) {
            acceptor->destroy();
            acceptHandler.next(Kind::Accept, std::chrono::seconds(5));
        }
        if (connector)
            connector->destroy();
        if (server)
            server->destroy();
        if (client)
            client->destroy();
    }

    // Connects the client side to `host` at the server's port; true when
    // both ends hold a channel (TLS has not run yet: it runs with the first
    // bytes).
    bool connect(const std::string& host = "localhost")
    {
        connector = client->createConnector();
        if (connector->connect(host + ":" + std::to_string(port), &clientHandler, 10000) != 0)
            return false;
        auto connected = clientHandler.next(Kind::Connect);
        auto accepted = acceptHandler.next(Kind::Accept);
        if (!connected || !accepted || connected->error != 0 || accepted->error != 0)
            return false;
        clientChannel = connected->channel;
        serverChannel = accepted->channel;
        return true;
    }

    CapturingLogger serverLog;
    CapturingLogger clientLog;
    zephcommdrv::Driver* server = nullptr;
    zephcommdrv::Driver* client = nullptr;
    zephcommdrv::Acceptor* acceptor = nullptr;
    zephcommdrv::Connector* connector = nullptr;
    RecordingHandler acceptHandler;
    RecordingHandler clientHandler;
    RecordingHandler serverHandler;
    zephcommdrv::Channel* clientChannel = nullptr;
    zephcommdrv::Channel* serverChannel = nullptr;
    int port = 0;
};

} // namespace ssltest
