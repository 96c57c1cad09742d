#pragma once
// rsclient::Client: one connection to a service interface ("IRepository" or
// "IAppDeployment") for tools and tests. Requests are calls of the interface;
// answers are calls of its response interface, matched to requests by
// answer type in sending order (installPackage and installPackageRecheck
// share installPackageResp).
//
//   auto client = rsclient::Client::connect("host:7070", IRepository::kInterfaceName, 5s);
//   auto logon = client->call<IRepository::logon_Call>(5s, credential, consumer);
//   auto list = client->call<IRepository::getModuleList_Call>(5s);
//   if (list.code() == 0) use(*list->applicationList());
//
// Asynchronous use keeps many requests in flight on the one connection:
//   std::vector<rsclient::PendingReply<IRepositoryResp::getModuleResp_Call>> replies;
//   for (...) replies.push_back(client->start<IRepository::getModule_Call>(name, version, consumer));
//   for (auto& reply : replies) handle(reply.wait(5s));
//
// Before the process exits, destroy every client and call zephcomm::fini(),
// so that the driver's threads stop first.
//
// Without a waiting thread, an answer can start the next request itself
// (the continuation runs on the driver thread that received the answer):
//   client->startThen<IRepository::getRSVersion_Call>([&](auto reply) { ... }, narv, qel, 0);
//
// Threads: every member may be called from any thread. Answers arrive on a
// driver thread and are handed to the waiting caller or run the
// continuation given to startThen.

#include "interfaces/rpc/RpcSupport.h"

#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <type_traits>

namespace zephcomm {
class Channel;
class Stub;
} // namespace zephcomm

namespace rsclient {

// Results besides 0 and the driver's errors.
constexpr int kTimedOut = -ETIMEDOUT;
constexpr int kClosed = -9; // the connection is closed (or was never open)

// A result of this library in words: "Connection refused" for
// -ECONNREFUSED, "the connection is closed" for kClosed, and so on.
std::string describeResult(int rc);

// The outcome of one request.
template <class Answer> struct Reply {
    // 0 when the answer arrived; otherwise kTimedOut, kClosed, a driver or
    // send error, and `answer` is null.
    int rc = kClosed;
    std::unique_ptr<Answer> answer;

    bool arrived() const { return rc == 0 && answer != nullptr; }
    // rc when no answer arrived, else the code of the answer's error record.
    int32_t code() const
    {
        if (!arrived())
            return rc;
        return answer->error() != nullptr ? answer->error()->getCode() : -1;
    }
    Answer* operator->() const { return answer.get(); }

    // The reply for a request's outcome (`call` is the answer when result is 0).
    static Reply make(int result, std::unique_ptr<zephcomm::Call> call)
    {
        Reply reply;
        reply.rc = result;
        if (result == 0)
            reply.answer.reset(static_cast<Answer*>(call.release()));
        return reply;
    }
};

namespace detail {

// The outcome of one request, told once: the answer, or the error that
// ended the request. finish() runs on a driver thread, or on the thread
// that started the request when it could not be sent.
class Expectation {
public:
    virtual ~Expectation() = default;
    virtual void finish(int result, std::unique_ptr<zephcomm::Call> call) = 0;
};

// One request waited for by a caller's thread (or, for one-way requests,
// its send). lock guards the fields.
struct Waiter final : Expectation {
    std::mutex lock;
    std::condition_variable changed;
    bool done = false;
    bool abandoned = false; // the caller gave up; the late answer is dropped
    int rc = 0;
    std::unique_ptr<zephcomm::Call> answer;

    void finish(int result, std::unique_ptr<zephcomm::Call> call) override;
    // False on time-out (the waiter is then abandoned).
    bool wait(std::chrono::milliseconds timeout);
};

// One request whose outcome runs a continuation, with no thread waiting.
template <class Answer, class OnAnswer> class Continuation final : public Expectation {
public:
    explicit Continuation(OnAnswer onAnswer)
        : onAnswer_(std::move(onAnswer))
    {
    }
    void finish(int result, std::unique_ptr<zephcomm::Call> call) override
    {
        if (!done_.exchange(true))
            onAnswer_(Reply<Answer>::make(result, std::move(call)));
    }

private:
    std::atomic<bool> done_ { false };
    OnAnswer onAnswer_;
};

class Session;

} // namespace detail

// An answer still to come. Movable, not copyable.
template <class Answer> class PendingReply {
public:
    explicit PendingReply(std::shared_ptr<detail::Waiter> waiter)
        : waiter_(std::move(waiter))
    {
    }

    // Waits at most `timeout` for the answer. Once only.
    Reply<Answer> wait(std::chrono::milliseconds timeout)
    {
        if (!waiter_->wait(timeout))
            return Reply<Answer>::make(kTimedOut, nullptr);
        return Reply<Answer>::make(waiter_->rc, std::move(waiter_->answer));
    }

private:
    std::shared_ptr<detail::Waiter> waiter_;
};

// Loads the process's communication driver, the one the operator chose
// (RS_DRIVER, RS_DRIVER_ARG; plain TCP without them), with `threads` driver
// threads (0: the library's default). The first connect does this with 0;
// call it before to choose the thread count. Returns 0 when a driver is
// loaded (by this or an earlier call), -1 otherwise.
int initDriver(int threads = 0);

class Client {
public:
    // Connects to `address` ("host:port" or a zephcomm URL) asking for
    // `interfaceName`, loading the driver if needed. Null on failure, with
    // the reason in *error when given.
    static std::unique_ptr<Client> connect(const std::string& address, const std::string& interfaceName,
        std::chrono::milliseconds timeout, int* error = nullptr);
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    const std::string& interfaceName() const { return interfaceName_; }
    // The service's endpoint name (its host name).
    const std::string& peerName() const { return peerName_; }
    bool isOpen() const;
    // Closes the connection; waiting requests end with kClosed.
    void close();

    // Sends a request and returns at once; the answer comes through the
    // returned PendingReply.
    template <class Request, class... Args> PendingReply<typename Request::Response> start(Args&&... args)
    {
        static_assert(!std::is_void_v<typename Request::Response>, "use send() for requests without answer");
        auto request = std::make_unique<Request>(std::forward<Args>(args)...);
        auto waiter = std::make_shared<detail::Waiter>();
        submit(std::move(request), Request::Response::kMethodName, waiter);
        return PendingReply<typename Request::Response>(std::move(waiter));
    }

    // Sends a request and returns at once; onAnswer(Reply<Answer>) is called
    // once with its outcome: on a driver thread when the answer arrives or
    // the connection ends, or on this thread, before startThen returns, when
    // the request could not be sent. onAnswer may start further requests;
    // it must not wait for answers of this client.
    template <class Request, class OnAnswer, class... Args>
    void startThen(OnAnswer&& onAnswer, Args&&... args)
    {
        using Answer = typename Request::Response;
        static_assert(!std::is_void_v<Answer>, "use send() for requests without answer");
        auto request = std::make_unique<Request>(std::forward<Args>(args)...);
        submit(std::move(request), Answer::kMethodName,
            std::make_shared<detail::Continuation<Answer, std::decay_t<OnAnswer>>>(
                std::forward<OnAnswer>(onAnswer)));
    }

    // Sends a request and waits at most `timeout` for its answer.
    template <class Request, class... Args>
    Reply<typename Request::Response> call(std::chrono::milliseconds timeout, Args&&... args)
    {
        return start<Request>(std::forward<Args>(args)...).wait(timeout);
    }

    // Sends a request that has no answer (shutdownRS) and waits at most
    // `timeout` until it has left. Returns 0, kTimedOut or the send error.
    template <class Request, class... Args> int send(std::chrono::milliseconds timeout, Args&&... args)
    {
        auto request = std::make_unique<Request>(std::forward<Args>(args)...);
        auto waiter = std::make_shared<detail::Waiter>();
        submit(std::move(request), nullptr, waiter);
        return waiter->wait(timeout) ? waiter->rc : kTimedOut;
    }

private:
    Client(std::string interfaceName, std::string peerName, zephcomm::Channel* channel);
    bool open(const rpc::InterfaceInfo& responses);
    // Hands the request to the connection; `expectation` learns its outcome.
    // `answerName` null: the request has no answer and ends when sent.
    void submit(std::unique_ptr<zephCDRMarshal::MarshalCall> request, const char* answerName,
        std::shared_ptr<detail::Expectation> expectation);

    const std::string interfaceName_;
    const std::string peerName_;
    mutable std::mutex lock_;
    zephcomm::Channel* channel_; // referenced
    zephcomm::Proxy* proxy_ = nullptr; // referenced
    zephcomm::Stub* stub_ = nullptr; // referenced until unbound
    detail::Session* session_ = nullptr; // referenced
};

} // namespace rsclient
