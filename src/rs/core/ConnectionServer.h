#pragma once
// ConnectionServer: the server side of one client connection, whatever its
// interface, and the one path every request of both interfaces takes. The
// facts of each operation (interfaces.rpc) drive it:
//
//   received call -> [parameter line, when the interface logs first]
//     -> logon gate (unless the operation is open) -> presence of the
//        required arguments -> [parameter line] -> the server's work item
//     -> the work queue, by the operation's kind and sharing
//   and any failure on that path -> error line, audit record (when the
//     operation is audited), failure answer with the answer's empty results.
//
// An operation answered at once (getRSVersion, shutdownRS) logs its line and
// goes to the server's answerAtOnce. The Derived server supplies only what is
// particular to it: makeWork(call) for each queued operation, answerAtOnce,
// auditRefusal, and what a connection that ends or fails leaves to do
// (connectionTrouble).
//
// Threads: calls arrive on the connection's driver thread, one at a time;
// setUserName and logonRefused come from a worker thread (logon). The logon
// state is the gate's, under its own lock; the consumer and what a derived
// server adds are guarded by mutex_.
// References: the server holds the response client and releases it when it
// goes or when another takes its place.

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "interfaces/rpc/RpcSupport.h"
#include "rs/core/LogonGate.h"
#include "rs/core/ServiceContext.h"
#include "rs/core/ServiceWork.h"

#include <log4cxx/logger.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <string>

namespace rs {

// What a server keeps whatever its interface, and the steps of the request
// path that do not depend on the call's type.
class ConnectionState {
public:
    void setUserName(const std::string& userName) { gate_.loggedOn(userName); }
    std::string userName() const { return gate_.userName(); }
    LogonGate& gate() { return gate_; }
    ServiceContext& context() const { return context_; }

    // A logon of this connection was refused; the fifth closes it.
    void logonRefused();

protected:
    // The context must outlive the server.
    ConnectionState(const char* name, log4cxx::LoggerPtr logger, ServiceContext& context);
    virtual ~ConnectionState() = default;

    std::string consumer() const;
    void setConsumer(const std::string& consumer);

    // The operation's "Got parameters" line with `values`, when it has one.
    void logParameters(const rpc::OperationFacts& facts, const std::string& values) const;
    // Answers a request that could not be queued: the thread's error
    // information (result's code when there is none) is logged, audited when
    // the operation is, and sent with the answer's empty results.
    void refuse(const rpc::OperationFacts& facts, rpc::ResponseClient* response, const std::string& user,
        const std::string& subject, int32_t result);
    // Hands the item to the work queue, or processes it here when its answer
    // is at hand and that overtakes nothing: no earlier request of this
    // connection is unfinished (answers keep the order of the requests) and
    // the queue lets it pass (ServiceContext::runAtOnce). Saves the worker
    // hand-off, two thread switches, on the most frequent reads.
    int32_t handOver(std::unique_ptr<Work> work);
    // Writes the audit record of a refused request naming `subject`.
    virtual void auditRefusal(const rpc::OperationFacts& facts, const std::string& user,
        const std::string& subject, const kav::IKavErrorInfo& error)
        = 0;

    const char* const name_;
    const log4cxx::LoggerPtr logger_;
    ServiceContext& context_;
    LogonGate gate_;
    mutable std::mutex mutex_;
    std::string consumer_;
    // This connection's items queued or running.
    const std::shared_ptr<std::atomic<int>> unfinished_ = std::make_shared<std::atomic<int>>(0);
};

template <class Interface, class Derived>
class ConnectionServer : public rpc::Dispatcher, public ConnectionState {
public:
    using Client = typename Interface::Client;

    // Takes over the caller's reference.
    void setResponse(Client* response)
    {
        if (response_)
            response_->release();
        response_ = response;
    }

    void complete(int error, zephcomm::Call* call) override
    {
        std::unique_ptr<zephcomm::Call> owned(call);
        if (error != 0 || !owned) {
            derived().connectionTrouble(error != 0 && !owned);
            return;
        }
        Interface::route(std::move(owned), [this](auto typed) { take(std::move(typed)); });
    }

protected:
    ConnectionServer(const char* name, log4cxx::LoggerPtr logger, ServiceContext& context)
        : ConnectionState(name, std::move(logger), context)
    {
    }
    ~ConnectionServer() override
    {
        if (response_)
            response_->release();
    }

    Client* response_ = nullptr;

private:
    Derived& derived() { return static_cast<Derived&>(*this); }

    template <class Call> void take(std::unique_ptr<Call> call)
    {
        const rpc::OperationFacts& facts = Call::facts();
        if constexpr (!Call::kQueued) {
            logParameters(facts, call->parameters(consumer()));
            derived().answerAtOnce(std::move(call));
        } else {
            std::unique_ptr<kav::KavErrorInfo> stale(kav::takeErrorInfo());
            if (facts.logsFirst)
                logParameters(facts, call->parameters(consumer()));
            const std::string user = userName();
            const std::string subject = call->subject();
            int32_t result = KAV_GUARDED([&]() -> int32_t {
                if (!facts.open)
                    gate_.admit(facts.name);
                if (call->unmarshalResult() != 0 || !call->requiredPresent())
                    KAV_THROW(kav::rc::RS_MISSING_ARGUMENT, "argument missing", { facts.name });
                if (!facts.logsFirst)
                    logParameters(facts, call->parameters(consumer()));
                std::unique_ptr<Work> work = derived().makeWork(std::move(call));
                if (!work)
                    KAV_THROW(kav::rc::RS_NO_SERVER_MANAGER, "work item not created", { facts.name });
                return handOver(std::move(work));
            });
            if (result < 0)
                refuse(facts, response_, user, subject, result);
        }
    }
};

} // namespace rs
