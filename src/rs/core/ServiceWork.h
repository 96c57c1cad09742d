#pragma once
// ServiceWork: the frame every request work item runs in. process() logs the
// "Entering"/"Exiting" lines on the "repository.work" logger, runs execute()
// under the catch helper, and answers the client through answer(): with no
// error information on success, or with the thread's error information
// (after logging its error line) on failure.
//
// Threads: constructed on a communication thread, processed and deleted on a
// worker thread of the Task.

#include "common/KavErrorInfo.h"
#include "rs/core/ServiceContext.h"
#include "rs/core/Work.h"

#include <string>

namespace rs {

class ServiceWork : public Work {
public:
    void process() final;
    void abandon() final { closeConnection(); }

protected:
    // className names the item in its trace lines ("LogonWork"); the
    // context must outlive the item.
    ServiceWork(std::string className, ServiceContext& context)
        : className_(std::move(className))
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

    const std::string& className() const { return className_; }
    ServiceContext& context() const { return context_; }

private:
    void answerFailure();

    std::string className_;
    ServiceContext& context_;
};

} // namespace rs
