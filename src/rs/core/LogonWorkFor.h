#pragma once
// LogonWorkFor: a logon of either interface, run on a worker thread.
// Authenticates the credential, checks the consumer, records the user on the
// connection's server and answers logonResp with the response token and the
// user name. A refused logon is counted on the server after its answer went
// out (the server closes the connection at the limit). The two interfaces
// differ only in their server and response types, so LogonWork and
// AppLogonWork are this template with their names.
//
// Ownership: holds a reference to the connection's server and response
// client; owns its copies of credential and consumer (never logged), and
// wipes the credential when destroyed.
// REQUIRES: Server and Response are complete where the derived class's
// destructor is defined (its key function, so the vtable is emitted there).

#include "common/Referable.h"
#include "rs/core/LogonCheck.h"
#include "rs/core/ServiceWork.h"

#include <algorithm>
#include <string>

namespace rs {

template <class Server, class Response> class LogonWorkFor : public ServiceWork {
protected:
    LogonWorkFor(std::string className, const rpc::OperationFacts& facts, std::string credential,
        std::string consumer, Server* server, Response* response)
        : ServiceWork(std::move(className), facts, server->context())
        , credential_(std::move(credential))
        , consumer_(std::move(consumer))
        , server_(server)
        , response_(response)
    {
    }
    ~LogonWorkFor() override { std::fill(credential_.begin(), credential_.end(), '\0'); }

private:
    void execute() override
    {
        checkLogon(context(), credential_, consumer_, responseToken_, userName_);
        server_->setUserName(userName_);
    }

    void answer(const kav::IKavErrorInfo* error) override
    {
        kav::KavErrorInfo success;
        if (error) {
            responseToken_.clear();
            userName_.clear();
        }
        response_->logonResp(error ? error : &success, &responseToken_, &userName_);
        if (error)
            server_->logonRefused();
        server_ = {};
    }

    void closeConnection() override
    {
        if (response_)
            response_->closeConnection();
    }

    std::string credential_;
    std::string consumer_;
    kav::RefPtr<Server> server_;
    kav::RefPtr<Response> response_;
    std::string responseToken_;
    std::string userName_;
};

} // namespace rs
