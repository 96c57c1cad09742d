#include "zephcomm/driver/SocketOps.h"

#include "zephcomm/driver/zephcommdrv.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace zephcommTcpDrv::SocketOps {

int fromErrno(int err)
{
    if (err == EAGAIN || err == EWOULDBLOCK)
        return kWouldBlock;
    return err > 0 ? -err : -EIO;
}

int lastError()
{
    return fromErrno(errno);
}

std::string errorText(int error)
{
    if (error == 0)
        return "No error";
    if (error > 0)
        return "Operation timeout";
    if (error == zephcommdrv::kAborted)
        return "Operation aborted";
    const int code = error == zephcommdrv::kNotConnected ? ENOTCONN : -error;
    // Only the range the C library names; its text for others is a guess.
    if (code > 0 && code < 4096) {
        char buffer[256];
        const char* text = strerror_r(code, buffer, sizeof buffer);
        if (text && std::strncmp(text, "Unknown error", 13) != 0)
            return std::string(text).substr(0, 2048);
    }
    char text[64];
    std::snprintf(text, sizeof text, "unknown error : %d", error);
    return text;
}

ssize_t readv(int fd, const iovec* iov, int count)
{
    for (;;) {
        const ssize_t n = ::readv(fd, iov, count);
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return lastError();
    }
}

ssize_t writev(int fd, const iovec* iov, int count)
{
    msghdr message {};
    message.msg_iov = const_cast<iovec*>(iov);
    message.msg_iovlen = static_cast<size_t>(count);
    for (;;) {
        const ssize_t n = ::sendmsg(fd, &message, MSG_NOSIGNAL);
        if (n >= 0)
            return n;
        if (errno != EINTR)
            return lastError();
    }
}

int setNonBlocking(int fd)
{
    const int flags = ::fcntl(fd, F_GETFL, 0);
    if (flags < 0 || ::fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0)
        return lastError();
    return 0;
}

int setIntOption(int fd, int level, int name, int value)
{
    return ::setsockopt(fd, level, name, &value, sizeof value) == 0 ? 0 : lastError();
}

int getIntOption(int fd, int level, int name, int& value)
{
    socklen_t length = sizeof value;
    return ::getsockopt(fd, level, name, &value, &length) == 0 ? 0 : lastError();
}

int setKeepAlive(int fd, int idleSeconds, int intervalSeconds)
{
    int rc = setIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    if (rc == 0)
        rc = setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, idleSeconds);
    if (rc == 0)
        rc = setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, intervalSeconds);
    return rc;
}

void shutdownBoth(int fd)
{
    ::shutdown(fd, SHUT_RDWR);
}

void close(int fd)
{
    if (fd >= 0)
        ::close(fd);
}

int listenOn(const sockaddr_in& addr, int backlog)
{
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return lastError();
    int rc = setIntOption(fd, SOL_SOCKET, SO_REUSEADDR, 1);
    if (rc == 0 && ::bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0)
        rc = lastError();
    if (rc == 0 && ::listen(fd, backlog) != 0)
        rc = lastError();
    if (rc != 0) {
        ::close(fd);
        return rc;
    }
    return fd;
}

int accept(int listenFd)
{
    for (;;) {
        const int fd = ::accept4(listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0)
            return fd;
        // A connection reset before it was taken is the peer's business.
        if (errno != EINTR && errno != ECONNABORTED)
            return lastError();
    }
}

int startConnect(const sockaddr_in& addr, bool& inProgress)
{
    inProgress = false;
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return lastError();
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0)
        return fd;
    if (errno == EINPROGRESS || errno == EINTR) {
        inProgress = true;
        return fd;
    }
    const int rc = lastError();
    ::close(fd);
    return rc;
}

int connectResult(int fd)
{
    int pending = 0;
    const int rc = getIntOption(fd, SOL_SOCKET, SO_ERROR, pending);
    if (rc != 0)
        return rc;
    return pending == 0 ? 0 : fromErrno(pending);
}

int localAddress(int fd, sockaddr_in& addr)
{
    socklen_t length = sizeof addr;
    return ::getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &length) == 0 ? 0 : lastError();
}

std::string peerName(int fd)
{
    sockaddr_in addr {};
    socklen_t length = sizeof addr;
    char dotted[INET_ADDRSTRLEN] = {};
    if (::getpeername(fd, reinterpret_cast<sockaddr*>(&addr), &length) != 0 || addr.sin_family != AF_INET
        || !::inet_ntop(AF_INET, &addr.sin_addr, dotted, sizeof dotted))
        return "unknown peer";
    return std::string(dotted) + ":" + std::to_string(ntohs(addr.sin_port));
}

int resolve(const std::string& host, sockaddr_in& addr)
{
    addrinfo hints {};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    const int rc = ::getaddrinfo(host.c_str(), nullptr, &hints, &found);
    if (rc != 0 || !found)
        return rc == EAI_SYSTEM ? lastError() : -EHOSTUNREACH;
    addr.sin_addr = reinterpret_cast<const sockaddr_in*>(found->ai_addr)->sin_addr;
    ::freeaddrinfo(found);
    return 0;
}

int parseAddress(const std::string& text, sockaddr_in& addr)
{
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 >= text.size())
        return zephcommdrv::kInvalid;
    char* end = nullptr;
    const long port = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != '\0' || port < 0 || port > 65535)
        return zephcommdrv::kInvalid;
    const std::string host = text.substr(0, colon);
    addr = sockaddr_in {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    if (host.empty() || ::inet_pton(AF_INET, host.c_str(), &addr.sin_addr) == 1)
        return 0;
    return resolve(host, addr);
}

std::string hostName()
{
    char name[256] = {};
    if (::gethostname(name, sizeof name - 1) != 0)
        return "localhost";
    return name;
}

std::string reverseLookup(const sockaddr_in& addr)
{
    char host[NI_MAXHOST] = {};
    if (::getnameinfo(
            reinterpret_cast<const sockaddr*>(&addr), sizeof addr, host, sizeof host, nullptr, 0, NI_NAMEREQD)
        != 0)
        return {};
    return host;
}

} // namespace zephcommTcpDrv::SocketOps
