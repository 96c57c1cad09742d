#include "rs/resmgr/ConsumerRegistration.h"

#include "common/KavErrorInfo.h"
#include "common/ResultCodes.h"
#include "rs/resmgr/IResourceConsumer.h"
#include "rs/resmgr/LibraryCallbacks.h"
#include "rs/resmgr/ResManagerCommon.h"

#include <map>
#include <memory>

namespace rs::resmgr {

ConsumerRegistration::ConsumerRegistration(
    ConsumerTable& table, LibraryCallbacks& callbacks, log4cxx::LoggerPtr logger)
    : table_(table)
    , callbacks_(callbacks)
    , logger_(std::move(logger))
{
}

int32_t ConsumerRegistration::registerConsumer(const std::string& consumerId, IResourceConsumer* callback,
    const std::string& description, unsigned scheduleInterval, const std::string& consumerPath)
{
    RM_ASSERT(consumerId.length() != 0);
    RM_ASSERT(consumerPath.length() != 0);
    RM_ASSERT(callback != nullptr);
    const std::string failure
        = "consumerId='" + consumerId + "' can not be registered. call_zor_register failed";
    zor_openopt_t options {};
    zor_handle_t* handle = zor_open(&options);
    if (!handle)
        return libraryFailure(logger_, failure, KAV_LOCATION.c_str());
    const std::string credential = table_.credential();
    auto consumer = std::make_shared<ZORConsumer>(consumerId, consumerPath, handle, callback);
    // Entered before registering: callbacks may come at once.
    ConsumerTable::CallbackContext* context = table_.add(consumer, &callbacks_);
    if (!context) {
        zor_close(handle);
        return kav::setError(kav::rc::ZOR_CALL_FAILED, "consumer '" + consumerId + "' is registered already",
            KAV_LOCATION, { consumerId });
    }
    zor_regreq_t request { consumerPath.c_str(), description.c_str(),
        ZOR_REG_CONSUMER | (scheduleInterval ? ZOR_REG_SCHEDULE : 0), static_cast<int32_t>(scheduleInterval),
        context };
    zor_allocreply_t* reply = nullptr;
    if (zor_logon(handle, nullptr, nullptr, credential.c_str()) != 0
        || zor_register2(handle, &request, &LibraryCallbacks::table(), &reply) != 0) {
        int32_t rc = libraryFailure(logger_, failure, KAV_LOCATION.c_str());
        std::unique_ptr<kav::KavErrorInfo> info(kav::takeErrorInfo());
        table_.remove(consumerId);
        zor_close(handle);
        table_.forgetContext(context);
        kav::setErrorInfo(std::move(info));
        return rc;
    }
    {
        std::lock_guard handleLock(consumer->handleMutex());
        std::lock_guard lock(table_.mutex());
        recoverConsumer(*consumer, *reply, logger_);
    }
    zor_free_allocreply(reply);
    LOG4CXX_INFO(
        logger_, "consumerId='" << consumerId << "' registered on consumer path '" << consumerPath << "'");
    return 0;
}

void recoverConsumer(ZORConsumer& consumer, const zor_allocreply_t& reply, const log4cxx::LoggerPtr& logger)
{
    if (reply.nallocation == 0) {
        LOG4CXX_DEBUG(logger, "create ZORConsumer from scratch since allocReplyList->nallocation  == 0");
        return;
    }
    if (reply.nallocation > 1) {
        kav::setError(kav::rc::ZOR_CALL_FAILED,
            "more than one allocation for consumer " + consumer.consumerId(), KAV_LOCATION,
            { consumer.consumerId() });
        logAndDropError(logger, "recovery");
    }
    const zor_allocation_t& allocation = reply.allocations[0];
    consumer.setAllocationId(allocation.allocId);
    // Free slots per host, less what the manager is reclaiming.
    std::map<std::string, int> slots;
    std::map<std::string, const zor_hostslots_t*> hosts;
    for (int i = 0; i < allocation.nhost; ++i) {
        slots[allocation.hosts[i].hostName] += allocation.hosts[i].slots;
        hosts[allocation.hosts[i].hostName] = &allocation.hosts[i];
    }
    for (int i = 0; i < reply.nreclaim; ++i)
        if (std::string(reply.reclaims[i].allocId) == allocation.allocId)
            for (int k = 0; k < reply.reclaims[i].nhost; ++k)
                slots[reply.reclaims[i].hosts[k].hostName] -= reply.reclaims[i].hosts[k].slots;
    auto newResource = [&](const std::string& host) {
        const zor_hostslots_t* h = hosts[host];
        return kav::RefPtr<VrmResource>::adopt(new VrmResource(host, h ? attribute(*h, "type") : "",
            consumer.consumerId(), allocation.allocId, h ? cpuFactorOf(*h) : 1.0f));
    };
    int adopted = 0;
    for (int i = 0; i < reply.ncontainer; ++i) {
        const zor_container_t& c = reply.containers[i];
        bool live = c.state == ZOR_CONTAINER_START || c.state == ZOR_CONTAINER_RUN
            || c.state == ZOR_CONTAINER_UNKNOWN;
        if (!live) {
            LOG4CXX_INFO(logger,
                "Container <" << c.containerId << "> on <" << c.hostName << "> is "
                              << containerStateName(c.state));
            continue;
        }
        if (slots[c.hostName] > 0) {
            --slots[c.hostName];
            kav::RefPtr<VrmResource> r = newResource(c.hostName);
            r->setContainerId(c.containerId);
            consumer.addResource(r.get());
            ++adopted;
        } else {
            LOG4CXX_WARN(logger, "Killing " << c.containerId << " on " << c.hostName);
            if (zor_signalcontainer(consumer.handle(), c.containerId, kKillSignal) != 0)
                LOG4CXX_WARN(logger, "Killing " << c.containerId << " failed: " << zor_strerror(zorerrno));
        }
    }
    LOG4CXX_INFO(logger,
        "There are <" << reply.ncontainer << "> containers "
                      << "of which <" << adopted << "> belong to allocated slots and <"
                      << reply.ncontainer - adopted << "> belong to other slots.");
    for (auto& [host, n] : slots)
        for (int k = 0; k < n; ++k)
            consumer.addResource(newResource(host).get());
}

int32_t ConsumerRegistration::unregisterConsumer(const std::string& consumerId)
{
    ConsumerTable::Removed removed = table_.remove(consumerId);
    if (!removed.consumer)
        return table_.notRegistered(consumerId);
    zor_handle_t* handle;
    {
        std::lock_guard handleLock(removed.consumer->handleMutex());
        handle = removed.consumer->takeHandle();
    }
    return closeHandle(handle, consumerId, removed.context);
}

int32_t ConsumerRegistration::closeHandle(
    zor_handle_t* handle, const std::string& consumerId, const ConsumerTable::CallbackContext* context)
{
    const std::string who = "consumerId='" + consumerId + "'";
    if (zor_unregister(handle) != 0)
        return libraryFailure(logger_, who + " zor_unregister failed", KAV_LOCATION.c_str());
    if (zor_logoff(handle) != 0)
        return libraryFailure(logger_, who + " zor_logoff failed", KAV_LOCATION.c_str());
    if (zor_close(handle) != 0)
        return libraryFailure(logger_, who + " zor_close failed", KAV_LOCATION.c_str());
    table_.forgetContext(context); // no callback can come with it any more
    LOG4CXX_INFO(logger_, "consumerId='" << consumerId << "' unregistered");
    return 0;
}

} // namespace rs::resmgr
