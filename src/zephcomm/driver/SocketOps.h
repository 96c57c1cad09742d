#pragma once
// Every raw socket system call of the TCP driver, and the one place where
// errno becomes a driver error value (minus errno; kWouldBlock for "try again
// when the event loop says so"). Stateless; callable from any thread.

#include <sys/types.h>
#include <sys/uio.h>

#include <cstddef>
#include <string>

struct sockaddr_in;

namespace zephcommTcpDrv::SocketOps {

// Not a driver error: the operation would block; wait for readiness. No
// errno comes near this value.
constexpr int kWouldBlock = -100000;

// Minus the errno of the failed call (never 0: -EIO when errno is 0).
int lastError();
int fromErrno(int err);

// Text of a driver error value ("No error", "Operation timeout", ...).
std::string errorText(int error);

// Gathered non-blocking I/O. Both return the byte count (0 from readv is the
// peer's orderly close), kWouldBlock, or a negative driver error. Interrupted
// calls are retried. writev never raises SIGPIPE.
ssize_t readv(int fd, const iovec* iov, int count);
ssize_t writev(int fd, const iovec* iov, int count);

int setNonBlocking(int fd);
int setIntOption(int fd, int level, int name, int value);
int getIntOption(int fd, int level, int name, int& value);
// SO_KEEPALIVE on with the given idle time and probe interval in seconds.
int setKeepAlive(int fd, int idleSeconds, int intervalSeconds);
// Stops both directions so that the peer and any waiting poll see the end;
// the descriptor itself stays open until close().
void shutdownBoth(int fd);
void close(int fd);

// A non-blocking listening socket bound to `addr` with address reuse on.
// Returns the descriptor or a negative driver error.
int listenOn(const sockaddr_in& addr, int backlog);
// Returns the new non-blocking descriptor, kWouldBlock or a negative error.
int accept(int listenFd);
// Starts a non-blocking connect. Returns the descriptor (connecting) or a
// negative error; `inProgress` tells whether completion is still to come.
int startConnect(const sockaddr_in& addr, bool& inProgress);
// The outcome of a finished connect: 0 or a negative error.
int connectResult(int fd);
int localAddress(int fd, sockaddr_in& addr);
// The connected peer as "a.b.c.d:port" ("unknown peer" when unavailable).
std::string peerName(int fd);

// "host:port" (host name or dotted address) into an IPv4 address.
// Returns 0, or a negative error (kInvalid for bad syntax).
int parseAddress(const std::string& text, sockaddr_in& addr);
// The local host name (gethostname).
std::string hostName();
// Reverse look-up of an IPv4 address; empty when none.
std::string reverseLookup(const sockaddr_in& addr);
// Forward look-up of a host name to its first IPv4 address; 0 or an error.
int resolve(const std::string& host, sockaddr_in& addr);

} // namespace zephcommTcpDrv::SocketOps
