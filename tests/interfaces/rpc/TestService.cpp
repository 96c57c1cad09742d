#include "interfaces/rpc/TestService.h"

namespace rpc::test {

namespace {
const kav::KavErrorInfo kFailure = sampleError();
const kav::KavErrorInfo kSuccess;
} // namespace

// Every answer but logon's carries the sample failure record, so that both
// forms of the record travel.

void RepositoryServer::addModule(
    std::unique_ptr<std::string> name, std::unique_ptr<std::string> file, rpc::BlockPtr data, int32_t flag)
{
    service_.handle(describe("addModule", status(), name, file, data, flag), [answers = answers_] {
        std::string version = "1.3";
        answers->addModuleResp(&kFailure, &version);
    });
}

void RepositoryServer::removeModule(std::unique_ptr<std::string> name)
{
    service_.handle(describe("removeModule", status(), name),
        [answers = answers_] { answers->removeModuleResp(&kFailure); });
}

void RepositoryServer::getModuleList()
{
    service_.handle(describe("getModuleList", status()), [answers = answers_] {
        auto modules = sampleModules();
        answers->getModuleListResp(&kFailure, &modules);
    });
}

void RepositoryServer::getModule(std::unique_ptr<std::string> name, std::unique_ptr<std::string> version,
    std::unique_ptr<std::string> consumer)
{
    // The answer names the module asked for, so that tests can tell answers apart.
    service_.handle(
        describe("getModule", status(), name, version, consumer), [answers = answers_, name = *name] {
            std::string package = name, file = "modA.zip";
            auto data = rpc::makeBlock(sampleData());
            auto modules = sampleModules();
            answers->getModuleResp(&kFailure, &package, &file, data.get(), &modules);
        });
}

void RepositoryServer::linkModuleApplication(
    std::unique_ptr<std::string> app, std::unique_ptr<std::string> name, int32_t flag)
{
    service_.handle(describe("linkModuleApplication", status(), app, name, flag),
        [answers = answers_] { answers->linkModuleApplicationResp(&kFailure); });
}

void RepositoryServer::logon(std::unique_ptr<std::string> credential, std::unique_ptr<std::string> consumer)
{
    service_.handle(describe("logon", status(), credential, consumer), [answers = answers_] {
        std::string token = "token-7", user = "alice";
        answers->logonResp(&kSuccess, &token, &user);
    });
}

void RepositoryServer::shutdownRS(std::unique_ptr<std::string> reason)
{
    service_.handle(describe("shutdownRS", status(), reason), [] {});
}

void RepositoryServer::getRSVersion(
    std::unique_ptr<KavVersion> narv, std::unique_ptr<KavVersion> qel, int32_t value)
{
    service_.handle(describe("getRSVersion", status(), narv, qel, value), [answers = answers_] {
        KavVersion narvVersion = sampleNarvVersion(), qelVersion = sampleQelVersion();
        answers->getRSVersionResp(&kFailure, &narvVersion, &qelVersion, 1);
    });
}

void DeploymentServer::logon(std::unique_ptr<std::string> credential, std::unique_ptr<std::string> consumer)
{
    service_.handle(describe("logon", status(), credential, consumer), [answers = answers_] {
        std::string token = "token-8", user = "bob";
        answers->logonResp(&kSuccess, &token, &user);
    });
}

void DeploymentServer::addPackage(std::unique_ptr<std::string> name, std::unique_ptr<std::string> type,
    std::unique_ptr<std::string> file, rpc::BlockPtr data, int32_t flag)
{
    service_.handle(describe("addPackage", status(), name, type, file, data, flag),
        [answers = answers_] { answers->addPackageResp(&kFailure); });
}

void DeploymentServer::removePackage(std::unique_ptr<std::string> name, std::unique_ptr<std::string> type)
{
    service_.handle(describe("removePackage", status(), name, type),
        [answers = answers_] { answers->removePackageResp(&kFailure); });
}

void DeploymentServer::installPackage(
    std::unique_ptr<std::string> name, std::unique_ptr<std::string> group, std::unique_ptr<std::string> host)
{
    service_.handle(describe("installPackage", status(), name, group, host),
        [answers = answers_] { answers->installPackageResp(&kFailure); });
}

void DeploymentServer::cancelPackage(std::unique_ptr<std::string> name)
{
    service_.handle(describe("cancelPackage", status(), name),
        [answers = answers_] { answers->cancelPackageResp(&kFailure); });
}

void DeploymentServer::uninstallPackage(
    std::unique_ptr<std::string> name, std::unique_ptr<std::string> group, std::unique_ptr<std::string> host)
{
    service_.handle(describe("uninstallPackage", status(), name, group, host),
        [answers = answers_] { answers->uninstallPackageResp(&kFailure); });
}

void DeploymentServer::getPackageList()
{
    service_.handle(describe("getPackageList", status()), [answers = answers_] {
        auto packages = samplePackages();
        answers->getPackageListResp(&kFailure, &packages);
    });
}

void DeploymentServer::getPackage(
    std::unique_ptr<std::string> name, std::unique_ptr<std::string> type, std::unique_ptr<std::string> extra)
{
    service_.handle(describe("getPackage", status(), name, type, extra), [answers = answers_] {
        std::string package = "pkg", file = "pkg.rpm";
        auto data = rpc::makeBlock(sampleData());
        auto packages = samplePackages();
        answers->getPackageResp(&kFailure, &package, &file, data.get(), &packages);
    });
}

void DeploymentServer::setPackageStatus(std::unique_ptr<kav::KavErrorInfo> error,
    std::unique_ptr<std::string> name, std::unique_ptr<std::string> host, int32_t state)
{
    service_.handle(describe("setPackageStatus", status(), error, name, host, state),
        [answers = answers_] { answers->setPackageStatusResp(&kFailure); });
}

void DeploymentServer::getPackageStatus(std::unique_ptr<std::string> name, int32_t state)
{
    service_.handle(describe("getPackageStatus", status(), name, state), [answers = answers_] {
        auto statuses = sampleStatuses();
        answers->getPackageStatusResp(&kFailure, &statuses);
    });
}

void DeploymentServer::installPackageRecheck(
    std::unique_ptr<std::string> name, std::unique_ptr<std::string> group, std::unique_ptr<std::string> host)
{
    service_.handle(describe("installPackageRecheck", status(), name, group, host),
        [answers = answers_] { answers->installPackageResp(&kFailure); });
}

void DeploymentServer::getRSVersion(std::unique_ptr<KavVersion> qel, int32_t value)
{
    service_.handle(describe("getRSVersion", status(), qel, value), [answers = answers_] {
        KavVersion qelVersion = sampleQelVersion();
        answers->getRSVersionResp(&kFailure, &qelVersion, 1);
    });
}

// --- the service --------------------------------------------------------------------

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
    Connection connection { channel, new zephcomm::Stub(peerName, channel), nullptr, {} };
    if (peerName == IRepository::kInterfaceName) {
        auto* server = new RepositoryServer(*this, channel);
        connection.server = server;
        connection.detach = [server] { server->detach(); };
        connection.stub->bind(IRepository::prototypes(), server);
    } else {
        auto* server = new DeploymentServer(*this, channel);
        connection.server = server;
        connection.detach = [server] { server->detach(); };
        connection.stub->bind(IAppDeployment::prototypes(), server);
    }
    channel->reference();
    {
        std::lock_guard guard(lock_);
        if (!stopped_) {
            connections_.push_back(std::move(connection));
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
    connection.detach();
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
