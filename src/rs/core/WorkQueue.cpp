#include "rs/core/WorkQueue.h"

#include <cerrno>

namespace rs {

size_t WorkQueue::waitingThreads()
{
    ACE_GUARD_RETURN(ACE_Thread_Mutex, guard, lock_, 0);
    return static_cast<size_t>(waiting_);
}

int WorkQueue::wait_not_empty_cond(ACE_Time_Value* timeout)
{
    int result = 0;
    while (is_empty_i()) {
        ++waiting_;
        const int waited = not_empty_cond_.wait(timeout);
        --waiting_;
        // Whoever returns stands for a wake-up: a spurious return only
        // leaves one signal more in flight than counted, never fewer.
        if (wakesOnTheirWay_ > 0)
            --wakesOnTheirWay_;
        if (waited == -1) {
            if (errno == ETIME)
                errno = EWOULDBLOCK;
            result = -1;
            break;
        }
        if (state_ != ACE_Message_Queue_Base::ACTIVATED) {
            errno = ESHUTDOWN;
            result = -1;
            break;
        }
    }
    // This thread takes the head block; one behind it needs a worker too.
    if (cur_count_ > 1 && wakesOnTheirWay_ == 0)
        wakeOne();
    return result;
}

int WorkQueue::signal_dequeue_waiters()
{
    if (wakesOnTheirWay_ == 0)
        wakeOne();
    return 0;
}

void WorkQueue::wakeOne()
{
    if (waiting_ <= wakesOnTheirWay_)
        return;
    if (not_empty_cond_.signal() == 0)
        ++wakesOnTheirWay_;
}

} // namespace rs
