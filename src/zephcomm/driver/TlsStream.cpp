#include "zephcomm/driver/TlsStream.h"

#include "zephcomm/driver/DriverLog.h"
#include "zephcomm/driver/IoVectors.h"
#include "zephcomm/driver/SocketOps.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <sys/socket.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>

namespace zephcommSslTcpDrv {

using zephcommTcpDrv::SocketOps::kWouldBlock;

namespace {

// Buffers below this size are gathered into one record; larger ones go
// straight from the caller's bytes. One TLS record carries at most this much.
constexpr size_t kStageBytes = 16384;
// Plaintext encrypted per socket write when much is offered: several
// records leave in one system call instead of one call per record. About
// what the socket's send buffer takes at once.
constexpr size_t kGatherBytes = 128 * 1024;

int socketOf(BIO* bio)
{
    return static_cast<SocketSink*>(BIO_get_data(bio))->fd;
}

ssize_t sendSome(int fd, const char* data, size_t length)
{
    for (;;) {
        const ssize_t n = ::send(fd, data, length, MSG_NOSIGNAL);
        if (n >= 0 || errno != EINTR)
            return n;
    }
}

int bioWrite(BIO* bio, const char* data, int length)
{
    BIO_clear_retry_flags(bio);
    auto* sink = static_cast<SocketSink*>(BIO_get_data(bio));
    // Records made while gathering, or behind records still waiting, join
    // the queue so that they leave in order.
    if (sink->gathering || !sink->pending.empty()) {
        sink->pending.insert(sink->pending.end(), data, data + length);
        return length;
    }
    const ssize_t n = sendSome(sink->fd, data, static_cast<size_t>(length));
    if (n >= 0)
        return static_cast<int>(n);
    if (errno == EAGAIN || errno == EWOULDBLOCK)
        BIO_set_retry_write(bio);
    return -1;
}

int bioRead(BIO* bio, char* data, int length)
{
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = ::recv(socketOf(bio), data, static_cast<size_t>(length), 0);
        if (n >= 0)
            return static_cast<int>(n);
        if (errno == EINTR)
            continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK)
            BIO_set_retry_read(bio);
        return -1;
    }
}

long bioControl(BIO*, int command, long, void*)
{
    // Writes go out at once, so there is never anything to flush.
    return command == BIO_CTRL_FLUSH ? 1 : 0;
}

int bioCreate(BIO* bio)
{
    BIO_set_init(bio, 1);
    return 1;
}

int bioDestroy(BIO* bio)
{
    delete static_cast<SocketSink*>(BIO_get_data(bio));
    BIO_set_data(bio, nullptr);
    return 1;
}

const BIO_METHOD* socketMethod()
{
    static BIO_METHOD* method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "zephcomm socket");
        if (m) {
            BIO_meth_set_write(m, bioWrite);
            BIO_meth_set_read(m, bioRead);
            BIO_meth_set_ctrl(m, bioControl);
            BIO_meth_set_create(m, bioCreate);
            BIO_meth_set_destroy(m, bioDestroy);
        }
        return m;
    }();
    return method;
}

size_t clamp(size_t length)
{
    return length < size_t(INT_MAX) ? length : size_t(INT_MAX);
}

} // namespace

BIO* newSocketBio(int fd)
{
    const BIO_METHOD* method = socketMethod();
    BIO* bio = method ? BIO_new(method) : nullptr;
    if (bio)
        BIO_set_data(bio, new SocketSink { fd, false, {} });
    return bio;
}

TlsStream::TlsStream(SSL* ssl, zephcommdrv::Logger* logger, bool gathers)
    : ssl_(ssl)
    , logger_(logger)
    , sink_(gathers ? static_cast<SocketSink*>(BIO_get_data(SSL_get_wbio(ssl))) : nullptr)
{
}

TlsStream::~TlsStream()
{
    SSL_free(ssl_);
}

ssize_t TlsStream::readv(const iovec* iov, int count)
{
    readWants_ = ACE_Event_Handler::NULL_MASK;
    ssize_t total = 0;
    for (int i = 0; i < count; ++i) {
        const ssize_t n = readInto(static_cast<char*>(iov[i].iov_base), iov[i].iov_len);
        if (n <= 0) {
            total = total > 0 ? total : n;
            break;
        }
        total += n;
        if (static_cast<size_t>(n) < iov[i].iov_len)
            break;
    }
    // Readiness is waited for only when nothing could be read.
    if (total != kWouldBlock)
        readWants_ = ACE_Event_Handler::NULL_MASK;
    return total;
}

ssize_t TlsStream::readInto(char* buffer, size_t length)
{
    if (fatal_ != 0)
        return fatal_;
    if (ended_)
        return 0;
    size_t total = 0;
    while (total < length) {
        ERR_clear_error();
        errno = 0;
        size_t got = 0;
        if (SSL_read_ex(ssl_, buffer + total, clamp(length - total), &got) != 1) {
            const int outcome = failure(readWants_, true);
            return total > 0 ? static_cast<ssize_t>(total) : outcome;
        }
        total += got;
    }
    return static_cast<ssize_t>(total);
}

ssize_t TlsStream::writev(const iovec* iov, int count)
{
    writeWants_ = ACE_Event_Handler::NULL_MASK;
    if (fatal_ != 0)
        return fatal_;
    size_t offered = 0;
    for (int i = 0; i < count; ++i)
        offered += iov[i].iov_len;
    if (sink_ && (!sink_->pending.empty() || (offered > kStageBytes && SSL_is_init_finished(ssl_))))
        return writeGathered(iov, count, offered);
    return writeRecords(iov, count, SIZE_MAX);
}

ssize_t TlsStream::writeGathered(const iovec* iov, int count, size_t offered)
{
    // Records of an earlier call whose bytes the socket did not take all
    // go first; their plaintext is reported taken only once they are out.
    if (const ssize_t flushed = flushPending(); flushed < 0)
        return flushed;
    if (!sink_->pending.empty()) {
        writeWants_ = ACE_Event_Handler::WRITE_MASK;
        return kWouldBlock;
    }
    const size_t credit = ahead_;
    ahead_ = 0;
    // The caller offers those bytes again from where they began: skip them.
    std::vector<iovec>& rest = restIov_;
    rest.assign(iov, iov + count);
    const size_t first = zephcommTcpDrv::skipBytes(rest.data(), 0, rest.size(), credit);
    ssize_t encrypted = 0;
    if (first < rest.size()) {
        sink_->gathering = true;
        encrypted = writeRecords(rest.data() + first, static_cast<int>(rest.size() - first), kGatherBytes);
        sink_->gathering = false;
    }
    const ssize_t flushed = flushPending();
    if (flushed < 0)
        return credit > 0 ? static_cast<ssize_t>(credit) : flushed;
    if (encrypted <= 0) {
        // Nothing new was taken: what stopped it, unless earlier bytes are now out.
        if (credit > 0) {
            if (credit >= offered)
                releaseGatherBuffer();
            return static_cast<ssize_t>(credit);
        }
        if (encrypted == kWouldBlock && !sink_->pending.empty())
            writeWants_ |= ACE_Event_Handler::WRITE_MASK;
        return encrypted == 0 && offered > 0 ? kWouldBlock : encrypted;
    }
    if (sink_->pending.empty()) {
        if (credit + static_cast<size_t>(encrypted) == offered)
            releaseGatherBuffer();
        return static_cast<ssize_t>(credit) + encrypted;
    }
    ahead_ = static_cast<size_t>(encrypted);
    if (credit > 0)
        return static_cast<ssize_t>(credit);
    writeWants_ = ACE_Event_Handler::WRITE_MASK;
    return kWouldBlock;
}

ssize_t TlsStream::flushPending()
{
    std::vector<char>& pending = sink_->pending;
    size_t sent = 0;
    while (sent < pending.size()) {
        const ssize_t n = sendSome(sink_->fd, pending.data() + sent, pending.size() - sent);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                break;
            fatal_ = zephcommTcpDrv::SocketOps::fromErrno(errno);
            pending.clear();
            return fatal_;
        }
        sent += static_cast<size_t>(n);
    }
    pending.erase(pending.begin(), pending.begin() + static_cast<std::ptrdiff_t>(sent));
    return static_cast<ssize_t>(sent);
}

void TlsStream::releaseGatherBuffer()
{
    // Everything offered is out: the connection may now stay idle for long,
    // so its gathering room goes back.
    std::vector<char>().swap(sink_->pending);
}

ssize_t TlsStream::writeRecords(const iovec* iov, int count, size_t budget)
{
    ssize_t total = 0;
    int i = 0;
    while (i < count && static_cast<size_t>(total) < budget) {
        const char* data = static_cast<const char*>(iov[i].iov_base);
        size_t length = iov[i].iov_len;
        if (length < kStageBytes) {
            // The same buffers are gathered again when a blocked write is
            // offered anew, so the retried record starts with the same bytes.
            stage_.clear();
            while (i < count && stage_.size() + iov[i].iov_len <= kStageBytes) {
                const char* part = static_cast<const char*>(iov[i].iov_base);
                stage_.insert(stage_.end(), part, part + iov[i].iov_len);
                ++i;
            }
            data = stage_.data();
            length = stage_.size();
        } else {
            length = std::min(length, budget - static_cast<size_t>(total));
            ++i;
        }
        if (length == 0)
            continue;
        const ssize_t n = writeAll(data, length);
        if (n <= 0) {
            total = total > 0 ? total : n;
            break;
        }
        total += n;
        if (static_cast<size_t>(n) < length)
            break;
    }
    if (total != kWouldBlock)
        writeWants_ = ACE_Event_Handler::NULL_MASK;
    return total;
}

ssize_t TlsStream::writeAll(const char* data, size_t length)
{
    if (fatal_ != 0)
        return fatal_;
    size_t total = 0;
    while (total < length) {
        ERR_clear_error();
        errno = 0;
        size_t written = 0;
        if (SSL_write_ex(ssl_, data + total, clamp(length - total), &written) != 1) {
            const int outcome = failure(writeWants_, false);
            return total > 0 ? static_cast<ssize_t>(total) : outcome;
        }
        total += written;
    }
    return static_cast<ssize_t>(total);
}

int TlsStream::failure(ACE_Reactor_Mask& wants, bool reading)
{
    const int savedErrno = errno;
    switch (SSL_get_error(ssl_, 0)) {
    case SSL_ERROR_WANT_READ:
        wants = ACE_Event_Handler::READ_MASK;
        return kWouldBlock;
    case SSL_ERROR_WANT_WRITE:
        wants = ACE_Event_Handler::WRITE_MASK;
        return kWouldBlock;
    case SSL_ERROR_ZERO_RETURN:
        ended_ = true;
        return reading ? 0 : zephcommdrv::kNotConnected;
    case SSL_ERROR_SYSCALL:
        if (savedErrno == 0) {
            // The socket ended without the protocol's goodbye: an end on
            // reads, as on plain TCP, and no goodbye of ours either.
            fatal_ = zephcommdrv::kNotConnected;
            return reading ? 0 : fatal_;
        }
        fatal_ = zephcommTcpDrv::SocketOps::fromErrno(savedErrno);
        if (fatal_ == kWouldBlock)
            fatal_ = -EIO;
        return fatal_;
    default:
        logFailure();
        fatal_ = -EPROTO;
        return fatal_;
    }
}

void TlsStream::logFailure()
{
    char reason[256] = "unknown";
    const unsigned long code = ERR_peek_last_error();
    if (code != 0)
        ERR_error_string_n(code, reason, sizeof reason);
    const long verified = SSL_get_verify_result(ssl_);
    if (verified != X509_V_OK)
        TCPDRV_LOG(logger_, "TcpChannel::ssl() : error - %s (certificate: %s)", reason,
            X509_verify_cert_error_string(verified));
    else
        TCPDRV_LOG(logger_, "TcpChannel::ssl() : error - %s", reason);
    ERR_clear_error();
}

void TlsStream::close()
{
    if (fatal_ != 0 || !SSL_is_init_finished(ssl_))
        return;
    // One try at the goodbye; the socket is shut down right after, so a
    // peer that does not answer costs nothing.
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
    if (sink_)
        flushPending();
}

} // namespace zephcommSslTcpDrv
