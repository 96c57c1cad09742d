#pragma once
// A small IRepository service for client tests: accepts connections on
// 127.0.0.1, records every request it gets as text ("getModule|name|version|
// consumer") and answers getModule and getModuleList. Answers can be held
// back and let go later, to test clients against slow answers.

#include "interfaces/IRepository.h"
#include "zephcomm/proxy/Stub.h"
#include "zephcomm/router/Channel.h"
#include "zephcomm/router/ChannelAcceptor.h"
#include "zephcomm/router/DriverLoader.h"

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace rpc::test {

class RepositoryServer;

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
        RepositoryServer* server;
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
