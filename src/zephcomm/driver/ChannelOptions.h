#pragma once
// The socket options a channel accepts by name, with the environment
// variables that take precedence over the values given, and the value strings
// recorded for reading back.
//
//   "TCP_SEND_BUFFER_SIZE"  ZEPHCOMMDRV_TCP_SEND_BUFFER_SIZE  >= 65535  SO_SNDBUF
//   "TCP_RECV_BUFFER_SIZE"  ZEPHCOMMDRV_TCP_RECV_BUFFER_SIZE  >= 65535  SO_RCVBUF
//   "TCP_KEEP_ALIVE_TIME"   ZEPHCOMMDRV_TCP_KEEPALIVE_TIME    >= 180 s  keep-alive idle
//                                                                       time, 1 s probes
//   "TCP_NODELAY"           ZEPHCOMMDRV_TCP_NODELAY           0 or 1    TCP_NODELAY
//
// Not synchronised: used under the owning channel's lock.

#include <optional>
#include <string>

namespace zephcommdrv {
class Logger;
}

namespace zephcommTcpDrv {

class ChannelOptions {
public:
    static constexpr const char* kDefaultBufferSize = "65535";

    explicit ChannelOptions(zephcommdrv::Logger* logger)
        : logger_(logger)
    {
    }

    // Applies option `name` to socket `fd`; true when applied.
    bool apply(int fd, const std::string& name, const std::string& value);
    // The recorded value string; none for an unknown or never applied name.
    std::optional<std::string> value(const std::string& name) const;

    // What every new connection gets: keep-alive on, default buffer sizes, no
    // delay, and the keep-alive time when its variable is set.
    void applyDefaults(int fd);

private:
    zephcommdrv::Logger* logger_;
    std::optional<std::string> values_[4];
};

} // namespace zephcommTcpDrv
