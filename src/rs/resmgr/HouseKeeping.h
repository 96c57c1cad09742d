#pragma once
// HouseKeeping: the periodic work of ZORResManager on the PeriodicManager —
// every ResourceBalanceInterval seconds it carries out the re-allocation and
// release requests the consumers still have pending, and every 7200 seconds
// it renews the client's credential and hands it to every consumer's handle.
// The period is the smallest schedule interval a consumer registered with
// (0, and no timer, until one does).
//
// Threads: run and refreshCredentials on the periodic manager's thread (or a
// caller's); the rest from any thread. mutex_ guards the period and the
// timers; the consumers' books are the table's.

#include "rs/resmgr/ConsumerTable.h"
#include "rs/resmgr/PeriodicManager.h"

#include <log4cxx/logger.h>

#include <functional>
#include <mutex>

namespace rs::resmgr {

inline constexpr unsigned kRefreshCredentialInterval = 7200;

class HouseKeeping {
public:
    // What to do when an allocation vanished under house-keeping: the
    // service cannot go on with books the manager no longer has.
    using ExitFunction = std::function<void(int)>;

    HouseKeeping(
        PeriodicManager& periodic, ConsumerTable& table, log4cxx::LoggerPtr logger, ExitFunction exit);
    ~HouseKeeping(); // cancels the timers
    HouseKeeping(const HouseKeeping&) = delete;
    HouseKeeping& operator=(const HouseKeeping&) = delete;

    // A consumer registered with this schedule interval (0: none).
    void adoptScheduleInterval(unsigned scheduleInterval);
    unsigned interval() const;
    void scheduleCredentialRefresh();
    // Cancels both timers and, when either was set, stops the periodic manager.
    void stop();

    void run();
    void refreshCredentials();

private:
    void modifyInHouseKeeping(const ConsumerTable::ConsumerPtr& consumer);
    void zorReleaseInHouseKeeping(const ConsumerTable::ConsumerPtr& consumer);

    PeriodicManager& periodic_;
    ConsumerTable& table_;
    log4cxx::LoggerPtr logger_;
    ExitFunction exit_;
    mutable std::mutex mutex_;
    unsigned interval_ = 0;
    long houseKeepingTimer_ = -1;
    long refreshTimer_ = -1;
};

} // namespace rs::resmgr
