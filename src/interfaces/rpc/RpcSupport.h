#pragma once
// What the generated interface classes are built on: the proxy with a
// connect event, the base of the response clients, the dispatch of a
// received call to a dispatcher method, the facts of the request operations
// and the table of interfaces.

#include "common/ServiceCounters.h"
#include "interfaces/rpc/RpcCodecs.h"
#include "zephcomm/proxy/CallCompletion.h"
#include "zephcomm/proxy/Event.h"
#include "zephcomm/proxy/MarshalCall.h"
#include "zephcomm/proxy/Proxy.h"

#include <atomic>
#include <initializer_list>
#include <memory>
#include <mutex>
#include <span>
#include <string>
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
    // Counts the answer (its error record's code), then sends it:
    // kMarshalFailed, kNoProxy, or Proxy::call's result.
    int send(std::unique_ptr<zephCDRMarshal::MarshalCall> call, int32_t code);

protected:
    explicit ResponseClient(zephcomm::Proxy* proxy); // referenced
    ~ResponseClient() override;

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

// Sends the failure answer of Answer (its error and empty results).
template <class Answer> int sendFailure(ResponseClient& client, const kav::IKavErrorInfo& error)
{
    return client.send(Answer::failure(error), error.getCode());
}

// What the service knows of one request operation: the facts its line in
// interfaces.rpc gives. Immutable, one per operation, for the process's life.
struct OperationFacts {
    const char* interfaceName;
    const char* name;
    bool queued; // false: the server answers it itself
    int32_t kind; // queue priority: a higher kind is taken earlier
    bool shared; // runs beside other shared items (false: alone)
    int permission; // the permission operation number checked; 0: none
    int roleLevel; // the role level that number needs
    bool open; // served before the connection has logged on
    const char* parameterLine; // "Server::operation Got parameters: "; null: no line
    bool logsFirst; // the line comes before the logon and argument checks
    bool audited; // a refusal before queueing is audited
    uint32_t auditMessage; // its catalogue message; 0: a text record
    // Sends the operation's failure answer; null when it has no answer.
    int (*answerFailure)(ResponseClient& client, const kav::IKavErrorInfo& error);
};

// The text an argument shows in a parameter line ("" when absent).
inline std::string shown(const std::string* value)
{
    return value ? *value : std::string();
}
inline std::string shown(int32_t value)
{
    return std::to_string(value);
}
inline std::string shown(const kav::KavErrorInfo* value)
{
    return std::to_string(value ? value->getCode() : 0);
}
inline std::string shown(const KavVersion* value)
{
    return value ? value->display() : std::string();
}
// The values joined by ", ".
std::string joined(std::initializer_list<std::string> values);

// One interface of the generated set.
struct InterfaceInfo {
    const char* name;
    const char* responseInterface; // null for a response interface
    Prototypes (*prototypes)(); // one empty call per operation
    std::span<const OperationFacts> (*operations)(); // null for a response interface
};

// The interface called `name`, or null.
const InterfaceInfo* findInterface(std::string_view name);
// The facts of an operation of a request interface, or null.
const OperationFacts* findOperation(std::string_view interfaceName, std::string_view operation);
// The role level a permission operation number needs (0 for a number
// interfaces.rpc does not declare).
int roleLevel(int permission);

} // namespace rpc
