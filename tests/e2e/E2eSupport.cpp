#include "e2e/E2eSupport.h"

#include "interfaces/rpc/RpcCodecs.h"
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

std::unique_ptr<rsclient::Client> connectTo(int port, const std::string& interfaceName)
{
    return rsclient::Client::connect("127.0.0.1:" + std::to_string(port), interfaceName, kAnswerWait);
}

int32_t logonOn(rsclient::Client& client, const std::string& credential, const std::string& consumer)
{
    if (client.interfaceName() == kRepository)
        return client.call<IRepository::logon_Call>(kAnswerWait, credential, consumer).code();
    return client.call<IAppDeployment::logon_Call>(kAnswerWait, credential, consumer).code();
}

std::unique_ptr<rsclient::Client> loggedOn(
    int port, const std::string& interfaceName, const std::string& consumer)
{
    auto client = connectTo(port, interfaceName);
    if (!client || logonOn(*client, kAdminCredential, consumer) != 0)
        return nullptr;
    return client;
}

Added upload(rsclient::Client& repository, const std::string& module, const std::string& fileName,
    const std::string& bytes, size_t pieceSize)
{
    Added added;
    for (size_t offset = 0; offset == 0 || offset < bytes.size(); offset += pieceSize) {
        const bool last = offset + pieceSize >= bytes.size();
        const int32_t flag = last ? 1 : offset == 0 ? 0 : 2;
        auto piece = rpc::makeBlock(bytes.substr(offset, pieceSize));
        auto reply
            = repository.call<IRepository::addModule_Call>(kAnswerWait, module, fileName, piece.get(), flag);
        added.code = reply.code();
        added.version = reply.arrived() && reply->version() ? *reply->version() : "";
        if (added.code != 0 || last)
            break;
    }
    return added;
}

std::optional<RepositoryAppEntry> listed(rsclient::Client& repository, const std::string& module)
{
    auto reply = repository.call<IRepository::getModuleList_Call>(kAnswerWait);
    if (reply.arrived() && reply->applicationList())
        for (const RepositoryAppEntry& entry : reply->applicationList()->entries())
            if (entry.moduleName == module)
                return entry;
    return std::nullopt;
}

Fetched fetch(rsclient::Client& repository, const std::string& module, const std::string& version,
    const std::string& consumer)
{
    auto reply = repository.call<IRepository::getModule_Call>(kAnswerWait, module, version, consumer);
    return { reply.code(), reply.arrived() ? rpc::blockText(reply->moduleData()) : "" };
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

bool WireClient::sendRaw(const std::string& bytes)
{
    for (size_t sent = 0; sent < bytes.size();) {
        const ssize_t n = ::send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool WireClient::readExactly(void* buffer, size_t length, std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    auto* bytes = static_cast<char*>(buffer);
    while (length > 0) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p { fd_, POLLIN, 0 };
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        const ssize_t n = ::recv(fd_, bytes, length, 0);
        if (n <= 0)
            return false;
        bytes += n;
        length -= static_cast<size_t>(n);
    }
    return true;
}

bool WireClient::handshake(const std::string& interfaceName)
{
    unsigned char header[wire::kHeaderSize];
    if (!readExactly(header, sizeof header, std::chrono::seconds(30)))
        return false;
    wire::HeaderFields fields = wire::decodeHeader(header);
    if (fields.typeId != wire::typeIdentifier(wire::kHandshakeTypeName) || fields.payloadSize > 4096)
        return false;
    std::string name(fields.payloadSize, '\0');
    if (!readExactly(name.data(), name.size(), std::chrono::seconds(30)))
        return false;
    wire::Handshake mine(interfaceName);
    return sendRaw(std::string(reinterpret_cast<const char*>(mine.headerBytes()), mine.headerLength())
        + std::string(reinterpret_cast<const char*>(mine.payloadBytes()), mine.payloadLength()));
}

std::string payloadOf(const zephcomm::Call& call)
{
    std::string payload;
    for (const ACE_Message_Block* b = call.payload(); b; b = b->cont())
        payload.append(b->rd_ptr(), b->length());
    return payload;
}

std::string messageOf(const std::string& typeName, const std::string& payload)
{
    unsigned char header[wire::kHeaderSize];
    wire::encodeHeader(static_cast<uint32_t>(payload.size()), wire::typeIdentifier(typeName), header);
    return std::string(reinterpret_cast<char*>(header), sizeof header) + payload;
}

bool WireClient::send(const std::string& interfaceName, const zephcomm::Call& call)
{
    return sendRaw(messageOf(interfaceName + "::" + call.methodName(), payloadOf(call)));
}

bool WireClient::receive(
    const std::string& interfaceName, zephcomm::Call& into, std::chrono::milliseconds limit)
{
    unsigned char header[wire::kHeaderSize];
    if (!readExactly(header, sizeof header, limit))
        return false;
    wire::HeaderFields fields = wire::decodeHeader(header);
    std::vector<char> payload(fields.payloadSize);
    if (!readExactly(payload.data(), payload.size(), limit)
        || fields.typeId != wire::typeIdentifier(interfaceName + "::" + into.methodName()))
        return false;
    ACE_Message_Block block(payload.size() + 8);
    // CDR reads assume the payload starts on an aligned address.
    ACE_CDR::mb_align(&block);
    block.copy(payload.data(), payload.size());
    return into.unmarshal(&block) == 0;
}

bool WireClient::closedByPeer(std::chrono::milliseconds limit)
{
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (char byte;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd p { fd_, POLLIN, 0 };
        if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
            return false;
        const ssize_t n = ::recv(fd_, &byte, 1, 0);
        if (n == 0 || (n < 0 && errno == ECONNRESET))
            return true;
        if (n < 0)
            return false;
    }
}

std::optional<int32_t> wireLogon(WireClient& client, const std::string& interfaceName,
    const std::string& credential, const std::string& consumer)
{
    const auto codeOf = [](const auto& answer) { return answer.error() ? answer.error()->getCode() : -1; };
    if (interfaceName == kRepository) {
        IRepositoryResp::logonResp_Call answer(zephCDRMarshal::prototype);
        if (!client.send(kRepository, IRepository::logon_Call(credential, consumer))
            || !client.receive("IRepositoryResp", answer))
            return std::nullopt;
        return codeOf(answer);
    }
    IAppDeploymentResp::logonResp_Call answer(zephCDRMarshal::prototype);
    if (!client.send(kDeployment, IAppDeployment::logon_Call(credential, consumer))
        || !client.receive("IAppDeploymentResp", answer))
        return std::nullopt;
    return codeOf(answer);
}

bool wireVersion(WireClient& client, const std::string& interfaceName)
{
    KavVersion empty;
    if (interfaceName == kRepository) {
        IRepositoryResp::getRSVersionResp_Call answer(zephCDRMarshal::prototype);
        return client.send(kRepository, IRepository::getRSVersion_Call(empty, empty, 0))
            && client.receive("IRepositoryResp", answer);
    }
    IAppDeploymentResp::getRSVersionResp_Call answer(zephCDRMarshal::prototype);
    return client.send(kDeployment, IAppDeployment::getRSVersion_Call(empty, 0))
        && client.receive("IAppDeploymentResp", answer);
}

bool serves(int port, const std::string& interfaceName)
{
    WireClient client;
    return client.connect(port, interfaceName) && wireLogon(client, interfaceName, kAdminCredential) == 0
        && wireVersion(client, interfaceName);
}

} // namespace rs::e2e
