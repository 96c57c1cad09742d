#include "interfaces/rpc/TestService.h"

namespace rpc::test {

// The answers of one connection: getModule names the module asked for, so
// that tests can tell answers apart; the other requests are only recorded.
class RepositoryServer final : public IRepository::CallCompletionImp {
public:
    RepositoryServer(TestService& service, zephcomm::Channel* channel)
        : service_(service)
        , answers_(kav::RefPtr<IRepositoryRespClient>::adopt(new IRepositoryRespClient(channel)))
    {
    }
    void detach() { answers_->detach(); }

    void getModule(std::unique_ptr<std::string> name, std::unique_ptr<std::string> version,
        std::unique_ptr<std::string> consumer) override
    {
        service_.handle(
            "getModule|" + *name + "|" + *version + "|" + *consumer, [answers = answers_, name = *name] {
                const kav::KavErrorInfo success;
                std::string package = name, file = name + ".zip";
                auto data = rpc::makeBlock("data");
                rs::RepositoryAppList modules;
                answers->getModuleResp(&success, &package, &file, data.get(), &modules);
            });
    }
    void getModuleList() override
    {
        service_.handle("getModuleList", [answers = answers_] {
            const kav::KavErrorInfo success;
            rs::RepositoryAppList modules;
            answers->getModuleListResp(&success, &modules);
        });
    }
    void addModule(
        std::unique_ptr<std::string>, std::unique_ptr<std::string>, rpc::BlockPtr, int32_t) override
    {
        note("addModule");
    }
    void removeModule(std::unique_ptr<std::string>) override { note("removeModule"); }
    void linkModuleApplication(std::unique_ptr<std::string>, std::unique_ptr<std::string>, int32_t) override
    {
        note("linkModuleApplication");
    }
    void logon(std::unique_ptr<std::string>, std::unique_ptr<std::string>) override { note("logon"); }
    void shutdownRS(std::unique_ptr<std::string> reason) override { note("shutdownRS|" + *reason); }
    void getRSVersion(std::unique_ptr<KavVersion>, std::unique_ptr<KavVersion>, int32_t) override
    {
        note("getRSVersion");
    }

private:
    void note(const std::string& request)
    {
        service_.handle(request, [] {});
    }

    TestService& service_;
    kav::RefPtr<IRepositoryRespClient> answers_;
};

bool TestService::start()
{
    if (zephcomm::init(2) != 0)
        return false;
    {
        std::lock_guard guard(lock_);
        stopped_ = false;
    }
    acceptor_
        = new zephcomm::ChannelAcceptor("127.0.0.1:0", "test-service", zephcomm::DriverLoader::instance());
    acceptor_->addHandler(this);
    return acceptor_->accept() == 0 && acceptor_->getConnectAddr(address_) == 0;
}

void TestService::accept_CB(int error, const std::string& peerName, zephcomm::Channel* channel)
{
    if (error != 0)
        return;
    auto* server = new RepositoryServer(*this, channel);
    Connection connection { channel, new zephcomm::Stub(peerName, channel), server };
    connection.stub->bind(IRepository::prototypes(), server);
    channel->reference();
    {
        std::lock_guard guard(lock_);
        if (!stopped_ && peerName == IRepository::kInterfaceName) {
            connections_.push_back(connection);
            return;
        }
    }
    close(connection);
}

void TestService::handle(std::string request, std::function<void()> answer)
{
    bool held = false;
    {
        std::lock_guard guard(lock_);
        requests_.push_back(std::move(request));
        held = holding_;
        if (held)
            held_.push_back(answer);
    }
    changed_.notify_all();
    if (!held)
        answer();
}

std::vector<std::string> TestService::requests() const
{
    std::lock_guard guard(lock_);
    return requests_;
}

bool TestService::waitForRequests(size_t count, std::chrono::milliseconds timeout)
{
    std::unique_lock guard(lock_);
    return changed_.wait_for(guard, timeout, [&] { return requests_.size() >= count; });
}

void TestService::holdAnswers()
{
    std::lock_guard guard(lock_);
    holding_ = true;
}

void TestService::releaseAnswers()
{
    std::vector<std::function<void()>> held;
    {
        std::lock_guard guard(lock_);
        holding_ = false;
        held.swap(held_);
    }
    for (auto& answer : held)
        answer();
}

void TestService::dropConnections()
{
    std::vector<Connection> connections;
    {
        std::lock_guard guard(lock_);
        connections.swap(connections_);
    }
    for (auto& connection : connections)
        close(connection);
}

void TestService::close(Connection& connection)
{
    connection.stub->unbind();
    connection.server->detach();
    connection.channel->destroy();
    connection.channel->release();
    connection.server->release();
}

void TestService::stop()
{
    {
        std::lock_guard guard(lock_);
        stopped_ = true;
    }
    dropConnections();
    if (acceptor_ != nullptr) {
        acceptor_->removeHandler(this);
        std::exchange(acceptor_, nullptr)->destroy();
    }
}

} // namespace rpc::test
