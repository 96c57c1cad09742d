#pragma once
// ZORConsumer: the books of one registration — its library handle, its
// current allocation, its resources and the requests that house-keeping
// still has to carry out. The registration is known by its consumer
// identifier; the consumer path is what the library sees (several
// registrations may share one path).
//
// Threads: the fields are guarded by the ConsumerTable's lock, except the handle,
// which callers use under handleMutex() after checking handleOpen(), so that
// no call reaches a handle that unregistering has closed.

#include "platform/zor/zor.h"
#include "rs/resmgr/VrmResource.h"

#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

namespace rs::resmgr {

class IResourceConsumer;

class ZORConsumer {
public:
    ZORConsumer(
        std::string consumerId, std::string consumerPath, zor_handle_t* handle, IResourceConsumer* callback);

    const std::string& consumerId() const { return consumerId_; }
    const std::string& consumerPath() const { return consumerPath_; }
    IResourceConsumer* callback() const { return callback_; }
    zor_handle_t* handle() const { return handle_; }
    std::mutex& handleMutex() { return handleMutex_; }
    bool handleOpen() const { return handle_ != nullptr; }
    // Under handleMutex(): the handle is being closed; no call may use it again.
    zor_handle_t* takeHandle();

    const std::string& allocationId() const { return allocationId_; }
    void setAllocationId(std::string id) { allocationId_ = std::move(id); }
    int maxResources() const { return maxResources_; }
    void setMaxResources(int n) { maxResources_ = n; }

    using Resources = std::vector<kav::RefPtr<VrmResource>>;
    const Resources& resources() const { return resources_; }
    void addResource(VrmResource* resource) { resources_.emplace_back(resource); }
    // Takes every resource of the host off the books.
    Resources takeResourcesOn(const std::string& host);
    bool removeResource(const VrmResource* resource);
    VrmResource* findByContainer(const std::string& containerId) const;

    // A re-allocation request that house-keeping carries out.
    void requestRealloc(int newMax) { pendingMax_ = newMax, reallocPending_ = true; }
    bool reallocPending() const { return reallocPending_; }
    int pendingMax() const { return pendingMax_; }
    void clearRealloc() { reallocPending_ = false; }

    // Slots to give back, by release flag and host.
    using PendingReleases = std::map<int, std::map<std::string, int>>;
    void addPendingRelease(int flag, const std::string& host, int slots) { pending_[flag][host] += slots; }
    PendingReleases takePendingReleases() { return std::exchange(pending_, {}); }
    const PendingReleases& pendingReleases() const { return pending_; }

    std::string dump() const;

private:
    const std::string consumerId_;
    const std::string consumerPath_;
    IResourceConsumer* const callback_;
    std::mutex handleMutex_;
    zor_handle_t* handle_;
    std::string allocationId_;
    int maxResources_ = 0;
    Resources resources_;
    bool reallocPending_ = false;
    int pendingMax_ = 0;
    PendingReleases pending_;
};

} // namespace rs::resmgr
