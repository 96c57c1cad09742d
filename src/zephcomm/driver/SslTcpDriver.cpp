#include "zephcomm/driver/SslTcpDriver.h"

#include <cerrno>

namespace zephcommSslTcpDrv {

TcpDriver::TcpDriver(int threads, zephcommdrv::Logger* logger, std::shared_ptr<SslContexts> contexts)
    : zephcommTcpDrv::TcpDriver(threads, logger, contexts)
    , contexts_(std::move(contexts))
{
}

zephcommdrv::Acceptor* TcpDriver::createAcceptor(const std::string& address)
{
    if (!contexts_->prepareAcceptor()) {
        errno = EPROTO;
        return nullptr;
    }
    return zephcommTcpDrv::TcpDriver::createAcceptor(address);
}

int createSslTcpDriver(
    zephcommdrv::Driver** out, int threads, zephcommdrv::Logger* logger, const char* argument)
{
    if (!out)
        return zephcommdrv::kInvalid;
    *out = nullptr;
    int result = 0;
    std::shared_ptr<SslContexts> contexts = SslContexts::create(argument, logger, result);
    if (!contexts)
        return result;
    auto* driver = new TcpDriver(threads, logger, std::move(contexts));
    if (!driver->running()) {
        const int error = driver->startError();
        driver->destroy();
        return error != 0 ? error : -EIO;
    }
    *out = driver;
    return 0;
}

} // namespace zephcommSslTcpDrv
