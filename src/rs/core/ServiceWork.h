#pragma once
// ServiceWork: the frame every request work item runs in. Its queue priority
// and lock mode are its operation's facts (interfaces.rpc). process() logs the
// "Entering"/"Exiting" lines on the "repository.work" logger, runs execute()
// under the catch helper, and answers the client through answer(): with no
// error information on success, or with the thread's error information
// (after logging its error line) on failure.
//
// Threads: constructed on a communication thread, processed and deleted on a
// worker thread of the Task.

#include "common/KavErrorInfo.h"
#include "interfaces/rpc/RpcSupport.h"
#include "rs/core/ServiceContext.h"
#include "rs/core/Work.h"

#include <string>

namespace rs {

class ServiceWork : public Work {
public:
    void process() final;
    void abandon() final { closeConnection(); }
    int32_t kind() const final { return facts_.kind; }
    bool isShared() const final { return facts_.shared; }

protected:
    // className names the item in its trace lines ("LogonWork"); facts are
    // its operation's; the context must outlive the item.
    ServiceWork(std::string className, const rpc::OperationFacts& facts, ServiceContext& context)
        : className_(std::move(className))
        , facts_(facts)
        , context_(context)
    {
    }

    // The request itself; raises failures as KavException (KAV_THROW).
    virtual void execute() = 0;
    // Sends the response. error is null on success; otherwise it describes
    // the failure and stays owned by the caller.
    virtual void answer(const kav::IKavErrorInfo* error) = 0;

    // Ends the connection the answer would have gone on.
    virtual void closeConnection() { }

    // True for a failure that is part of normal operation (a client that
    // asks for something it may not find): it is logged at INFO, not ERROR.
    virtual bool isExpectedFailure(const kav::IKavErrorInfo& /*error*/) const { return false; }

    const std::string& className() const { return className_; }
    const rpc::OperationFacts& facts() const { return facts_; }
    ServiceContext& context() const { return context_; }
    // Whether the user holds the role the operation needs on the consumer;
    // a refusal's error information is dropped.
    bool permitted(const std::string& user, const std::string& consumer) const;

private:
    void answerFailure();

    std::string className_;
    const rpc::OperationFacts& facts_;
    ServiceContext& context_;
};

} // namespace rs
