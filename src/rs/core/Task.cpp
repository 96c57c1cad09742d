#include "rs/core/Task.h"

#include "common/Loggers.h"
#include "rs/i18n/ErrorLine.h"

#include <ace/Message_Block.h>
#include <log4cxx/logger.h>

#include <cstring>

namespace rs {

namespace {

const log4cxx::LoggerPtr& logger()
{
    static const log4cxx::LoggerPtr instance = kav::loggers::get(kav::loggers::kWork);
    return instance;
}

// What a queued block carries: the item and when it was queued.
struct QueuedWork {
    Work* work;
    std::chrono::steady_clock::time_point queuedAt;
};

QueuedWork queuedOf(ACE_Message_Block* block)
{
    QueuedWork queued;
    std::memcpy(&queued, block->rd_ptr(), sizeof queued);
    return queued;
}

// Holds workToken_ in the mode the item asks for, for the item's run.
class WorkTokenHold {
public:
    WorkTokenHold(ACE_RW_Thread_Mutex& token, bool shared)
        : token_(token)
    {
        if (shared)
            token_.acquire_read();
        else
            token_.acquire_write();
    }
    ~WorkTokenHold() { token_.release(); }
    WorkTokenHold(const WorkTokenHold&) = delete;
    WorkTokenHold& operator=(const WorkTokenHold&) = delete;

private:
    ACE_RW_Thread_Mutex& token_;
};

} // namespace

Task::Task()
    : ACE_Task<ACE_MT_SYNCH>(nullptr, &queue_)
{
    // Blocks carry no payload bytes, so the byte-based water marks never
    // limit the queue; the count of queued requests is bounded by the
    // connections' flow instead.
    msg_queue()->high_water_mark(static_cast<size_t>(-1) / 2);
}

Task::~Task()
{
    if (thr_count() > 0)
        hangUp();
    deleteQueuedItems();
}

int Task::openWorkers(int threadCount)
{
    if (threadCount <= 0)
        return -1;
    startBarrier_ = std::make_unique<ACE_Barrier>(static_cast<unsigned>(threadCount));
    return activate(THR_NEW_LWP | THR_JOINABLE, threadCount);
}

int Task::enqueueWork(Work* work)
{
    if (!work)
        return -1;
    auto* block = new (std::nothrow) ACE_Message_Block(sizeof(QueuedWork));
    if (!block || block->size() < sizeof(QueuedWork)) {
        if (block)
            block->release();
        delete work;
        return kNoBlock;
    }
    // The clock is read only when someone counts.
    const QueuedWork queued { work,
        counters_ ? std::chrono::steady_clock::now() : std::chrono::steady_clock::time_point() };
    block->copy(reinterpret_cast<const char*>(&queued), sizeof queued);
    block->msg_priority(static_cast<unsigned long>(work->kind()));
    // Counted before it can be seen, so that runAtOnce never overtakes it.
    if (!work->isShared())
        exclusiveItems_.fetch_add(1);
    ACE_Time_Value noWait = ACE_Time_Value::zero;
    if (msg_queue()->enqueue_prio(block, &noWait) == -1) {
        block->release();
        settled(*work);
        delete work;
        return -1;
    }
    return 0;
}

bool Task::runAtOnce(Work& work)
{
    if (!work.isShared() || exclusiveItems_.load() != 0)
        return false;
    if (workToken_.tryacquire_read() != 0)
        return false;
    // An exclusive item queued before the token was taken goes first.
    // Asked under the token: no exclusive item can change what the answer
    // is made from between the question and the answer.
    if (exclusiveItems_.load() != 0 || !work.answerableAtOnce()) {
        workToken_.release();
        return false;
    }
    if (counters_)
        countStart(std::chrono::steady_clock::now());
    processGuarded(work);
    workToken_.release();
    return true;
}

void Task::settled(const Work& work)
{
    if (!work.isShared())
        exclusiveItems_.fetch_sub(1);
}

void Task::hangUp()
{
    auto* block = new ACE_Message_Block(size_t { 0 }, ACE_Message_Block::MB_HANGUP);
    block->msg_priority(kHangUpPriority);
    if (msg_queue()->enqueue_tail(block) == -1) {
        // The queue is closed: its threads have ended already.
        block->release();
    }
    wait();
}

int Task::svc()
{
    startBarrier_->wait();
    for (;;) {
        // Idle workers wait on the queue itself, so that an item wakes one
        // worker; waiting in turn for the dequeue token woke a second one
        // per item only to have it wait on the queue in the first's place.
        ACE_Message_Block* block = nullptr;
        if (msg_queue()->peek_dequeue_head(block) == -1)
            return -1;
        dequeueToken_.acquire();
        ACE_Time_Value noWait = ACE_Time_Value::zero;
        if (msg_queue()->dequeue_head(block, &noWait) == -1) {
            // Another worker took it first; a closed queue ends the worker
            // at the next wait.
            dequeueToken_.release();
            continue;
        }
        if (block->msg_type() == ACE_Message_Block::MB_HANGUP) {
            // Left at the head so that every other worker sees it as well.
            ungetq(block);
            dequeueToken_.release();
            return 0;
        }
        const QueuedWork queued = queuedOf(block);
        block->release();
        if (counters_)
            countStart(queued.queuedAt);
        if (queued.work)
            runItem(queued.work);
        else
            dequeueToken_.release();
    }
}

void Task::runItem(Work* work)
{
    {
        WorkTokenHold hold(workToken_, work->isShared());
        dequeueToken_.release();
        processGuarded(*work);
    }
    settled(*work);
    delete work;
}

void Task::processGuarded(Work& work)
{
    try {
        work.process();
    } catch (...) {
        // process() catches everything itself; this only keeps the
        // worker and the token alive if an item breaks that rule.
        kav::logEscapedException(logger(), __FILE__, __LINE__);
        try {
            work.abandon();
        } catch (...) {
            kav::logEscapedException(logger(), __FILE__, __LINE__);
        }
    }
}

void Task::countStart(std::chrono::steady_clock::time_point queuedAt)
{
    const auto waited
        = std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - queuedAt);
    kav::ServiceCounters::bump(counters_->workItemsStarted);
    kav::ServiceCounters::bump(counters_->workWaitMicroseconds, static_cast<uint64_t>(waited.count()));
}

void Task::deleteQueuedItems()
{
    ACE_Message_Block* block = nullptr;
    ACE_Time_Value noWait = ACE_Time_Value::zero;
    while (msg_queue()->message_count() > 0 && msg_queue()->dequeue_head(block, &noWait) != -1) {
        if (block->msg_type() != ACE_Message_Block::MB_HANGUP) {
            Work* work = queuedOf(block).work;
            if (work)
                settled(*work);
            delete work;
        }
        block->release();
    }
}

} // namespace rs
