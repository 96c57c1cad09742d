#pragma once
// PackageInstaller: one install or uninstall run of one package. Its own
// thread wakes on every message and once per tick (1 s) and moves allocated
// hosts on to the deploy command, never more than four of the package in
// WAITING or DOWNLOADING at once; every step also gives back the resources
// of hosts that have finished.
//
// Threads: init and cleanup run on a worker thread; svc on the installer's
// own thread; deployNextHost on that thread and on the resource manager
// client's callback thread (through RsResAlloc::onResource), serialised by
// deployMutex_. Host states change only through the host status table.
//
// Ownership: reference-counted. The creator holds the first reference and
// normally hands it to the InstallerRegistry. The last release() runs the
// destructor, which runs cleanup (unregisters the consumer, stops the
// thread) and then joins the thread. The thread holds no reference.

#include "rs/deployment/installer/IDeployResources.h"
#include "rs/deployment/installer/IDeploymentService.h"
#include "rs/deployment/installer/IHostDeployer.h"
#include "rs/deployment/installer/RsResAlloc.h"

#include "common/Referable.h"

#include <ace/Auto_Event.h>
#include <ace/Task.h>
#include <ace/Time_Value.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>

namespace rs {

// The deadline of the tick after the one due at `previous`: a tick later, so
// that the time the steps take does not push every later tick back (a
// thousand hosts are a quarter of a thousand ticks); after a step that
// overran a whole tick, a tick from `now`.
ACE_Time_Value nextTickAfter(
    const ACE_Time_Value& previous, const ACE_Time_Value& now, const ACE_Time_Value& tick);

class PackageInstaller : public kav::Referable, public ACE_Task<ACE_MT_SYNCH>, public IHostDeployer {
public:
    static constexpr int kMaxActiveHosts = 4;
    static constexpr std::chrono::milliseconds kTick { 1000 };
    static constexpr std::chrono::milliseconds kStopWait { 15000 };

    // `tick` and `stopWait` are shortened by tests only.
    PackageInstaller(IDeploymentService& service, IDeployResources& resources,
        std::chrono::milliseconds tick = kTick, std::chrono::milliseconds stopWait = kStopWait);

    // Registers the run with the resource manager, enters its hosts and starts the thread.
    void init(const DeploymentRequest& request);
    // Stops the run. False when the thread did not end within stopWait.
    bool cleanup();

    int open(void* args = nullptr) override;
    int close(u_long flags = 0) override;
    int svc() override;

    void deployNextHost(const ResourceHandle& resource) override;

    bool isInstall() const { return !request().uninstall; }
    bool isActive() const { return active_.load(); }
    const std::string& packageName() const { return request().package; }
    const DeploymentRequest& request() const { return resAlloc_.request(); }
    RsResAlloc& resAlloc() { return resAlloc_; }

    // The package's hosts in WAITING or DOWNLOADING.
    int getActiveHosts();
    // Gives back the resources of every host of the package in `state`.
    void releaseResources(uint32_t state);

protected:
    ~PackageInstaller() override;

private:
    void startHost(const ResourceHandle& resource);

    IDeploymentService& service_;
    RsResAlloc resAlloc_;
    std::chrono::milliseconds tick_;
    std::chrono::milliseconds stopWait_;
    std::atomic<bool> active_ { false };
    std::atomic<bool> threadStarted_ { false };
    std::recursive_mutex deployMutex_;
    ACE_Auto_Event threadExit_;
};

} // namespace rs
