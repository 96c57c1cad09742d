#pragma once
// Work: one queued request. A server object creates it on a communication
// thread and hands it to the service's Task; a worker thread later calls
// process() once and then deletes the item.
//
// Ownership: the Task owns a queued item from a successful enqueue until it
// deletes it after process(). Items must therefore not be shared.

#include <cstdint>

namespace rs {

class Work {
public:
    Work() = default;
    Work(const Work&) = delete;
    Work& operator=(const Work&) = delete;
    virtual ~Work() = default;

    // Performs the request and sends its answer; catches everything itself.
    virtual void process() {}
    // Queue priority: a higher kind is taken earlier.
    virtual int32_t kind() const { return 0; }
    // True: may run beside other shared items; false: runs alone.
    virtual bool isShared() const { return true; }
    // process() let an exception escape, so no answer will come: the item
    // ends the connection of the client that waits for it.
    virtual void abandon() { }
};

} // namespace rs
