#pragma once
// Work: one queued request. A server object creates it on a communication
// thread and hands it to the service's Task; a worker thread later calls
// process() once and then deletes the item.
//
// Ownership: the Task owns a queued item from a successful enqueue until it
// deletes it after process(). Items must therefore not be shared.
//
// An item whose answer is at hand (answerableAtOnce) may instead be
// processed by the server on its own thread (Task::runAtOnce), when nothing
// it could overtake is waiting; see ConnectionState::handOver.

#include <atomic>
#include <cstdint>
#include <memory>

namespace rs {

class Work {
public:
    Work() = default;
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;
    virtual ~Work()
    {
        if (unfinished_)
            unfinished_->fetch_sub(1);
    }

    // Performs the request and sends its answer; catches everything itself.
    virtual void process() { }
    // Queue priority: a higher kind is taken earlier.
    virtual int32_t kind() const { return 0; }
    // True: may run beside other shared items; false: runs alone.
    virtual bool isShared() const { return true; }
    // process() let an exception escape, so no answer will come: the item
    // ends the connection of the client that waits for it.
    virtual void abandon() { }
    // True when process() would neither read a file's contents nor wait for
    // anything but short locks (a stat or a small directory's listing at
    // most): its answer is already in memory. Asked only by
    // Task::runAtOnce, which then processes the item at once, so the item
    // may keep what it looked up for process().
    virtual bool answerableAtOnce() { return false; }

    // Counts the item in `unfinished` until it is deleted.
    void countIn(std::shared_ptr<std::atomic<int>> unfinished)
    {
        unfinished->fetch_add(1);
        unfinished_ = std::move(unfinished);
    }

private:
    std::shared_ptr<std::atomic<int>> unfinished_;
};

} // namespace rs
