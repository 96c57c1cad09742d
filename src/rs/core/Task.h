#pragma once
// Task: the fixed pool of worker threads that runs queued Work items.
//
// Items are taken off one priority queue (higher kind first, arrival order
// within a kind) by one thread at a time (dequeueToken_); idle threads wait
// on the queue, not on the token, and are woken one at a time (WorkQueue).
// Before a thread lets the next one dequeue, it acquires workToken_ for
// reading (shared items) or writing (exclusive items); so an exclusive item
// waits for the shared items already running and everything taken after it
// waits for it.
//
// Threads: open() and hangUp() are called by the owner (the main thread);
// enqueueWork() from any thread; svc() runs on the pool's threads.
// Ownership: each queued block points at its item without owning it; the
// worker deletes both after process(). Items still queued when the Task is
// destroyed are deleted with it, unprocessed.

#include "common/ServiceCounters.h"
#include "rs/core/Work.h"
#include "rs/core/WorkQueue.h"

#include <ace/Barrier.h>
#include <ace/RW_Thread_Mutex.h>
#include <ace/Task_T.h>
#include <ace/Thread_Mutex.h>

#include <atomic>
#include <chrono>
#include <memory>

namespace rs {

class Task : public ACE_Task<ACE_MT_SYNCH> {
public:
    // Priority of the hang-up block: at least as high as any item's kind.
    static constexpr unsigned long kHangUpPriority = 4;

    Task();
    ~Task() override;
    Task(const Task&) = delete;
    Task& operator=(const Task&) = delete;

    // Starts threadCount worker threads; ACE's activation result (-1 on failure).
    // REQUIRES: called once, threadCount > 0.
    int openWorkers(int threadCount);

    // Queues the item by its kind without blocking. Takes ownership either
    // way: on failure the item is deleted. Returns 0 on success, kNoBlock
    // when its queue entry could not be made, -1 when the queue refused it.
    static constexpr int kNoBlock = -2;
    int enqueueWork(Work* work);

    // Processes a shared item on the calling thread, as a worker would, if
    // its answer is at hand (Work::answerableAtOnce) and that overtakes
    // nothing: no exclusive item is queued or running, and the shared lock
    // is free to take without waiting. False (the item not processed)
    // otherwise; the caller keeps the item either way.
    bool runAtOnce(Work& work);

    // Puts the hang-up block at the tail of the queue and waits until every
    // worker thread has ended. Items queued behind it are never processed.
    void hangUp();

    int svc() override;

    // Workers waiting for an item now.
    size_t idleWorkers() { return queue_.waitingThreads(); }
    // Items queued and not yet taken by a worker.
    size_t queuedItems() { return msg_queue()->message_count(); }
    // Where items started count their wait (null: nowhere). Set before
    // openWorkers; the counters outlive the workers.
    void setCounters(kav::ServiceCounters* counters) { counters_ = counters; }

private:
    // Runs one item under workToken_; releases dequeueToken_ once the item
    // holds workToken_.
    void runItem(Work* work);
    // process() with the worker's guard against an escaping exception.
    static void processGuarded(Work& work);
    // An item left the queue unprocessed or finished.
    void settled(const Work& work);
    void countStart(std::chrono::steady_clock::time_point queuedAt);
    void deleteQueuedItems();

    // Given to ACE_Task before it is built: the base only keeps its address.
    WorkQueue queue_;
    std::unique_ptr<ACE_Barrier> startBarrier_;
    // A plain mutex, not an ACE_Token: the token hands itself to its waiters
    // in arrival order, each woken through a condition of its own, and with
    // several workers back from their items at once that hand-off made most
    // of the service's futex calls. Which idle worker dequeues next does not
    // matter; that one at a time does, and a mutex gives that.
    ACE_Thread_Mutex dequeueToken_;
    ACE_RW_Thread_Mutex workToken_;
    // Exclusive items queued or running.
    std::atomic<int> exclusiveItems_ { 0 };
    kav::ServiceCounters* counters_ = nullptr;
};

} // namespace rs
