#include "e2e/WireClient.h"

#include "zephcomm/wire/Handshake.h"
#include "zephcomm/wire/MessageHeader.h"

#include <ace/CDR_Base.h>
#include <ace/Message_Block.h>

#include <arpa/inet.h>
#include <cerrno>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace rs::e2e {

namespace wire = zephcomm::wire;

WireClient::~WireClient()
{
    close();
}

bool WireClient::open(int port)
{
    close();
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ < 0 || ::connect(fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        close();
        return false;
    }
    int one = 1;
    ::setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    return true;
}

void WireClient::close()
{
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

namespace {

// Moves `length` bytes in as many steps as the socket needs. `step` moves
// some of them and returns how many, 0 when no more will come (end of
// stream, time up), or -1 with errno set; interrupted steps are repeated.
template <class Byte, class Step> bool moveAll(Byte* bytes, size_t length, Step step)
{
    while (length > 0) {
        ssize_t n = step(bytes, length);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

bool WireClient::writeAll(const void* buffer, size_t length)
{
    return moveAll(static_cast<const char*>(buffer), length,
        [this](const char* bytes, size_t left) { return ::send(fd_, bytes, left, MSG_NOSIGNAL); });
}

bool WireClient::readExactly(void* buffer, size_t length, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    return moveAll(static_cast<char*>(buffer), length, [&](char* bytes, size_t left) -> ssize_t {
        auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (wait.count() <= 0)
            return 0;
        pollfd p { fd_, POLLIN, 0 };
        const int ready = ::poll(&p, 1, static_cast<int>(wait.count()));
        if (ready <= 0)
            return ready; // -1 with errno (EINTR: wait again), 0: time up
        return ::recv(fd_, bytes, left, 0);
    });
}

std::optional<std::string> WireClient::handshake(const std::string& interfaceName)
{
    unsigned char header[wire::kHeaderSize];
    if (!readExactly(header, sizeof header, std::chrono::seconds(30)))
        return std::nullopt;
    wire::HeaderFields fields = wire::decodeHeader(header);
    if (fields.typeId != wire::typeIdentifier(wire::kHandshakeTypeName) || fields.payloadSize > 4096)
        return std::nullopt;
    std::string name(fields.payloadSize, '\0');
    if (!readExactly(name.data(), name.size(), std::chrono::seconds(30)))
        return std::nullopt;
    wire::Handshake mine(interfaceName);
    if (!writeAll(mine.headerBytes(), mine.headerLength())
        || !writeAll(mine.payloadBytes(), mine.payloadLength()))
        return std::nullopt;
    return name;
}

bool WireClient::send(const std::string& interfaceName, const zephcomm::Call& call)
{
    std::string payload;
    for (const ACE_Message_Block* b = call.payload(); b; b = b->cont())
        payload.append(b->rd_ptr(), b->length());
    unsigned char header[wire::kHeaderSize];
    wire::encodeHeader(static_cast<uint32_t>(payload.size()),
        wire::typeIdentifier(interfaceName + "::" + call.methodName()), header);
    return writeAll(header, sizeof header) && writeAll(payload.data(), payload.size());
}

bool WireClient::sendRaw(const std::string& bytes)
{
    return writeAll(bytes.data(), bytes.size());
}

bool WireClient::receive(
    const std::string& interfaceName, zephcomm::Call& into, std::chrono::milliseconds limit)
{
    unsigned char header[wire::kHeaderSize];
    if (!readExactly(header, sizeof header, limit))
        return false;
    wire::HeaderFields fields = wire::decodeHeader(header);
    std::vector<char> payload(fields.payloadSize);
    if (!readExactly(payload.data(), payload.size(), limit))
        return false;
    if (fields.typeId != wire::typeIdentifier(interfaceName + "::" + into.methodName()))
        return false;
    ACE_Message_Block block(payload.size() + 8);
    // CDR reads assume the payload starts on an aligned address.
    ACE_CDR::mb_align(&block);
    block.copy(payload.data(), payload.size());
    return into.unmarshal(&block) == 0;
}

bool WireClient::closedByPeer(std::chrono::milliseconds limit)
{
    char byte;
    auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        pollfd p { fd_, POLLIN, 0 };
        int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready <= 0)
            return false;
        ssize_t n = ::recv(fd_, &byte, 1, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
        if (n < 0)
            return false;
    }
}

} // namespace rs::e2e
