#include "zephcomm/driver/ByteStream.h"

#include "zephcomm/driver/SocketOps.h"

namespace zephcommTcpDrv {

ssize_t PlainStream::readv(const iovec* iov, int count)
{
    return SocketOps::readv(fd_, iov, count);
}

ssize_t PlainStream::writev(const iovec* iov, int count)
{
    return SocketOps::writev(fd_, iov, count);
}

std::unique_ptr<ByteStream> PlainStreamFactory::open(int fd, StreamRole, const std::string&, int& error)
{
    error = 0;
    return std::make_unique<PlainStream>(fd);
}

} // namespace zephcommTcpDrv
