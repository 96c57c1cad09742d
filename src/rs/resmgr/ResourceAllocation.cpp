#include "rs/resmgr/ResourceAllocation.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "platform/zor/zor.h"
#include "rs/resmgr/ResManagerCommon.h"

namespace rs::resmgr {

ResourceAllocation::ResourceAllocation(ConsumerTable& table, log4cxx::LoggerPtr logger)
    : table_(table)
    , logger_(std::move(logger))
{
}

ConsumerTable::ConsumerPtr ResourceAllocation::registered(const std::string& consumerId)
{
    ConsumerTable::ConsumerPtr consumer = table_.find(consumerId);
    if (!consumer)
        kav::setError(kav::rc::ZOR_CONSUMER_GONE, "consumer '" + consumerId + "' is not registered",
            KAV_LOCATION, { consumerId });
    return consumer;
}

int32_t ResourceAllocation::getResources(const std::string& consumerId, int minRes, int maxRes,
    const std::string& resType, const std::string& resGroup, const std::string& resReq)
{
    RM_ASSERT(maxRes > 0 && minRes > 0);
    RM_ASSERT(resType.length() != 0);
    return table_.withHandle(consumerId, [&](ZORConsumer& consumer) {
        const std::string& path = consumer.consumerPath();
        zor_allocreq_t request { path.c_str(), resGroup.c_str(), resReq == "any" ? "" : resReq.c_str(),
            resType.c_str(), minRes, maxRes, 0 };
        char* allocId = nullptr;
        if (zor_alloc(consumer.handle(), &request, &allocId) != 0)
            return libraryFailure(
                logger_, "consumerId='" + consumerId + "' zor_alloc failed", KAV_LOCATION.c_str());
        std::lock_guard lock(table_.mutex());
        consumer.setAllocationId(allocId);
        consumer.setMaxResources(maxRes);
        zor_free_string(allocId);
        return 0;
    });
}

int32_t ResourceAllocation::cancel(const std::string& consumerId)
{
    return table_.withHandle(consumerId, [&](ZORConsumer& consumer) {
        std::string allocId;
        {
            std::lock_guard lock(table_.mutex());
            allocId = consumer.allocationId();
        }
        if (allocId.empty())
            return kav::setError(kav::rc::ZOR_CALL_FAILED,
                "consumer '" + consumerId + "' holds no allocation", KAV_LOCATION, { consumerId });
        if (zor_allocfree(consumer.handle(), allocId.c_str()) != 0)
            return libraryFailure(
                logger_, "consumerId='" + consumerId + "' zor_allocfree failed", KAV_LOCATION.c_str());
        std::lock_guard lock(table_.mutex());
        consumer.setAllocationId({});
        consumer.takePendingReleases();
        consumer.clearRealloc();
        for (auto& r : ZORConsumer::Resources(consumer.resources()))
            consumer.removeResource(r.get());
        return 0;
    });
}

int32_t ResourceAllocation::giveBack(VrmResource* resource, int flag)
{
    RM_ASSERT(resource != nullptr);
    kav::RefPtr<VrmResource> keep(resource);
    return table_.withHandle(resource->consumerId(), [&](ZORConsumer& consumer) {
        std::string host = resource->name();
        zor_hostslots_t slot { host.data(), 1, 0, nullptr };
        int rc = zor_release(consumer.handle(), resource->allocationId().c_str(), 1, &slot, flag);
        int err = rc == 0 ? 0 : zorerrno;
        std::lock_guard lock(table_.mutex());
        consumer.removeResource(resource);
        if (rc == 0)
            return 0;
        if (err == ZORE_NOTOWNED || err == ZORE_NOSUCHALLOC) {
            LOG4CXX_WARN(logger_, "resource on '" << host << "' is no longer owned; dropped all the same");
            return 0;
        }
        consumer.addPendingRelease(flag, host, 1);
        return libraryFailure(
            logger_, "consumerId='" + resource->consumerId() + "' zor_release failed", KAV_LOCATION.c_str());
    });
}

int32_t ResourceAllocation::release(VrmResource* resource)
{
    RM_ASSERT(resource != nullptr);
    return giveBack(resource, resource->releaseFlag());
}

int32_t ResourceAllocation::replace(VrmResource* resource)
{
    // The library never offers a replaced host to the allocation again, which
    // is what a black list of that host would do.
    return giveBack(resource, ZOR_RELEASE_REPLACE);
}

int32_t ResourceAllocation::modify(const std::string& consumerId, int maxRes)
{
    RM_ASSERT(maxRes > 0);
    ConsumerTable::ConsumerPtr consumer = registered(consumerId);
    if (!consumer)
        return kav::rc::ZOR_CONSUMER_GONE;
    std::lock_guard lock(table_.mutex());
    consumer->requestRealloc(maxRes);
    return 0;
}

int32_t ResourceAllocation::getAllocactedList(const std::string& consumerId, ZORConsumer::Resources& out)
{
    ConsumerTable::ConsumerPtr consumer = registered(consumerId);
    if (!consumer)
        return kav::rc::ZOR_CONSUMER_GONE;
    std::lock_guard lock(table_.mutex());
    out = consumer->resources();
    return 0;
}

int32_t ResourceAllocation::checkAllocations()
{
    int32_t result = 0;
    for (auto& c : table_.all()) {
        int32_t rc = table_.withHandle(c->consumerId(), [&](ZORConsumer& consumer) {
            std::string allocId;
            int max;
            {
                std::lock_guard lock(table_.mutex());
                allocId = consumer.allocationId();
                max = consumer.maxResources();
            }
            // Re-asking for the same maximum changes nothing but fails when the allocation is gone.
            if (allocId.empty() || zor_realloc(consumer.handle(), allocId.c_str(), max) == 0)
                return 0;
            return libraryFailure(logger_,
                "Allocation <" + allocId + "> of consumerId='" + consumer.consumerId()
                    + "' can not be checked",
                KAV_LOCATION.c_str());
        });
        if (rc < 0)
            result = rc;
    }
    return result;
}

} // namespace rs::resmgr
