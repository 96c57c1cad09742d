#include "rs/resmgr/ZORConsumer.h"

#include <algorithm>
#include <sstream>

namespace rs::resmgr {

ZORConsumer::ZORConsumer(
    std::string consumerId, std::string consumerPath, zor_handle_t* handle, IResourceConsumer* callback)
    : consumerId_(std::move(consumerId))
    , consumerPath_(std::move(consumerPath))
    , callback_(callback)
    , handle_(handle)
{
}

zor_handle_t* ZORConsumer::takeHandle()
{
    return std::exchange(handle_, nullptr);
}

ZORConsumer::Resources ZORConsumer::takeResourcesOn(const std::string& host)
{
    Resources taken;
    auto keep = std::stable_partition(resources_.begin(), resources_.end(),
        [&](const kav::RefPtr<VrmResource>& r) { return r->name() != host; });
    std::move(keep, resources_.end(), std::back_inserter(taken));
    resources_.erase(keep, resources_.end());
    return taken;
}

bool ZORConsumer::removeResource(const VrmResource* resource)
{
    auto it = std::find_if(resources_.begin(), resources_.end(),
        [&](const kav::RefPtr<VrmResource>& r) { return r.get() == resource; });
    if (it == resources_.end())
        return false;
    resources_.erase(it);
    return true;
}

VrmResource* ZORConsumer::findByContainer(const std::string& containerId) const
{
    for (auto& r : resources_)
        if (r->containerId() == containerId)
            return r.get();
    return nullptr;
}

std::string ZORConsumer::dump() const
{
    std::ostringstream out;
    out << "ZORConsumer consumerId = <" << consumerId_ << "> consumerPath = <" << consumerPath_
        << "> allocationId = <" << allocationId_ << "> resources = <" << resources_.size() << ">";
    for (auto& r : resources_)
        out << "\n    " << r->dump();
    return out.str();
}

} // namespace rs::resmgr
