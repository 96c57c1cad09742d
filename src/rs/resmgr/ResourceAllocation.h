#pragma once
// ResourceAllocation: how ZORResManager asks for host slots for a consumer
// and gives them back — one allocation per registration, slots returned one
// host at a time (kept as pending releases that house-keeping retries when
// the manager refuses), re-allocation requests recorded for house-keeping.
//
// Threads: any. Library calls run under the consumer's handle mutex, the
// books change under the table's lock.

#include "rs/resmgr/ConsumerTable.h"
#include "rs/resmgr/VrmResource.h"

#include <log4cxx/logger.h>

#include <string>
#include <vector>

namespace rs::resmgr {

class ResourceAllocation {
public:
    ResourceAllocation(ConsumerTable& table, log4cxx::LoggerPtr logger);

    int32_t getResources(const std::string& consumerId, int minRes, int maxRes, const std::string& resType,
        const std::string& resGroup, const std::string& resReq);
    int32_t cancel(const std::string& consumerId);
    // Gives the resource's slot back with its release flag.
    int32_t release(VrmResource* resource);
    // Gives the resource's slot back so that another host takes its place.
    int32_t replace(VrmResource* resource);
    int32_t modify(const std::string& consumerId, int maxRes);
    int32_t getAllocactedList(const std::string& consumerId, ZORConsumer::Resources& out);
    int32_t checkAllocations();

private:
    int32_t giveBack(VrmResource* resource, int flag);
    // The consumer, or null with error information set (not logged).
    ConsumerTable::ConsumerPtr registered(const std::string& consumerId);

    ConsumerTable& table_;
    log4cxx::LoggerPtr logger_;
};

} // namespace rs::resmgr
