#include "tools/rsbench/Load.h"

#include "interfaces/IRepository.h"
#include "interfaces/IRepositoryResp.h"

#include <mutex>

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

std::vector<rsclient::Client*> firstClients(const std::vector<ClientPtr>& clients, size_t count)
{
    std::vector<rsclient::Client*> chosen;
    for (size_t i = 0; i < std::min(count, clients.size()); ++i)
        chosen.push_back(clients[i].get());
    return chosen;
}

} // namespace rsbench
