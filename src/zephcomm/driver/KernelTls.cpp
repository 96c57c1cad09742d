#include "zephcomm/driver/KernelTls.h"

#include <openssl/opensslconf.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace zephcommSslTcpDrv {

namespace {

bool probe()
{
#ifdef OPENSSL_NO_KTLS
    return false;
#else
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    // An unconnected socket cannot take the layer, but the kernel tells
    // an unknown layer (ENOENT) apart from a known one refused for now.
    const int rc = ::setsockopt(fd, IPPROTO_TCP, TCP_ULP, "tls", sizeof "tls" - 1);
    const int error = errno;
    ::close(fd);
    return rc == 0 || error != ENOENT;
#endif
}

} // namespace

bool kernelTlsOffered()
{
    static const bool offered = probe();
    return offered;
}

} // namespace zephcommSslTcpDrv
