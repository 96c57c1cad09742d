#pragma once
// Kernel TLS: the kernel's "tls" layer on a TCP socket, which encrypts
// records itself once OpenSSL hands it the session's keys, so sends skip the
// user-space encryption and its buffers. Used when this machine's kernel
// offers it and OpenSSL was built with it; otherwise OpenSSL encrypts.
//
// Threads: callable from any thread; probed once per process.

namespace zephcommSslTcpDrv {

// Whether the kernel accepts the "tls" layer (loading its module on
// demand) and OpenSSL can use it.
bool kernelTlsOffered();

} // namespace zephcommSslTcpDrv
