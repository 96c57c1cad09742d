#include "rs/resmgr/VrmResource.h"

#include <sstream>

namespace rs::resmgr {

VrmResource::VrmResource(std::string name, std::string osType, std::string consumerId,
    std::string allocationId, float cpuFactor, int releaseFlag)
    : name_(std::move(name))
    , osType_(std::move(osType))
    , consumerId_(std::move(consumerId))
    , allocationId_(std::move(allocationId))
    , cpuFactor_(cpuFactor)
    , releaseFlag_(releaseFlag)
{
}

std::string VrmResource::containerId() const
{
    std::lock_guard lock(mutex_);
    return containerId_;
}

void VrmResource::setContainerId(const std::string& id)
{
    std::lock_guard lock(mutex_);
    containerId_ = id;
}

int VrmResource::containerState() const
{
    std::lock_guard lock(mutex_);
    return containerState_;
}

void VrmResource::setContainerState(int state)
{
    std::lock_guard lock(mutex_);
    containerState_ = state;
}

std::string VrmResource::dump() const
{
    std::ostringstream out;
    out << "VrmResource name = <" << name_ << "> osType = <" << osType_ << "> containerId = <"
        << containerId() << "> consumerId = <" << consumerId_ << "> allocationId = <" << allocationId_
        << "> cpuFactor = <" << cpuFactor_ << "> releaseFlag = <" << releaseFlag_ << ">";
    return out.str();
}

} // namespace rs::resmgr
