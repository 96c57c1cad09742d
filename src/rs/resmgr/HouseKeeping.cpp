#include "rs/resmgr/HouseKeeping.h"

#include "common/KavErrorInfo.h"
#include "platform/zor/zor.h"
#include "rs/resmgr/ResManagerCommon.h"

#include <memory>
#include <utility>

namespace rs::resmgr {

HouseKeeping::HouseKeeping(
    PeriodicManager& periodic, ConsumerTable& table, log4cxx::LoggerPtr logger, ExitFunction exit)
    : periodic_(periodic)
    , table_(table)
    , logger_(std::move(logger))
    , exit_(std::move(exit))
{
}

HouseKeeping::~HouseKeeping()
{
    // Without stop (a test, an early exit) the timers must not outlive us.
    for (long timer : { houseKeepingTimer_, refreshTimer_ })
        if (timer != -1)
            periodic_.cancel(timer);
}

// ---------------------------------------------------------------- timers

void HouseKeeping::adoptScheduleInterval(unsigned scheduleInterval)
{
    long oldTimer;
    {
        std::lock_guard lock(mutex_);
        if (scheduleInterval == 0 || (interval_ != 0 && interval_ <= scheduleInterval))
            return;
        LOG4CXX_INFO(logger_,
            " Change ResourceBalanceInterval from '" << interval_ << "' to '" << scheduleInterval << "'");
        interval_ = scheduleInterval;
        oldTimer = std::exchange(houseKeepingTimer_, -1);
    }
    if (oldTimer != -1)
        periodic_.cancel(oldTimer);
    ACE_Time_Value period(scheduleInterval);
    long timer = periodic_.registerMethod([this] { run(); }, {}, period, period);
    std::lock_guard lock(mutex_);
    houseKeepingTimer_ = timer;
}

unsigned HouseKeeping::interval() const
{
    std::lock_guard lock(mutex_);
    return interval_;
}

void HouseKeeping::scheduleCredentialRefresh()
{
    long timer = periodic_.registerMethod([this] { refreshCredentials(); }, {},
        ACE_Time_Value(kRefreshCredentialInterval), ACE_Time_Value(kRefreshCredentialInterval));
    std::lock_guard lock(mutex_);
    refreshTimer_ = timer;
}

void HouseKeeping::stop()
{
    long houseKeeping, refresh;
    {
        std::lock_guard lock(mutex_);
        houseKeeping = std::exchange(houseKeepingTimer_, -1);
        refresh = std::exchange(refreshTimer_, -1);
    }
    if (houseKeeping != -1)
        periodic_.cancel(houseKeeping);
    if (refresh != -1)
        periodic_.cancel(refresh);
    if (houseKeeping != -1 || refresh != -1)
        periodic_.cleanup();
}

// ---------------------------------------------------------------- house-keeping

void HouseKeeping::run()
{
    for (auto& c : table_.all()) {
        modifyInHouseKeeping(c);
        zorReleaseInHouseKeeping(c);
    }
}

void HouseKeeping::modifyInHouseKeeping(const ConsumerTable::ConsumerPtr& consumer)
{
    std::lock_guard handleLock(consumer->handleMutex());
    std::string allocId;
    int newMax;
    {
        std::lock_guard lock(table_.mutex());
        if (!consumer->handleOpen() || !consumer->reallocPending() || consumer->allocationId().empty())
            return;
        allocId = consumer->allocationId();
        newMax = consumer->pendingMax();
    }
    if (zor_realloc(consumer->handle(), allocId.c_str(), newMax) == 0) {
        std::lock_guard lock(table_.mutex());
        consumer->clearRealloc();
        consumer->setMaxResources(newMax);
        return;
    }
    int err = zorerrno;
    if (err == ZORE_ZORKD_DOWN) {
        LOG4CXX_WARN(logger_,
            "reallocation failed due to ZORE_ZORKD_DOWN, retry it later, allocId='" << allocId << "'");
        return;
    }
    if (err == ZORE_NOSUCHALLOC) {
        LOG4CXX_FATAL(logger_, "Allocation <" << allocId << "> no longer exists. Exiting process.");
        exit_(1);
        return;
    }
    libraryFailure(logger_, "zor_realloc of allocId='" + allocId + "' failed", KAV_LOCATION.c_str());
    kav::clearErrorInfo();
    std::lock_guard lock(table_.mutex());
    consumer->clearRealloc();
}

void HouseKeeping::zorReleaseInHouseKeeping(const ConsumerTable::ConsumerPtr& consumer)
{
    std::lock_guard handleLock(consumer->handleMutex());
    ZORConsumer::PendingReleases pending;
    std::string allocId;
    {
        std::lock_guard lock(table_.mutex());
        if (!consumer->handleOpen())
            return;
        pending = consumer->takePendingReleases();
        allocId = consumer->allocationId();
    }
    for (auto& [flag, hosts] : pending)
        for (auto& [host, slots] : hosts) {
            std::string name = host;
            zor_hostslots_t entry { name.data(), slots, 0, nullptr };
            if (zor_release(consumer->handle(), allocId.c_str(), 1, &entry, flag) == 0)
                continue;
            if (zorerrno == ZORE_NOTOWNED || zorerrno == ZORE_NOSUCHALLOC)
                continue; // nothing left to give back
            LOG4CXX_WARN(logger_,
                "Failed to release slot. Remaining slots: <" << host << ":" << slots
                                                             << ">. Will be retried later.");
            std::lock_guard lock(table_.mutex());
            consumer->addPendingRelease(flag, host, slots);
        }
}

// ---------------------------------------------------------------- credential

void HouseKeeping::refreshCredentials()
{
    zor_openopt_t options {};
    zor_handle_t* handle = zor_open(&options);
    if (!handle || zor_logon(handle, nullptr, nullptr, table_.credential().c_str()) != 0) {
        LOG4CXX_ERROR(logger_,
            "credential refresh failed, the old credential stays in use: " << zor_strerror(zorerrno));
        if (handle)
            zor_close(handle);
        return;
    }
    char* fresh = zor_getcredential(handle);
    zor_close(handle);
    if (fresh) {
        LOG4CXX_INFO(logger_, "New credential:" << maskCredential(fresh));
        table_.setCredential(fresh);
        zor_free_string(fresh);
    }
    for (auto& c : table_.all()) {
        const std::string id = c->consumerId();
        int32_t rc = table_.withHandle(id, [&](ZORConsumer& consumer) {
            if (zor_refreshcredential(consumer.handle(), consumer.consumerPath().c_str()) != 0)
                return libraryFailure(
                    logger_, "zor_refreshcredential of consumerId='" + id + "' failed", KAV_LOCATION.c_str());
            return 0;
        });
        if (rc < 0)
            kav::clearErrorInfo();
    }
}

} // namespace rs::resmgr
