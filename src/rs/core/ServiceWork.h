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
#include "rs/core/Work.h"

#include <string>

namespace rs {

class ServiceWork : public Work {
public:
    void process() final;
    void abandon() final { closeConnection(); }

protected:
    // className names the item in its trace lines ("LogonWork").
    explicit ServiceWork(std::string className) : className_(std::move(className)) {}

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

private:
    void answerFailure();

    std::string className_;
};

} // namespace rs
