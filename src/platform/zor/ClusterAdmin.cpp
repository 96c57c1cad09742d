#include "platform/zor/ClusterAdmin.h"

#include "platform/zor/EmbeddedCluster.h"

namespace zor {

void ClusterAdmin::reload()
{
    EmbeddedCluster& cluster = EmbeddedCluster::instance();
    EmbeddedCluster::Lock lock(cluster.mutex_);
    EmbeddedCluster::Containers dropped;
    auto keep = [&](EmbeddedCluster::Containers containers) {
        dropped.insert(dropped.end(), containers.begin(), containers.end());
    };
    for (uint64_t h : cluster.registrations_.ids()) {
        keep(cluster.unregisterLocked(h));
        cluster.registrations_.close(h);
    }
    for (Allocation* orphan : cluster.books_.all())
        keep(cluster.dropAllocationLocked(*orphan));
    cluster.hosts_.reset();
    cluster.description_.reset();
    cluster.descriptionError_.clear();
    cluster.registrations_.waitForCallbacks(lock, 0);
    cluster.killAndReap(lock, std::move(dropped));
}

void ClusterAdmin::abandonConsumer(const std::string& path)
{
    EmbeddedCluster& cluster = EmbeddedCluster::instance();
    EmbeddedCluster::Lock lock(cluster.mutex_);
    cluster.descriptionLocked();
    const std::string normalised = normaliseConsumerPath(path);
    for (uint64_t h : cluster.registrations_.ids())
        if (cluster.registrations_.isRegistered(h, normalised)) {
            cluster.registrations_.withdraw(h);
            cluster.registrations_.waitForCallbacks(lock, h);
        }
}

} // namespace zor
