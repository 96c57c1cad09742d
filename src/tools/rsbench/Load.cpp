#include "tools/rsbench/Load.h"

#include "interfaces/IRepository.h"
#include "interfaces/IRepositoryResp.h"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <set>

namespace rsbench {

std::vector<ClientPtr> openSessions(int port, int count, const Account& account, const std::string& consumer,
    int threads, std::string* failure)
{
    std::vector<ClientPtr> clients(static_cast<size_t>(count));
    std::atomic<int> next { 0 };
    std::atomic<bool> failed { false };
    std::mutex failureLock;
    auto work = [&] {
        for (int i; !failed && (i = next.fetch_add(1)) < count;) {
            int error = 0;
            auto client = rsclient::Client::connect(
                "127.0.0.1:" + std::to_string(port), IRepository::kInterfaceName, kAnswerWait, &error);
            std::string why;
            if (!client)
                why = "connection " + std::to_string(i) + " failed (" + std::to_string(error) + ")";
            else if (int32_t code
                     = client->call<IRepository::logon_Call>(kAnswerWait, account.credential(), consumer)
                           .code();
                     code != 0)
                why = "logon " + std::to_string(i) + " failed (" + std::to_string(code) + ")";
            if (!why.empty()) {
                std::lock_guard lock(failureLock);
                if (!failed.exchange(true) && failure)
                    *failure = why;
                return;
            }
            clients[static_cast<size_t>(i)] = std::move(client);
        }
    };
    std::vector<std::thread> workers;
    for (int t = 0; t < std::max(1, threads); ++t)
        workers.emplace_back(work);
    for (auto& worker : workers)
        worker.join();
    std::erase(clients, nullptr);
    return clients;
}

namespace {

std::set<int> openSockets()
{
    std::set<int> sockets;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd", error)) {
        std::error_code unreadable;
        const auto target = std::filesystem::read_symlink(entry.path(), unreadable);
        if (!unreadable && target.string().starts_with("socket:"))
            sockets.insert(std::atoi(entry.path().filename().c_str()));
    }
    return sockets;
}

// Payload bytes received on TCP socket `fd`; null for any other descriptor.
std::optional<uint64_t> tcpBytesReceived(int fd)
{
    tcp_info info {};
    socklen_t length = sizeof info;
    if (::getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &length) != 0
        || length < offsetof(tcp_info, tcpi_bytes_received) + sizeof info.tcpi_bytes_received)
        return std::nullopt;
    return info.tcpi_bytes_received;
}

} // namespace

std::optional<uint64_t> bytesReceivedDuring(int port, const Account& account, const std::string& consumer,
    const std::function<bool(rsclient::Client&)>& exchange, std::string* failure)
{
    const std::set<int> before = openSockets();
    auto opened = openSessions(port, 1, account, consumer, 1, failure);
    if (opened.empty())
        return std::nullopt;
    std::optional<int> socket;
    for (int fd : openSockets()) {
        if (before.count(fd) != 0 || !tcpBytesReceived(fd))
            continue;
        if (socket) {
            *failure = "the connection's socket could not be told apart";
            return std::nullopt;
        }
        socket = fd;
    }
    const auto start = socket ? tcpBytesReceived(*socket) : std::nullopt;
    if (!start) {
        *failure = "the connection's socket was not found";
        return std::nullopt;
    }
    if (!exchange(*opened.front())) {
        *failure = "the requests failed";
        return std::nullopt;
    }
    const auto end = tcpBytesReceived(*socket);
    if (!end) {
        *failure = "the connection's socket is gone";
        return std::nullopt;
    }
    return *end - *start;
}

std::vector<rsclient::Client*> firstClients(const std::vector<ClientPtr>& clients, size_t count)
{
    std::vector<rsclient::Client*> chosen;
    for (size_t i = 0; i < std::min(count, clients.size()); ++i)
        chosen.push_back(clients[i].get());
    return chosen;
}

} // namespace rsbench
