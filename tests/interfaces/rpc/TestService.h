#pragma once
// A small service for loopback tests: accepts IRepository and
// IAppDeployment connections on 127.0.0.1, records every request it gets as
// text, and answers each with the sample values below. Answers can be held
// back and let go later, to test clients against slow answers.

#include "interfaces/IAppDeployment.h"
#include "interfaces/IRepository.h"
#include "zephcomm/proxy/Stub.h"
#include "zephcomm/router/Channel.h"
#include "zephcomm/router/ChannelAcceptor.h"
#include "zephcomm/router/DriverLoader.h"

#include "common/ResultCodes.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace rpc::test {

// --- sample answers ----------------------------------------------------------

inline kav::KavErrorInfo sampleError()
{
    kav::KavErrorInfo error(
        kav::rc::RS_BAD_NAME, "Server.cpp:42", "", "name has a slash", { "a/b", "module" });
    error.setContext("getModule");
    return error;
}

inline rs::RepositoryAppList sampleModules()
{
    rs::RepositoryAppList list;
    list.append(
        { "1.2", "modA", { "app1", "app2" }, "team/a", "alice", "modA.zip", 1234, 1700000000, false });
    list.append({ "0.9", "modB", {}, "team/b", "bob", "modB.zip", 99, 1600000000, true });
    return list;
}

inline rs::AppDplList samplePackages()
{
    rs::AppDplList list;
    list.entries.push_back({ "pkg", "rpm", "team/a", "alice", "pkg.rpm", 4096, "", 1700000001 });
    list.entries.push_back({ "other", "", "team/a", "carol", "other.tgz", 1, "", 1700000002 });
    return list;
}

inline rs::DplStatusList sampleStatuses()
{
    rs::DplStatusList list;
    list.entries.push_back({ "host1", 7, "" });
    list.entries.push_back({ "host2", 9, "disk full" });
    return list;
}

inline KavVersion sampleNarvVersion()
{
    return { 4, 2, 17, "narv 4.2" };
}
inline KavVersion sampleQelVersion()
{
    return { 7, 0, 3, "qel" };
}
// Large enough to travel by reference rather than by copy.
inline std::string sampleData()
{
    return std::string(1000, 'Z') + "end";
}

// --- the request log ---------------------------------------------------------------

inline std::string show(const std::unique_ptr<std::string>& value)
{
    return value ? *value : "<null>";
}
inline std::string show(int32_t value)
{
    return std::to_string(value);
}
inline std::string show(const rpc::BlockPtr& value)
{
    return value ? "[" + rpc::blockText(value.get()) + "]" : "<null>";
}
inline std::string show(const std::unique_ptr<KavVersion>& value)
{
    if (!value)
        return "<null>";
    return "v" + std::to_string(value->major) + "." + std::to_string(value->minor) + "."
        + std::to_string(value->level) + ":" + value->text;
}
inline std::string show(const std::unique_ptr<kav::KavErrorInfo>& value)
{
    if (!value)
        return "<null>";
    std::string text = "E" + std::to_string(value->getCode());
    if (value->getCode() < 0) {
        text += ":" + value->getLocation() + ":" + value->getContext() + ":" + value->getDetail();
        for (const auto& param : value->getParams())
            text += ":" + param;
    }
    return text;
}

template <class... Args> std::string describe(const char* operation, int status, const Args&... args)
{
    std::string text = operation;
    ((text += "|" + show(args)), ...);
    if (status != 0)
        text += "|status=" + std::to_string(status);
    return text;
}

class TestService;

// Answers of one connection; see the .cpp of the test for the choice of values.
class RepositoryServer final : public IRepository::CallCompletionImp {
public:
    RepositoryServer(TestService& service, zephcomm::Channel* channel)
        : service_(service)
        , answers_(kav::RefPtr<IRepositoryRespClient>::adopt(new IRepositoryRespClient(channel)))
    {
    }
    void detach() { answers_->detach(); }

    void addModule(std::unique_ptr<std::string> name, std::unique_ptr<std::string> file, rpc::BlockPtr data,
        int32_t flag) override;
    void removeModule(std::unique_ptr<std::string> name) override;
    void getModuleList() override;
    void getModule(std::unique_ptr<std::string> name, std::unique_ptr<std::string> version,
        std::unique_ptr<std::string> consumer) override;
    void linkModuleApplication(
        std::unique_ptr<std::string> app, std::unique_ptr<std::string> name, int32_t flag) override;
    void logon(std::unique_ptr<std::string> credential, std::unique_ptr<std::string> consumer) override;
    void shutdownRS(std::unique_ptr<std::string> reason) override;
    void getRSVersion(
        std::unique_ptr<KavVersion> narv, std::unique_ptr<KavVersion> qel, int32_t value) override;

private:
    TestService& service_;
    kav::RefPtr<IRepositoryRespClient> answers_;
};

class DeploymentServer final : public IAppDeployment::CallCompletionImp {
public:
    DeploymentServer(TestService& service, zephcomm::Channel* channel)
        : service_(service)
        , answers_(kav::RefPtr<IAppDeploymentRespClient>::adopt(new IAppDeploymentRespClient(channel)))
    {
    }
    void detach() { answers_->detach(); }

    void logon(std::unique_ptr<std::string> credential, std::unique_ptr<std::string> consumer) override;
    void addPackage(std::unique_ptr<std::string> name, std::unique_ptr<std::string> type,
        std::unique_ptr<std::string> file, rpc::BlockPtr data, int32_t flag) override;
    void removePackage(std::unique_ptr<std::string> name, std::unique_ptr<std::string> type) override;
    void installPackage(std::unique_ptr<std::string> name, std::unique_ptr<std::string> group,
        std::unique_ptr<std::string> host) override;
    void cancelPackage(std::unique_ptr<std::string> name) override;
    void uninstallPackage(std::unique_ptr<std::string> name, std::unique_ptr<std::string> group,
        std::unique_ptr<std::string> host) override;
    void getPackageList() override;
    void getPackage(std::unique_ptr<std::string> name, std::unique_ptr<std::string> type,
        std::unique_ptr<std::string> extra) override;
    void setPackageStatus(std::unique_ptr<kav::KavErrorInfo> error, std::unique_ptr<std::string> name,
        std::unique_ptr<std::string> host, int32_t state) override;
    void getPackageStatus(std::unique_ptr<std::string> name, int32_t state) override;
    void installPackageRecheck(std::unique_ptr<std::string> name, std::unique_ptr<std::string> group,
        std::unique_ptr<std::string> host) override;
    void getRSVersion(std::unique_ptr<KavVersion> qel, int32_t value) override;

private:
    TestService& service_;
    kav::RefPtr<IAppDeploymentRespClient> answers_;
};

class TestService final : public zephcomm::CompletionHandler {
public:
    // Listens on 127.0.0.1 with a port of the system's choice.
    bool start();
    // Closes every connection and the acceptor.
    void stop();
    const std::string& address() const { return address_; }

    // Records a request and sends (or holds back) its answer.
    void handle(std::string request, std::function<void()> answer);
    std::vector<std::string> requests() const;
    // True when at least `count` requests arrived within `timeout`.
    bool waitForRequests(size_t count, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // While held, answers are kept until releaseAnswers() sends them.
    void holdAnswers();
    void releaseAnswers();
    // Closes the connections from the service's side.
    void dropConnections();

    void accept_CB(int error, const std::string& peerName, zephcomm::Channel* channel) override;
    void connect_CB(int, const std::string&, zephcomm::Channel*) override { }
    void receive_CB(int, const std::string&, ACE_Message_Block*, zephcomm::Channel*) override { }
    void send_CB(void*, int, zephcomm::Channel*) override { }

private:
    struct Connection {
        zephcomm::Channel* channel;
        zephcomm::Stub* stub;
        zephcomm::CallCompletion* server;
        std::function<void()> detach;
    };
    static void close(Connection& connection);

    zephcomm::ChannelAcceptor* acceptor_ = nullptr;
    std::string address_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::vector<std::string> requests_;
    std::vector<Connection> connections_;
    // Set by stop(): a handshake that completes afterwards (the acceptor
    // may still be delivering it) is closed instead of served.
    bool stopped_ = false;
    bool holding_ = false;
    std::vector<std::function<void()>> held_;
};

} // namespace rpc::test
