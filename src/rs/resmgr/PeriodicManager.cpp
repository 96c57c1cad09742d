#include "rs/resmgr/PeriodicManager.h"

#include "common/KavErrorInfo.h"
#include "rs/i18n/ErrorLine.h"

#include <ace/ACE.h>
#include <ace/Barrier.h>
#include <ace/Event_Handler.h>
#include <ace/Reactor.h>
#include <ace/TP_Reactor.h>
#include <ace/Thread.h>
#include <log4cxx/logger.h>

namespace rs::resmgr {

namespace {

// One scheduled method. Reference counting is enabled, so the reactor keeps
// the handler alive while it runs and releases it when the timer ends.
class MethodInfo final : public ACE_Event_Handler {
public:
    explicit MethodInfo(PeriodicManager::Method method)
        : method_(std::move(method))
    {
        reference_counting_policy().value(ACE_Event_Handler::Reference_Counting_Policy::ENABLED);
    }

    // arg is non-null for a periodic timer: it stays scheduled after a normal return.
    int handle_timeout(const ACE_Time_Value&, const void* arg) override
    {
        kav::clearErrorInfo();
        try {
            method_();
        } catch (...) {
            kav::absorbCurrentException(__FILE__, __LINE__);
            std::unique_ptr<kav::KavErrorInfo> info(kav::takeErrorInfo());
            if (info)
                kav::logErrorLine(log4cxx::Logger::getRootLogger(), log4cxx::Level::getInfo(), *info);
            return -1;
        }
        return arg ? 0 : -1;
    }

private:
    PeriodicManager::Method method_;
};

} // namespace

PeriodicManager& PeriodicManager::instance()
{
    static PeriodicManager manager;
    return manager;
}

PeriodicManager::PeriodicManager(Start mode)
    : reactor_(std::make_unique<ACE_Reactor>(new ACE_TP_Reactor(ACE::max_handles(), 1), true))
    , barrier_(std::make_unique<ACE_Barrier>(2))
{
    if (mode == Start::Now)
        start();
}

PeriodicManager::~PeriodicManager()
{
    if (reactor_->initialized())
        cleanup();
}

int PeriodicManager::start()
{
    if (started_)
        return 0;
    if (!reactor_->initialized())
        return -1;
    thread_ = std::thread([this] { svc(); });
    barrier_->wait(); // the thread owns the reactor from here on
    started_ = true;
    return 0;
}

void PeriodicManager::svc()
{
    reactor_->owner(ACE_Thread::self());
    barrier_->wait();
    reactor_->run_reactor_event_loop();
}

long PeriodicManager::registerMethod(
    Method method, Method firstCall, const ACE_Time_Value& delay, const ACE_Time_Value& interval)
{
    if (!method || !started_)
        return -1;
    auto* handler = new MethodInfo(std::move(method));
    if (firstCall)
        firstCall();
    const void* arg = interval == ACE_Time_Value::zero ? nullptr : this;
    long id = reactor_->schedule_timer(handler, arg, delay, interval);
    handler->remove_reference(); // the reactor holds it now, or nobody does
    return id;
}

int PeriodicManager::cancel(long timerId)
{
    if (!started_ || timerId < 0)
        return -1;
    return reactor_->cancel_timer(timerId, nullptr, 0) == 1 ? 0 : -1;
}

void PeriodicManager::cleanup()
{
    if (started_) {
        started_ = false;
        reactor_->end_reactor_event_loop();
        if (thread_.joinable())
            thread_.join();
    }
    reactor_->close();
}

} // namespace rs::resmgr
