#include "rs/deployment/installer/PackageInstaller.h"

#include "common/Loggers.h"
#include "rs/deployment/status/HostStatusTable.h"

#include "common/KavTraceDebugger.h"
#include "rs/i18n/ErrorLine.h"

#include <ace/OS_NS_string.h>
#include <ace/OS_NS_sys_time.h>

#include <log4cxx/logger.h>

#include <cerrno>

namespace rs {

namespace {

log4cxx::LoggerPtr& logger()
{
    static log4cxx::LoggerPtr log = kav::loggers::get(kav::loggers::kPackageInstaller);
    return log;
}

ACE_Time_Value asTimeValue(std::chrono::milliseconds span)
{
    ACE_Time_Value value;
    value.msec(static_cast<long>(span.count()));
    return value;
}

ACE_Time_Value deadlineAfter(std::chrono::milliseconds wait)
{
    return ACE_OS::gettimeofday() + asTimeValue(wait);
}

} // namespace

ACE_Time_Value nextTickAfter(
    const ACE_Time_Value& previous, const ACE_Time_Value& now, const ACE_Time_Value& tick)
{
    const ACE_Time_Value next = previous + tick;
    return next > now ? next : now + tick;
}

PackageInstaller::PackageInstaller(IDeploymentService& service, IDeployResources& resources,
    std::chrono::milliseconds tick, std::chrono::milliseconds stopWait)
    : service_(service)
    , resAlloc_(service, resources)
    , tick_(tick)
    , stopWait_(stopWait)
{
}

PackageInstaller::~PackageInstaller()
{
    cleanup();
    if (threadStarted_.exchange(false))
        wait();
}

void PackageInstaller::init(const DeploymentRequest& request)
{
    kav::KavTraceDebugger trace(logger(), "PackageInstaller::init()");
    resAlloc_.init(*this, request);
    open();
    active_ = true;
}

int PackageInstaller::open(void*)
{
    if (activate(THR_NEW_LWP | THR_JOINABLE, 1) == -1) {
        LOG4CXX_ERROR(logger(), "thread start error: " << ACE_OS::strerror(errno));
        return -1;
    }
    threadStarted_ = true;
    return 0;
}

int PackageInstaller::close(u_long)
{
    return 0;
}

int PackageInstaller::svc()
{
    ACE_Time_Value tick = deadlineAfter(tick_);
    for (;;) {
        ACE_Message_Block* message = nullptr;
        ACE_Time_Value deadline = tick;
        if (getq(message, &deadline) == -1) {
            // A failed step is logged; the next tick tries again.
            try {
                deployNextHost({});
            } catch (...) {
                kav::logEscapedException(logger(), __FILE__, __LINE__);
            }
            tick = nextTickAfter(tick, ACE_OS::gettimeofday(), asTimeValue(tick_));
            continue;
        }
        bool stop = message->length() == 0 && message->size() == 0;
        message->release();
        if (stop)
            break;
    }
    threadExit_.signal();
    return 0;
}

bool PackageInstaller::cleanup()
{
    kav::KavTraceDebugger trace(logger(), "PackageInstaller::cleanup()");
    if (active_.exchange(false))
        resAlloc_.cleanup();
    if (!threadStarted_)
        return true;
    auto* stop = new (std::nothrow) ACE_Message_Block(static_cast<size_t>(0));
    if (!stop) {
        LOG4CXX_ERROR(logger(), "Failed to put input message into queue, failed to alloc.");
        return false;
    }
    putq(stop);
    ACE_Time_Value deadline = deadlineAfter(stopWait_);
    bool ended = threadExit_.wait(&deadline) == 0;
    if (ended && threadStarted_.exchange(false))
        wait();
    return ended;
}

void PackageInstaller::deployNextHost(const ResourceHandle& resource)
{
    std::lock_guard lock(deployMutex_);
    HostStatusTable& table = service_.hostStatusTable();
    const DeploymentRequest& run = request();
    if (resource) {
        std::string host = resource.hostName();
        bool allocated = table.createHMElement(run.package, host, run.user, resource, run.uninstall);
        LOG4CXX_DEBUG(logger(), "Allocated host: " << host << "reset state: " << allocated);
    }
    int active = getActiveHosts();
    if (active >= kMaxActiveHosts) {
        LOG4CXX_DEBUG(logger(), "Downloading hosts limited to: " << active);
    } else {
        for (int i = active; i < kMaxActiveHosts; ++i) {
            ResourceHandle next = table.getVRMByStatus(run.package, HOST_ALLOCATED);
            if (!next)
                break;
            startHost(next);
        }
    }
    releaseResources(run.uninstall ? HOST_UNINSTALLED : HOST_INSTALLED);
    releaseResources(HOST_ERROR);
}

void PackageInstaller::startHost(const ResourceHandle& resource)
{
    HostStatusTable& table = service_.hostStatusTable();
    const DeploymentRequest& run = request();
    std::string host = resource.hostName();
    LOG4CXX_INFO(logger(), "Found deployment host: " << host);
    table.updateHMStatus(run.package, host, run.user, HOST_WAITING, nullptr, run.uninstall);
    if (resAlloc_.startContainer(resource) < 0)
        table.updateHMStatus(run.package, host, run.user, HOST_ERROR, kav::peekErrorInfo(), run.uninstall);
}

int PackageInstaller::getActiveHosts()
{
    auto hosts = service_.hostStatusTable().getHMStatus(packageName(), HostStatusTable::kFilterAll);
    int count = 0;
    if (hosts) {
        for (const auto& host : hosts->entries)
            count += host.state == HOST_WAITING || host.state == HOST_DOWNLOADING;
    }
    LOG4CXX_DEBUG(logger(), "Actively downloading hosts: " << count);
    return count;
}

void PackageInstaller::releaseResources(uint32_t state)
{
    HostStatusTable& table = service_.hostStatusTable();
    for (;;) {
        ResourceHandle resource = table.getVRMByStatus(packageName(), state);
        if (!resource || !table.clearVRM(packageName(), resource.hostName()))
            return;
        resAlloc_.onReleaseResources(resource);
    }
}

} // namespace rs
