#pragma once
// What the generated interface classes are built on: the proxy with a
// connect event, the base of the response clients, the dispatch of a
// received call to a dispatcher method, and the table of interfaces.

#include "common/ServiceCounters.h"
#include "interfaces/rpc/RpcCodecs.h"
#include "zephcomm/proxy/CallCompletion.h"
#include "zephcomm/proxy/Event.h"
#include "zephcomm/proxy/MarshalCall.h"
#include "zephcomm/proxy/Proxy.h"

#include <atomic>
#include <memory>
#include <mutex>
#include <string_view>
#include <vector>

namespace rpc {

// A proxy for one interface with a zero time-out. Its connect_CB also
// records the connect result and signals the optional event (which must
// outlive the connect).
class InterfaceProxy : public zephcomm::Proxy {
public:
    InterfaceProxy(const char* interfaceName, zephcomm::ConnectEvent* connected);
    InterfaceProxy(const char* interfaceName, zephcomm::Channel* channel);

    void connect_CB(int error, const std::string& peerName, zephcomm::Channel* channel) override;
    int connectResult() const { return connectResult_; }

private:
    zephcomm::ConnectEvent* connected_ = nullptr;
    int connectResult_ = 0;
};

// The base of IRepositoryRespClient and IAppDeploymentRespClient: sends the
// answers of a server on the connection of its proxy.
// Threads: any thread may answer; lock_ guards the proxy pointer.
// References: the client references its proxy; sent() deletes the call.
class ResponseClient : public zephcomm::CallCompletion {
public:
    static constexpr int kMarshalFailed = -100;
    static constexpr int kNoProxy = -9;

    // Drops the proxy: later answers return kNoProxy.
    void detach();
    // Ends the connection the answers go on (the client stays attached;
    // later answers fail).
    void closeConnection();

    void sent(zephcomm::Call* call, int error) override;
    void complete(int error, zephcomm::Call* call) override;

    // Where every answer is counted by operation and result code from now
    // on (null: nowhere). Set at start-up, before connections are accepted.
    static void countAnswersIn(kav::AnswerCounts* counts);

protected:
    explicit ResponseClient(zephcomm::Proxy* proxy); // referenced
    ~ResponseClient() override;
    // Counts the answer (its error record's code), then sends it:
    // kMarshalFailed, kNoProxy, or Proxy::call's result.
    int send(std::unique_ptr<zephCDRMarshal::MarshalCall> call, int32_t code);

private:
    std::mutex lock_;
    zephcomm::Proxy* proxy_;
};

// The base of the generated dispatchers (CallCompletionImp): runs one
// dispatcher method with the arguments of a received call, the status set to
// the call's unmarshal result meanwhile. Threads: as CallCompletion.
class Dispatcher : public zephcomm::CallCompletion {
public:
    // A dispatcher sends nothing itself; a call it was given back is dropped.
    void sent(zephcomm::Call* call, int) override { delete call; }

protected:
    template <class CallClass, class Self, class Method>
    void dispatch(Self* self, zephcomm::Call& call, Method method)
    {
        auto& typed = static_cast<CallClass&>(call);
        setStatus(typed.unmarshalResult());
        typed.consume([&](auto&&... args) { (self->*method)(std::move(args)...); });
        setStatus(0);
    }
};

using Prototypes = std::vector<std::unique_ptr<zephcomm::Call>>;

// One interface of the generated set.
struct InterfaceInfo {
    const char* name;
    const char* responseInterface; // null for a response interface
    Prototypes (*prototypes)(); // one empty call per operation
};

// The interface called `name`, or null.
const InterfaceInfo* findInterface(std::string_view name);

} // namespace rpc
