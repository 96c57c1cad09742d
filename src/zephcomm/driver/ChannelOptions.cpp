#include "zephcomm/driver/ChannelOptions.h"

#include "zephcomm/driver/DriverLog.h"
#include "zephcomm/driver/SocketOps.h"

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace zephcommTcpDrv {

namespace {

enum class Kind { SendBuffer, RecvBuffer, KeepAlive, NoDelay };

struct OptionSpec {
    const char* name;
    const char* variable;
    long minimum;
    long maximum;
    Kind kind;
};

// Looked up in this order.
constexpr OptionSpec kOptions[] = {
    { "TCP_SEND_BUFFER_SIZE", "ZEPHCOMMDRV_TCP_SEND_BUFFER_SIZE", 65535, INT_MAX, Kind::SendBuffer },
    { "TCP_RECV_BUFFER_SIZE", "ZEPHCOMMDRV_TCP_RECV_BUFFER_SIZE", 65535, INT_MAX, Kind::RecvBuffer },
    { "TCP_KEEP_ALIVE_TIME", "ZEPHCOMMDRV_TCP_KEEPALIVE_TIME", 180, INT_MAX / 1000, Kind::KeepAlive },
    { "TCP_NODELAY", "ZEPHCOMMDRV_TCP_NODELAY", 0, 1, Kind::NoDelay },
};

bool parseInRange(const char* text, const OptionSpec& spec, long& value)
{
    if (!text || !*text)
        return false;
    char* end = nullptr;
    errno = 0;
    value = std::strtol(text, &end, 10);
    return errno == 0 && *end == '\0' && value >= spec.minimum && value <= spec.maximum;
}

int setSocketOption(int fd, Kind kind, long value)
{
    switch (kind) {
    case Kind::SendBuffer:
        return SocketOps::setIntOption(fd, SOL_SOCKET, SO_SNDBUF, static_cast<int>(value));
    case Kind::RecvBuffer:
        return SocketOps::setIntOption(fd, SOL_SOCKET, SO_RCVBUF, static_cast<int>(value));
    case Kind::KeepAlive:
        return SocketOps::setKeepAlive(fd, static_cast<int>(value), 1);
    case Kind::NoDelay:
        return SocketOps::setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, static_cast<int>(value));
    }
    return zephcommdrv::kInvalid;
}

void logFailure(zephcommdrv::Logger* logger, Kind kind, const std::string& value, int error)
{
    switch (kind) {
    case Kind::SendBuffer:
        TCPDRV_LOG(logger, "TcpChannel::option() : SEND_BUFFER_SIZE - error setting to value %s, errno #%d",
            value.c_str(), -error);
        break;
    case Kind::RecvBuffer:
        TCPDRV_LOG(logger, "TcpChannel::option() : RECV_BUFFER_SIZE - error setting to value %s, errno #%d",
            value.c_str(), -error);
        break;
    case Kind::KeepAlive:
        if (error == 0)
            TCPDRV_LOG(logger, "TcpChannel::option() : KEEPALIVE_TIME - error setting to wrong value %s",
                value.c_str());
        else
            TCPDRV_LOG(
                logger, "TcpChannel::option() : WSAIoctl(SIO_KEEPALIVE_VALS) returns error #%d", -error);
        break;
    case Kind::NoDelay:
        TCPDRV_LOG(logger, "TcpChannel::option() : TCP_NODELAY - error setting to value %s, errno #%d",
            value.c_str(), -error);
        break;
    }
}

} // namespace

bool ChannelOptions::apply(int fd, const std::string& name, const std::string& value)
{
    for (size_t index = 0; index < std::size(kOptions); ++index) {
        const OptionSpec& spec = kOptions[index];
        if (name != spec.name)
            continue;
        long number = 0;
        std::string used;
        const char* fromEnvironment = std::getenv(spec.variable);
        if (parseInRange(fromEnvironment, spec, number))
            used = fromEnvironment;
        else if (parseInRange(value.c_str(), spec, number))
            used = value;
        else {
            logFailure(logger_, spec.kind, value, 0);
            return false;
        }
        const int rc = setSocketOption(fd, spec.kind, number);
        if (rc != 0) {
            logFailure(logger_, spec.kind, used, rc);
            return false;
        }
        values_[index] = spec.kind == Kind::NoDelay ? value : used;
        return true;
    }
    TCPDRV_LOG(logger_, "TcpChannel::option() : ERROR setting to unknown option %s", name.c_str());
    return false;
}

std::optional<std::string> ChannelOptions::value(const std::string& name) const
{
    for (size_t index = 0; index < std::size(kOptions); ++index) {
        if (name == kOptions[index].name)
            return values_[index];
    }
    return std::nullopt;
}

void ChannelOptions::applyDefaults(int fd)
{
    SocketOps::setIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    apply(fd, "TCP_SEND_BUFFER_SIZE", kDefaultBufferSize);
    apply(fd, "TCP_RECV_BUFFER_SIZE", kDefaultBufferSize);
    apply(fd, "TCP_NODELAY", "1");
    if (const char* keepAlive = std::getenv("ZEPHCOMMDRV_TCP_KEEPALIVE_TIME"))
        apply(fd, "TCP_KEEP_ALIVE_TIME", keepAlive);
}

} // namespace zephcommTcpDrv
