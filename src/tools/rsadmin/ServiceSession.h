#pragma once
// One logged-on connection of rsadmin to an interface of the service, and
// the rules that turn what came back into exit statuses and messages:
// no connection or no answer -> kExitNoConnection, a failure record ->
// kExitRefused with its code in hex, its catalogue text and what to do next.
//
// Single-threaded: the command's thread sends and waits; answers arrive on
// the client library's threads and are handed over by it.

#include "client/RsClient.h"
#include "common/KavErrorInfo.h"
#include "tools/rsadmin/GlobalOptions.h"

#include <memory>
#include <string>

namespace rsadmin {

// The operator text for a failure record: "0xD0014C21: <catalogue text>"
// and, where one helps, a hint on a line of its own.
std::string describeRefusal(const kav::IKavErrorInfo& error);
// The text of a failure code alone (no parameters).
std::string describeRefusal(int32_t code);
// "0xD0014C21".
std::string hexCode(int32_t code);

class ServiceSession {
public:
    // The logon answer for a consumer the resource manager does not know.
    static constexpr int32_t kConsumerRefused = static_cast<int32_t>(0xD0014C2Cu);

    // Connects to `server` for `interfaceName`. Throws AdminFailure.
    ServiceSession(
        const std::string& server, const std::string& interfaceName, std::chrono::milliseconds timeout);

    // Logs on with the credential and consumer. The service authenticates
    // before it checks the consumer, and the connection keeps the consumer
    // it was given either way; so with `acceptGlobal`, an empty consumer's
    // refusal (kConsumerRefused) still leaves an authenticated connection
    // on the global index. Throws AdminFailure (kExitRefused when refused).
    template <class LogonCall>
    void logon(const std::string& credential, const std::string& consumer, bool acceptGlobal)
    {
        auto reply = client_->call<LogonCall>(timeout_, credential, consumer);
        if (acceptGlobal && consumer.empty() && reply.code() == kConsumerRefused)
            return;
        check(reply, "log on");
    }

    // Sends a request and waits for its answer; throws AdminFailure unless
    // the answer arrived with success.
    template <class Request, class... Args> auto request(const char* what, Args&&... args)
    {
        auto reply = client_->call<Request>(timeout_, std::forward<Args>(args)...);
        check(reply, what);
        return reply;
    }

    rsclient::Client& client() { return *client_; }
    std::chrono::milliseconds timeout() const { return timeout_; }
    const std::string& server() const { return server_; }

    // Throws AdminFailure unless the reply arrived with success.
    template <class Answer> void check(const rsclient::Reply<Answer>& reply, const char* what) const
    {
        if (!reply.arrived())
            failNoAnswer(reply.rc, what);
        if (const kav::KavErrorInfo* error = reply->error(); error != nullptr && error->getCode() < 0)
            throw AdminFailure(kExitRefused,
                std::string("the service refused to ") + what + ": " + describeRefusal(*error),
                error->getCode());
    }

private:
    [[noreturn]] void failNoAnswer(int rc, const char* what) const;

    std::string server_;
    std::chrono::milliseconds timeout_;
    std::unique_ptr<rsclient::Client> client_;
};

} // namespace rsadmin
