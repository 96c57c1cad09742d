#pragma once
// How a channel's bytes reach its socket. The channel's queueing, limits,
// time-outs and callbacks do not depend on it; a stream only moves bytes:
// PlainStream straight through the socket, an encrypting stream through its
// record layer.
//
// Threads: a stream belongs to one channel and is called under that
// channel's lock only, so it needs no lock of its own.
//
// Lifetime: owned by the channel; the socket is owned by the channel too
// and outlives the stream.

#include "zephcomm/driver/zephcommdrv.h"

#include <ace/Event_Handler.h>

#include <sys/types.h>
#include <sys/uio.h>

#include <memory>
#include <string>

namespace zephcommTcpDrv {

class ByteStream {
public:
    virtual ~ByteStream() = default;

    // Reads into the buffers in order. Returns the byte count (0: the peer
    // ended the connection in order), SocketOps::kWouldBlock, or a negative
    // driver error.
    virtual ssize_t readv(const iovec* iov, int count) = 0;
    // True when a read that returns fewer bytes than asked has taken all
    // there was: the caller then waits for readiness instead of reading
    // again only to be told to wait. Not so for a stream that reads in
    // records, which may return one record of several.
    virtual bool shortReadTakesAll() const { return false; }
    // Writes from the buffers in order. Returns the bytes taken (the caller
    // offers the rest again later), SocketOps::kWouldBlock, or a negative
    // driver error. Never raises SIGPIPE.
    virtual ssize_t writev(const iovec* iov, int count) = 0;
    // Socket readiness the stream itself waits for, beyond what the
    // channel's own requests ask, while a read (`reading`) or a write
    // (`writing`) is waiting: an encrypting stream may have to read before a
    // write can go on, or write before a read can.
    virtual ACE_Reactor_Mask extraInterest(bool /*reading*/, bool /*writing*/) const
    {
        return ACE_Event_Handler::NULL_MASK;
    }
    // The connection is ending: a last word to the peer where the protocol
    // has one. Never blocks; the socket is still open.
    virtual void close() { }
};

// Which end of the connection a stream is made for.
enum class StreamRole { Accepted, Connected };

// Makes the stream of each new connection. Shared by the driver and its
// acceptors and connectors; callable from any thread.
class StreamFactory {
public:
    virtual ~StreamFactory() = default;
    // A stream over the connected non-blocking socket `fd` (not owned).
    // `peerHost` is the host name a connector was asked for (empty for an
    // accepted connection). Null on failure, with `error` set (negative).
    virtual std::unique_ptr<ByteStream> open(int fd, StreamRole role, const std::string& peerHost, int& error)
        = 0;
};

// Plain TCP: the bytes go to the socket as they are.
class PlainStream final : public ByteStream {
public:
    explicit PlainStream(int fd)
        : fd_(fd)
    {
    }
    ssize_t readv(const iovec* iov, int count) override;
    bool shortReadTakesAll() const override { return true; }
    ssize_t writev(const iovec* iov, int count) override;

private:
    const int fd_;
};

class PlainStreamFactory final : public StreamFactory {
public:
    std::unique_ptr<ByteStream> open(
        int fd, StreamRole role, const std::string& peerHost, int& error) override;
};

} // namespace zephcommTcpDrv
