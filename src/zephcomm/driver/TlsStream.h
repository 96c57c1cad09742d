#pragma once
// A channel's bytes through TLS on the non-blocking socket: SSL_read and
// SSL_write over a socket BIO of our own (send with MSG_NOSIGNAL, so a dead
// peer never raises SIGPIPE). The handshake runs inside the first reads and
// writes; a failed handshake fails the operation that drove it.
//
// Writes: small buffers are gathered into one record (a message header and a
// short payload leave together); large buffers are encrypted in place. A
// write that would block is offered again from the same byte, which is what
// the record layer asks of a retried write (moving buffers are allowed).
// When more than a record's worth is offered, up to 128 KiB of it are
// encrypted into the socket sink's queue and leave in one system call;
// records the socket did not take wait there, and their plaintext counts as
// taken only once they are out (the caller offers it again meanwhile and
// the stream skips it).
//
// Errors: SSL_ERROR_WANT_READ/WRITE -> kWouldBlock plus the readiness needed
// (extraInterest); the peer's close_notify or a bare end of the socket -> 0
// on reads, kNotConnected on writes; a system error -> minus errno; a TLS
// failure (handshake, certificate check, bad record) -> -EPROTO, with
// OpenSSL's reason logged. Any failure is final for the stream.
//
// Threads: as every ByteStream, called under its channel's lock only; the
// OpenSSL error queue is per thread and is cleared before each call.

#include "zephcomm/driver/ByteStream.h"

#include <openssl/types.h>

#include <vector>

namespace zephcommSslTcpDrv {

// What the socket BIO writes to: the socket, or, while records are gathered
// or earlier ones still wait, the queue behind them. Owned by the BIO.
struct SocketSink {
    int fd;
    bool gathering = false;
    std::vector<char> pending;
};

// A BIO over the non-blocking socket `fd` (not closed by the BIO), or null.
BIO* newSocketBio(int fd);

class TlsStream final : public zephcommTcpDrv::ByteStream {
public:
    // Takes ownership of `ssl`, which is bound to its socket and set to its
    // end of the handshake. `gathers`: its BIO is ours (newSocketBio), and
    // large writes gather records; not so over kernel TLS, whose socket BIO
    // is OpenSSL's and whose kernel gathers by itself.
    TlsStream(SSL* ssl, zephcommdrv::Logger* logger, bool gathers);
    ~TlsStream() override;
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    ssize_t readv(const iovec* iov, int count) override;
    ssize_t writev(const iovec* iov, int count) override;
    ACE_Reactor_Mask extraInterest(bool reading, bool writing) const override
    {
        ACE_Reactor_Mask wanted = ACE_Event_Handler::NULL_MASK;
        if (reading)
            wanted |= readWants_;
        if (writing)
            wanted |= writeWants_;
        return wanted;
    }
    void close() override;

private:
    // Reads into one buffer until it is full or nothing more can be read
    // now; the count read, or the outcome that stopped it when none was.
    ssize_t readInto(char* buffer, size_t length);
    // Encrypts up to about `budget` bytes of the buffers into records; the
    // count taken, or the outcome that stopped it when none was.
    ssize_t writeRecords(const iovec* iov, int count, size_t budget);
    // Many records' worth offered: encrypted into the sink's queue, sent in one call.
    ssize_t writeGathered(const iovec* iov, int count, size_t offered);
    // Sends what waits in the sink's queue; the count sent or a final error.
    ssize_t flushPending();
    void releaseGatherBuffer();
    // Writes all of one buffer; the count written, or the outcome that
    // stopped it when none was.
    ssize_t writeAll(const char* data, size_t length);
    // The outcome of a failed SSL call; sets `wants` for would-block.
    int failure(ACE_Reactor_Mask& wants, bool reading);
    void logFailure();

    SSL* ssl_;
    zephcommdrv::Logger* logger_;
    ACE_Reactor_Mask readWants_ = ACE_Event_Handler::NULL_MASK;
    ACE_Reactor_Mask writeWants_ = ACE_Event_Handler::NULL_MASK;
    int fatal_ = 0; // the final error once the stream has failed
    bool ended_ = false; // the peer ended the stream
    std::vector<char> stage_;
    SocketSink* sink_; // the BIO's; null without gathering
    size_t ahead_ = 0; // plaintext encrypted into records that still wait in the sink
    std::vector<iovec> restIov_;
};

} // namespace zephcommSslTcpDrv
