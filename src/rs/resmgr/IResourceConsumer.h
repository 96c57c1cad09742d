#pragma once
// The callback interface of a resource manager consumer (one per deployment
// run, or the keep-alive consumer). ZORResManager calls it on the resource
// manager library's callback thread, without holding its own lock, so an
// implementation may call back into ZORResManager.
//
// A VrmResource passed in stays referenced by the manager for the call; an
// implementation that keeps it takes its own reference.

#include <cstdint>
#include <string>

namespace rs::resmgr {

class VrmResource;

class IResourceConsumer {
public:
    virtual ~IResourceConsumer() = default;
    // A slot of a host was allocated. A negative result is logged.
    virtual int32_t onResource(VrmResource* resource) = 0;
    // The manager took slots of the allocation back by force.
    virtual int32_t onReclaimForce(const std::string& allocationId) = 0;
    // One resource was taken off the consumer (reclaim or host unavailable).
    virtual int32_t onReclaimResource(VrmResource* resource) = 0;
    virtual int32_t startContainer(VrmResource* resource) = 0;
    virtual int32_t onReleaseResources(VrmResource* resource) = 0;
    virtual void cleanup() = 0;
    virtual void destroy() = 0;
};

} // namespace rs::resmgr
