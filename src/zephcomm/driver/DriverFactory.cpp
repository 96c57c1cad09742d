// The driver factory: the TCP and SSL drivers under their names, further
// drivers through registerDriver.

#include "zephcomm/driver/TcpDriver.h"
#include "zephcomm/driver/zephcommdrv.h"

#include <cerrno>
#include <cstring>
#include <map>
#include <mutex>

namespace zephcommdrv {

namespace {

struct Registry {
    std::mutex lock;
    std::map<std::string, DriverFactory> factories;
};

Registry& registry()
{
    static Registry instance;
    return instance;
}

} // namespace

void registerDriver(const std::string& name, DriverFactory factory)
{
    Registry& r = registry();
    std::lock_guard<std::mutex> guard(r.lock);
    r.factories[name] = factory;
}

int create_IO_Driver(Driver** out, int threads, Logger* logger, const char* name, const char* arg)
{
    if (!out)
        return kInvalid;
    *out = nullptr;
    if (!name || !*name || std::strcmp(name, "TCPIPv4") == 0)
        return zephcommTcpDrv::createTcpDriver(out, threads, logger);
    if (std::strcmp(name, "TCPIPv4SSL") == 0)
        return zephcommSslTcpDrv::createSslTcpDriver(out, threads, logger, arg);
    DriverFactory factory = nullptr;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> guard(r.lock);
        auto found = r.factories.find(name);
        if (found != r.factories.end())
            factory = found->second;
    }
    return factory ? factory(out, threads, logger, arg) : kInvalid;
}

} // namespace zephcommdrv

namespace zephcommTcpDrv {

int createTcpDriver(zephcommdrv::Driver** out, int threads, zephcommdrv::Logger* logger)
{
    if (!out)
        return zephcommdrv::kInvalid;
    *out = nullptr;
    auto* driver = new TcpDriver(threads, logger);
    if (!driver->running()) {
        const int error = driver->startError();
        driver->destroy();
        return error != 0 ? error : -EIO;
    }
    *out = driver;
    return 0;
}

} // namespace zephcommTcpDrv
