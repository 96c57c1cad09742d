#pragma once
// RsResAlloc: host allocation of one deployment run. Registers the run with
// the cluster resource manager (a registration of its own on the run's
// consumer path), enters every target host in the host status table, asks
// for resources, hands the first resource of each target host to the
// installer, starts the deploy command in a container on a host, and gives
// resources back. A run deploys each target host once: a resource for a host
// that is not a target, or that had one in this run already, is given back
// for another host.
//
// Threads: init and cleanup run on a worker thread; onResource on the
// resource manager client's callback thread; startContainer and
// onReleaseResources on the installer's thread or, through deployNextHost, on
// the callback thread. The target-host list is written only by init, before
// any resource is asked for; the found-type and granted-host lists are
// guarded by mutex_.
//
// Ownership: owned by its PackageInstaller (destroy() therefore frees
// nothing); the installer and the service must outlive it. It keeps no
// reference on the resources it is handed beyond the call.

#include "rs/deployment/installer/IDeployResources.h"
#include "rs/deployment/installer/IDeploymentService.h"
#include "rs/deployment/installer/IHostDeployer.h"
#include "rs/resmgr/IResourceConsumer.h"

#include <mutex>
#include <set>
#include <string>
#include <vector>

namespace rs {

struct DeploymentRequest {
    std::string package;
    std::string user;
    std::string consumer; // consumer path; empty: kDefaultConsumer
    std::string resourceGroup; // empty: kDefaultResourceGroup
    std::string host; // a single target host; empty: the whole group
    bool uninstall = false;
};

class RsResAlloc : public resmgr::IResourceConsumer {
public:
    static constexpr const char* kDefaultConsumer = "/ClusterServices/QELClusterServices";
    static constexpr const char* kDefaultResourceGroup = "InternalResourceGroup";
    static constexpr const char* kWorkDir = "${QEL_TOP}/eservice/rs/work";

    RsResAlloc(IDeploymentService& service, IDeployResources& resources);
    RsResAlloc(const RsResAlloc&) = delete;
    RsResAlloc& operator=(const RsResAlloc&) = delete;

    // Stores the request (with its defaults), cleans up stale consumers and registers.
    void init(IHostDeployer& installer, const DeploymentRequest& request);
    // Unregisters the consumer when registered; one whose unregistration
    // fails is queued for the service's consumer clean-up.
    void cleanup() override;
    void destroy() override { }

    // The resource manager client's callbacks, on its callback thread.
    int32_t onResource(resmgr::VrmResource* resource) override;
    int32_t onReclaimForce(const std::string& allocationId) override;
    int32_t onReclaimResource(resmgr::VrmResource* resource) override;
    int32_t startContainer(resmgr::VrmResource* resource) override;
    int32_t onReleaseResources(resmgr::VrmResource* resource) override;

    // Called for each allocated host slot. Returns 0, or the failure of handing it back.
    int onResource(const ResourceHandle& resource);
    int onReleaseResources(const ResourceHandle& resource);

    // Starts the deploy command on the resource's host. Negative with the
    // thread's error information set on failure.
    int startContainer(const ResourceHandle& resource);

    bool isHostInResourceGroup(const std::string& host);
    bool isPackageAvailable(const std::string& hostType);
    std::string createZorCmd(const std::string& hostType, const std::string& host) const;
    // The deploy command's environment: the host's directories, then the
    // daemon's transport (DeployTransport).
    static std::vector<std::string> containerEnvironment();
    // The handle of a slot of the resource manager client (takes a reference).
    static ResourceHandle handleOf(resmgr::VrmResource* resource);

    const DeploymentRequest& request() const { return request_; }
    // The run's own registration with the resource manager, on the consumer
    // path request().consumer; set by init.
    const std::string& registration() const { return registration_; }
    const std::vector<std::string>& targetHosts() const { return targets_; }

private:
    void registerWithZOR();
    // True when the resource manager let the consumer go.
    bool unregisterWithZOR();
    void selectTargets(const std::vector<std::string>& groupHosts);
    void enterTargetHosts();
    // True for the first resource of the host in this run.
    bool firstGrantOf(const std::string& host);
    int replaceResource(const ResourceHandle& resource);
    bool packageStored(const std::string& hostType) const;

    IDeploymentService& service_;
    IDeployResources& resources_;
    IHostDeployer* installer_ = nullptr;
    DeploymentRequest request_;
    std::string registration_;
    bool registered_ = false;
    std::vector<std::string> targets_;
    std::mutex mutex_;
    std::vector<std::string> foundTypes_;
    std::set<std::string> grantedHosts_;
};

} // namespace rs
