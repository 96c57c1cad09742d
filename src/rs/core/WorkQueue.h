#pragma once
// WorkQueue: the work queue's ACE message queue, waking idle workers one at
// a time.
//
// ACE's queue signals a waiting thread for every block put on it, so a
// burst of requests read in one turn of an event loop woke as many workers
// as it held; each of them then queued for the queue's lock and the
// dequeue token behind the others, and went back to sleep after one item
// (on two cores, several context switches per request). Here at most one
// wake-up is on its way at a time: the woken worker, once it takes the head
// block, wakes the next one if more blocks wait behind it. A burst thus
// wakes workers while there is work left for them, and a worker that comes
// back from an item takes the next one without any wake-up at all.
//
// Invariant (under the queue's lock): while blocks are queued and threads
// wait, a wake-up is on its way.

#include <ace/Condition_Thread_Mutex.h>
#include <ace/Message_Queue_T.h>
#include <ace/Synch_Traits.h>

namespace rs {

class WorkQueue : public ACE_Message_Queue<ACE_MT_SYNCH> {
public:
    // Threads waiting for a block now.
    size_t waitingThreads();

protected:
    // Both are called with the queue's lock held.
    int wait_not_empty_cond(ACE_Time_Value* timeout) override;
    int signal_dequeue_waiters() override;

private:
    void wakeOne();

    int waiting_ = 0; // threads in wait_not_empty_cond
    int wakesOnTheirWay_ = 0; // signalled, not yet returned from their wait
};

} // namespace rs
