#pragma once
// The SSL-over-TCP driver ("TCPIPv4SSL"): the TCP driver's event loops, threads,
// channels, queueing, limits, options, acceptor and connector, with every
// connection's bytes going through TLS (see SslContexts and TlsStream).
//
// Threads and lifetime: as zephcommTcpDrv::TcpDriver.

#include "zephcomm/driver/SslContexts.h"
#include "zephcomm/driver/TcpDriver.h"

#include <memory>

namespace zephcommSslTcpDrv {

class TcpDriver final : public zephcommTcpDrv::TcpDriver {
public:
    TcpDriver(int threads, zephcommdrv::Logger* logger, std::shared_ptr<SslContexts> contexts);

    // Readies the server context first; null with errno EPROTO when that fails.
    zephcommdrv::Acceptor* createAcceptor(const std::string& address) override;

    const SslContexts& contexts() const { return *contexts_; }

private:
    ~TcpDriver() override = default;

    const std::shared_ptr<SslContexts> contexts_;
};

} // namespace zephcommSslTcpDrv
