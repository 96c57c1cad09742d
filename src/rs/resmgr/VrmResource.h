#pragma once
// VrmResource: one allocated slot of a host, shared by ZORResManager's books
// and the consumer that uses it.
//
// Reference-counted (kav::Referable, starts at 1 for its creator). The
// attributes are fixed at creation; containerId and containerState change
// when a container starts or ends and are guarded by the object's mutex.

#include "common/Referable.h"

#include <mutex>
#include <string>

namespace rs::resmgr {

class VrmResource : public kav::Referable {
public:
    VrmResource(std::string name, std::string osType, std::string consumerId, std::string allocationId,
        float cpuFactor, int releaseFlag = 0);

    const std::string& name() const { return name_; }
    const std::string& osType() const { return osType_; }
    const std::string& consumerId() const { return consumerId_; }
    const std::string& allocationId() const { return allocationId_; }
    float cpuFactor() const { return cpuFactor_; }
    int releaseFlag() const { return releaseFlag_; }

    std::string containerId() const;
    void setContainerId(const std::string& id);
    // Last state reported for the container (0 while none).
    int containerState() const;
    void setContainerState(int state);

    std::string dump() const;

private:
    ~VrmResource() override = default;

    const std::string name_, osType_, consumerId_, allocationId_;
    const float cpuFactor_;
    const int releaseFlag_;
    mutable std::mutex mutex_; // guards the container fields
    std::string containerId_;
    int containerState_ = 0;
};

} // namespace rs::resmgr
