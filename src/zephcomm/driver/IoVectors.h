#pragma once
// Walking arrays of I/O buffers after a partial write.

#include <sys/uio.h>

#include <cstddef>

namespace zephcommTcpDrv {

// Moves past `bytes` of the buffers iov[first, count): returns the index of
// the first buffer with bytes left, that buffer shortened by what was taken
// of it. Empty buffers on the way are passed over.
inline size_t skipBytes(iovec* iov, size_t first, size_t count, size_t bytes)
{
    while (first < count && bytes >= iov[first].iov_len)
        bytes -= iov[first++].iov_len;
    if (first < count) {
        iov[first].iov_base = static_cast<char*>(iov[first].iov_base) + bytes;
        iov[first].iov_len -= bytes;
    }
    return first;
}

} // namespace zephcommTcpDrv
