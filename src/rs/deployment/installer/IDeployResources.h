#pragma once
// The resource manager operations that a deployment run uses, as one small
// interface: the production implementation forwards to the resource manager
// client singleton, tests use a fake cluster.
//
// Every call returns 0 (or more) on success and a negative result code with
// the thread's error information set on failure.
//
// Thread: called on worker, installer and callback threads; implementations
// are thread-safe and must not call back into the caller synchronously.

#include "rs/deployment/status/ResourceHandle.h"

#include <string>
#include <vector>

namespace rs {

class RsResAlloc;

class IDeployResources {
public:
    virtual ~IDeployResources() = default;

    // Registers the run under `registration`, a name that no other
    // registration has, on the consumer path `consumer` (several runs may
    // share a path); resources arrive at owner->onResource. The calls below
    // name the registration.
    // REQUIRES: owner stays alive until unregisterConsumer.
    virtual int registerConsumer(
        const std::string& registration, const std::string& consumer, RsResAlloc* owner)
        = 0;
    virtual int unregisterConsumer(const std::string& registration) = 0;
    virtual int getHostGroupInfo(const std::string& resourceGroup, std::vector<std::string>& hosts) = 0;
    // Asks for between minimum and maximum hosts of the group.
    virtual int getResources(const std::string& registration, int minimum, int maximum,
        const std::string& resourceGroup, const std::string& requirement)
        = 0;
    // Gives the host slot back; the allocation's maximum shrinks with it.
    virtual int release(const ResourceHandle& resource) = 0;
    // Gives the host slot back so that another host comes in its place: the
    // maximum stays and the host is not offered to the allocation again.
    virtual int replace(const ResourceHandle& resource) = 0;
    // Starts `command` in a container on the resource's host.
    virtual int provisionAs(const ResourceHandle& resource, const std::string& command,
        const std::vector<std::string>& environment, const std::string& runAsUser, const std::string& workDir)
        = 0;
};

// The production implementation over the resource manager client singleton.
IDeployResources& clusterDeployResources();

} // namespace rs
