#include "client/RsClient.h"

#include "common/Loggers.h"
#include "zephcomm/driver/DriverSelection.h"
#include "zephcomm/proxy/Stub.h"
#include "zephcomm/router/Channel.h"
#include "zephcomm/router/ChannelConnector.h"
#include "zephcomm/router/DriverLoader.h"

#include <log4cxx/logger.h>

#include <cstring>
#include <deque>
#include <map>
#include <string_view>
#include <unordered_map>
#include <utility>

namespace rsclient {

namespace {
const log4cxx::LoggerPtr& logger()
{
    // Never destroyed: answers may still arrive while the process exits.
    static const log4cxx::LoggerPtr* instance
        = new log4cxx::LoggerPtr(kav::loggers::get(kav::loggers::kClient));
    return *instance;
}
} // namespace

std::string describeResult(int rc)
{
    // The driver's own values, which are not errno numbers (or not in that sense).
    switch (rc) {
    case 0:
        return "success";
    case -1:
        return "the communication driver could not be started or refused the address";
    case kClosed:
        return "the connection is closed";
    case rpc::ResponseClient::kMarshalFailed:
        return "the request could not be encoded";
    case -995:
        return "the operation was aborted";
    case -10057:
        return "not connected";
    default:
        break;
    }
    if (rc < 0 && rc > -4096)
        return std::strerror(-rc);
    return "error " + std::to_string(rc);
}

namespace detail {

void Waiter::finish(int result, std::unique_ptr<zephcomm::Call> call)
{
    {
        std::lock_guard guard(lock);
        if (done)
            return;
        done = true;
        rc = result;
        answer = std::move(call);
    }
    changed.notify_all();
}

bool Waiter::wait(std::chrono::milliseconds timeout)
{
    std::unique_lock guard(lock);
    if (changed.wait_for(guard, timeout, [this] { return done; }))
        return true;
    abandoned = true;
    return false;
}

// Matches answers to waiting requests and tells one-way requests that they
// left. Threads: sent() and complete() on driver threads, expect() and
// forget() on callers' threads (or on a driver thread, from a
// continuation); lock_ guards both tables. Expectations are finished
// outside the lock, so that a continuation may start the next request.
class Session final : public zephcomm::CallCompletion {
public:
    // Registers a request before it is handed to the proxy.
    void expect(zephcomm::Call* request, const char* answerName, const std::shared_ptr<Expectation>& waiter)
    {
        std::lock_guard guard(lock_);
        sending_[request] = Sending { waiter, answerName };
        if (answerName != nullptr)
            answersTo(answerName).push_back(waiter);
    }

    // Undoes expect() for a request that was never handed over.
    void forget(zephcomm::Call* request)
    {
        std::lock_guard guard(lock_);
        forgetLocked(request);
    }

    bool isClosed() const
    {
        std::lock_guard guard(lock_);
        return closed_;
    }

    void sent(zephcomm::Call* call, int error) override
    {
        std::shared_ptr<Expectation> waiter;
        bool oneWay = false;
        {
            std::lock_guard guard(lock_);
            auto found = sending_.find(call);
            if (found != sending_.end()) {
                waiter = found->second.waiter;
                oneWay = found->second.answerName == nullptr;
                if (error != 0)
                    forgetLocked(call);
                else
                    sending_.erase(found);
            }
        }
        delete call;
        if (waiter && (error != 0 || oneWay))
            waiter->finish(error, nullptr);
    }

    void complete(int error, zephcomm::Call* call) override
    {
        if (error != 0 || call == nullptr) {
            delete call;
            closeAll(error != 0 ? error : kClosed);
            return;
        }
        std::unique_ptr<zephcomm::Call> answer(call);
        std::shared_ptr<Expectation> waiter;
        {
            std::lock_guard guard(lock_);
            auto& queue = answersTo(answer->methodName());
            if (!queue.empty()) {
                waiter = std::move(queue.front());
                queue.pop_front();
            }
        }
        if (!waiter) {
            LOG4CXX_DEBUG(logger(), "unexpected answer " << answer->methodName() << " dropped");
            return;
        }
        waiter->finish(0, std::move(answer));
    }

    void closeAll(int error)
    {
        std::vector<std::shared_ptr<Expectation>> waiting;
        {
            std::lock_guard guard(lock_);
            closed_ = true;
            for (auto& [name, queue] : answers_)
                waiting.insert(waiting.end(), queue.begin(), queue.end());
            for (auto& [call, sending] : sending_)
                waiting.push_back(sending.waiter);
            answers_.clear();
            sending_.clear();
        }
        for (auto& waiter : waiting)
            waiter->finish(error, nullptr);
    }

private:
    using Queue = std::deque<std::shared_ptr<Expectation>>;
    struct Sending {
        std::shared_ptr<Expectation> waiter;
        const char* answerName; // the answer class's name; null for a one-way request
    };

    // The requests waiting for answers of this name, oldest first. Looked up
    // without building a key: this runs for every request and answer.
    Queue& answersTo(std::string_view answerName)
    {
        auto found = answers_.find(answerName);
        if (found == answers_.end())
            found = answers_.emplace(std::string(answerName), Queue()).first;
        return found->second;
    }

    void forgetLocked(zephcomm::Call* request)
    {
        auto found = sending_.find(request);
        if (found == sending_.end())
            return;
        if (found->second.answerName != nullptr)
            std::erase(answersTo(found->second.answerName), found->second.waiter);
        sending_.erase(found);
    }

    mutable std::mutex lock_;
    bool closed_ = false;
    std::map<std::string, Queue, std::less<>> answers_;
    std::unordered_map<zephcomm::Call*, Sending> sending_;
};

// Waits for the connector's outcome.
class ConnectWaiter final : public zephcomm::CompletionHandler {
public:
    void connect_CB(int error, const std::string& peerName, zephcomm::Channel* channel) override
    {
        if (channel != nullptr)
            channel->reference();
        {
            std::lock_guard guard(lock_);
            error_ = error;
            peerName_ = peerName;
            channel_ = channel;
            done_ = true;
        }
        changed_.notify_all();
    }
    void accept_CB(int, const std::string&, zephcomm::Channel*) override { }
    void receive_CB(int, const std::string&, ACE_Message_Block*, zephcomm::Channel*) override { }
    void send_CB(void*, int, zephcomm::Channel*) override { }

    // The connected channel (the caller takes its reference), or null with
    // `error` set; kTimedOut when nothing came within `timeout`.
    zephcomm::Channel* wait(std::chrono::milliseconds timeout, int& error, std::string& peerName)
    {
        std::unique_lock guard(lock_);
        if (!changed_.wait_for(guard, timeout, [this] { return done_; })) {
            error = kTimedOut;
            return nullptr;
        }
        error = error_;
        peerName = peerName_;
        return std::exchange(channel_, nullptr);
    }

    // Waits (at most `timeout`) for the outcome of a cancelled connect, so
    // that a channel arriving late is closed.
    void drain(std::chrono::milliseconds timeout)
    {
        std::unique_lock guard(lock_);
        changed_.wait_for(guard, timeout, [this] { return done_; });
        if (channel_ != nullptr) {
            channel_->destroy();
            std::exchange(channel_, nullptr)->release();
        }
    }

private:
    ~ConnectWaiter() override
    {
        if (channel_ != nullptr)
            channel_->release();
    }

    std::mutex lock_;
    std::condition_variable changed_;
    bool done_ = false;
    int error_ = 0;
    std::string peerName_;
    zephcomm::Channel* channel_ = nullptr;
};

} // namespace detail

int initDriver(int threads)
{
    const zephcommdrv::DriverSelection chosen = zephcommdrv::driverSelectionFromEnvironment();
    return zephcomm::init(
        threads, zephcommdrv::wordOrNull(chosen.name), zephcommdrv::wordOrNull(chosen.argument));
}

std::unique_ptr<Client> Client::connect(const std::string& address, const std::string& interfaceName,
    std::chrono::milliseconds timeout, int* error)
{
    int rc = 0;
    std::unique_ptr<Client> client;
    const rpc::InterfaceInfo* info = rpc::findInterface(interfaceName);
    const rpc::InterfaceInfo* responses
        = info && info->responseInterface ? rpc::findInterface(info->responseInterface) : nullptr;
    if (responses == nullptr) {
        rc = -EINVAL;
    } else if (initDriver() != 0) {
        rc = -1;
    } else {
        auto waiter = kav::RefPtr<detail::ConnectWaiter>::adopt(new detail::ConnectWaiter());
        auto connector = new zephcomm::ChannelConnector(zephcomm::DriverLoader::instance());
        rc = connector->connect(address, interfaceName, waiter.get(), static_cast<long>(timeout.count()));
        std::string peerName;
        zephcomm::Channel* channel = rc == 0 ? waiter->wait(timeout, rc, peerName) : nullptr;
        if (rc == kTimedOut) {
            connector->cancel();
            waiter->drain(timeout);
        }
        connector->destroy();
        if (channel != nullptr) {
            client.reset(new Client(interfaceName, peerName, channel));
            if (!client->open(*responses)) {
                client.reset();
                rc = kClosed;
            }
        }
    }
    if (error != nullptr)
        *error = rc;
    return client;
}

Client::Client(std::string interfaceName, std::string peerName, zephcomm::Channel* channel)
    : interfaceName_(std::move(interfaceName))
    , peerName_(std::move(peerName))
    , channel_(channel)
{
}

bool Client::open(const rpc::InterfaceInfo& responses)
{
    const rpc::InterfaceInfo* requests = rpc::findInterface(interfaceName_);
    session_ = new detail::Session();
    proxy_ = new rpc::InterfaceProxy(requests->name, channel_);
    stub_ = new zephcomm::Stub(responses.name, channel_);
    return stub_->bind(responses.prototypes(), session_) == 0;
}

Client::~Client()
{
    close();
    if (proxy_ != nullptr)
        proxy_->release();
    if (session_ != nullptr)
        session_->release();
    if (channel_ != nullptr)
        channel_->release();
}

bool Client::isOpen() const
{
    std::lock_guard guard(lock_);
    return stub_ != nullptr && !session_->isClosed() && channel_->isAttached();
}

void Client::close()
{
    zephcomm::Stub* stub = nullptr;
    {
        std::lock_guard guard(lock_);
        stub = std::exchange(stub_, nullptr);
    }
    if (stub == nullptr)
        return;
    stub->unbind();
    channel_->destroy();
    session_->closeAll(kClosed);
}

void Client::submit(std::unique_ptr<zephCDRMarshal::MarshalCall> request, const char* answerName,
    std::shared_ptr<detail::Expectation> expectation)
{
    if (!request->marshalled()) {
        expectation->finish(rpc::ResponseClient::kMarshalFailed, nullptr);
        return;
    }
    {
        std::lock_guard guard(lock_);
        if (stub_ == nullptr || session_->isClosed()) {
            expectation->finish(kClosed, nullptr);
            return;
        }
    }
    session_->expect(request.get(), answerName, expectation);
    int rc = proxy_->call(request.get(), session_);
    if (rc != 0) {
        session_->forget(request.get());
        expectation->finish(rc, nullptr);
        return;
    }
    request.release(); // the session's sent() deletes it
}

} // namespace rsclient
