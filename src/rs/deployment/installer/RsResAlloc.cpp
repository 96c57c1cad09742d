#include "rs/deployment/installer/RsResAlloc.h"

#include "common/Loggers.h"
#include "rs/deployment/installer/DeployTransport.h"
#include "rs/deployment/status/HostStatusTable.h"
#include "rs/i18n/ErrorLine.h"
#include "rs/resmgr/VrmResource.h"

#include "common/KavTraceDebugger.h"
#include "common/ResultCodes.h"

#include <log4cxx/logger.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <memory>

namespace rs {

namespace {

log4cxx::LoggerPtr& logger()
{
    static log4cxx::LoggerPtr log = kav::loggers::get(kav::loggers::kResAlloc);
    return log;
}

// Logs the thread's error information of a failed resource manager call.
void logFailure(const std::string& what)
{
    if (const kav::KavErrorInfo* info = kav::peekErrorInfo())
        kav::logErrorLine(logger(), log4cxx::Level::getError(), *info);
    else
        LOG4CXX_ERROR(logger(), what << " failed");
}

// A name of the run's own on its consumer path, so that runs on one path at
// the same time (two packages of one user) register and clean up apart; the
// number keeps a later run of the package apart from the clean-up of an
// earlier one.
std::string registrationOf(const DeploymentRequest& request)
{
    static std::atomic<uint64_t> runs { 0 };
    return request.consumer + "#" + request.package + "#" + std::to_string(++runs);
}

} // namespace

RsResAlloc::RsResAlloc(IDeploymentService& service, IDeployResources& resources)
    : service_(service)
    , resources_(resources)
{
}

void RsResAlloc::init(IHostDeployer& installer, const DeploymentRequest& request)
{
    kav::KavTraceDebugger trace(logger(), "RSResAlloc::init()");
    installer_ = &installer;
    request_ = request;
    if (request_.consumer.empty())
        request_.consumer = kDefaultConsumer;
    if (request_.resourceGroup.empty())
        request_.resourceGroup = kDefaultResourceGroup;
    registration_ = registrationOf(request_);
    service_.cleanupConsumers();
    registerWithZOR();
}

void RsResAlloc::registerWithZOR()
{
    kav::KavTraceDebugger trace(logger(), "RSResAlloc::registerWithZOR()");
    registered_ = resources_.registerConsumer(registration_, request_.consumer, this) >= 0;
    if (!registered_)
        logFailure("registerConsumer");

    std::vector<std::string> groupHosts;
    if (resources_.getHostGroupInfo(request_.resourceGroup, groupHosts) < 0) {
        logFailure("getHostGroupInfo");
        groupHosts.clear();
    }
    selectTargets(groupHosts);
    enterTargetHosts();

    if (targets_.empty())
        return;
    int count = static_cast<int>(targets_.size());
    if (resources_.getResources(registration_, 1, count, request_.resourceGroup, "any") < 0) {
        logFailure("getResources");
        if (registered_ && !unregisterWithZOR())
            service_.addConsumerForCleanup(registration_);
    }
}

void RsResAlloc::selectTargets(const std::vector<std::string>& groupHosts)
{
    if (request_.host.empty()) {
        targets_ = groupHosts;
        return;
    }
    targets_.clear();
    for (const auto& host : groupHosts) {
        if (service_.compareHostName(host, request_.host)) {
            targets_.push_back(host);
            return;
        }
    }
    kav::setError(
        kav::rc::RS_BAD_HOST, "requested host is not in the resource group", KAV_LOCATION, { request_.host });
    logFailure("host selection");
}

void RsResAlloc::enterTargetHosts()
{
    HostStatusTable& table = service_.hostStatusTable();
    uint32_t finalOfOtherRun = request_.uninstall ? HOST_INSTALLED : HOST_UNINSTALLED;
    table.changeTogether(request_.package, [&] {
        for (const auto& host : targets_) {
            table.resetCancelErrorStatus(request_.package, host);
            table.resetStatus(request_.package, host, finalOfOtherRun);
            table.createHMElement(request_.package, host, request_.user, {}, request_.uninstall);
        }
    });
}

bool RsResAlloc::unregisterWithZOR()
{
    kav::KavTraceDebugger trace(logger(), "RSResAlloc::unregisterWithZOR()");
    registered_ = false;
    if (resources_.unregisterConsumer(registration_) >= 0)
        return true;
    logFailure("unregisterConsumer");
    return false;
}

void RsResAlloc::cleanup()
{
    kav::KavTraceDebugger trace(logger(), "RSResAlloc::cleanup()");
    // A registration that is gone (never made, or undone when the resource
    // request failed) is not unregistered again, and only one whose
    // unregistration failed is left to the service's consumer clean-up:
    // unregistering a consumer twice is an error of the resource manager.
    if (registered_ && !unregisterWithZOR())
        service_.addConsumerForCleanup(registration_);
}

int RsResAlloc::onResource(const ResourceHandle& resource)
{
    kav::KavTraceDebugger trace(logger(), "RSResAlloc::onResource()");
    std::string host = resource.hostName();
    std::string hostType = resource.hostType();
    if (!isHostInResourceGroup(host) || !firstGrantOf(host)) {
        // Not wanted here, but the allocation still owes the other targets a host.
        LOG4CXX_INFO(logger(), "Releasing resource for host: " << host);
        return replaceResource(resource);
    }
    if (!isPackageAvailable(hostType)) {
        LOG4CXX_INFO(logger(), "Releasing resource for host: " << host);
        kav::KavErrorInfo noPackage(kav::rc::RS_NO_PACKAGE_FOR_TYPE, KAV_LOCATION, "RSResAlloc::onResource",
            "no package stored for the host type", { request_.package, host, hostType });
        service_.hostStatusTable().updateHMStatus(
            request_.package, host, request_.user, HOST_ERROR, &noPackage, request_.uninstall);
        return onReleaseResources(resource);
    }
    LOG4CXX_INFO(logger(), "Deploying resource for host: " << host);
    installer_->deployNextHost(resource);
    return 0;
}

bool RsResAlloc::firstGrantOf(const std::string& host)
{
    std::lock_guard lock(mutex_);
    return grantedHosts_.insert(host).second;
}

int RsResAlloc::onReleaseResources(const ResourceHandle& resource)
{
    int result = resources_.release(resource);
    if (result < 0)
        logFailure("release");
    return result;
}

int RsResAlloc::replaceResource(const ResourceHandle& resource)
{
    int result = resources_.replace(resource);
    if (result < 0)
        logFailure("replace");
    return result;
}

ResourceHandle RsResAlloc::handleOf(resmgr::VrmResource* resource)
{
    if (!resource)
        return {};
    return ResourceHandle(kav::RefPtr<kav::Referable>(resource), resource->name(), resource->osType());
}

int32_t RsResAlloc::onResource(resmgr::VrmResource* resource)
{
    return onResource(handleOf(resource));
}

int32_t RsResAlloc::startContainer(resmgr::VrmResource* resource)
{
    return startContainer(handleOf(resource));
}

int32_t RsResAlloc::onReleaseResources(resmgr::VrmResource* resource)
{
    return onReleaseResources(handleOf(resource));
}

// A reclaimed host is handled by the resource manager client.
int32_t RsResAlloc::onReclaimResource(resmgr::VrmResource*)
{
    kav::KavTraceDebugger trace(logger(), "RSResAlloc::onReclaimResource()");
    return 0;
}

int32_t RsResAlloc::onReclaimForce(const std::string&)
{
    kav::KavTraceDebugger trace(logger(), "RSResAlloc::onReclaimForce()");
    return 0;
}

bool RsResAlloc::isHostInResourceGroup(const std::string& host)
{
    return std::any_of(targets_.begin(), targets_.end(),
        [&](const std::string& target) { return service_.compareHostName(target, host); });
}

bool RsResAlloc::isPackageAvailable(const std::string& hostType)
{
    if (request_.uninstall)
        return true;
    std::lock_guard lock(mutex_);
    if (std::find(foundTypes_.begin(), foundTypes_.end(), hostType) != foundTypes_.end())
        return true;
    if (!packageStored(hostType))
        return false;
    foundTypes_.push_back(hostType);
    return true;
}

bool RsResAlloc::packageStored(const std::string& hostType) const
{
    std::string base = service_.storageDir() + "/.global/" + request_.package;
    std::error_code ignored;
    return std::filesystem::exists(base + ".type_" + hostType, ignored)
        || std::filesystem::exists(base, ignored);
}

std::string RsResAlloc::createZorCmd(const std::string& hostType, const std::string& host) const
{
    std::string command
        = "${QEL_BINDIR}/rsdeploy download " + request_.package + " -r " + hostType + " -t " + host;
    if (request_.uninstall)
        command += " -d ";
    return command;
}

std::vector<std::string> RsResAlloc::containerEnvironment()
{
    std::vector<std::string> environment {
        "QEL_TOP=${QEL_TOP}",
        "NARV_HOME=${QEL_TOP}/narv",
        "QEL_BINDIR=${QEL_BINDIR}",
        "QEL_LIBDIR=${QEL_LIBDIR}",
        "QEL_SERVERDIR=${QEL_SERVERDIR}",
        "QEL_LOCAL_CONFDIR=${QEL_LOCAL_CONFDIR}",
    };
    // The deploy command connects back over the daemon's own transport.
    std::vector<std::string> transport = DeployTransport::fromProcess();
    environment.insert(environment.end(), transport.begin(), transport.end());
    return environment;
}

int RsResAlloc::startContainer(const ResourceHandle& resource)
{
    kav::KavTraceDebugger trace(logger(), "RSResAlloc::startContainer()");
    std::string host = resource.hostName();
    std::string hostType = resource.hostType();
    std::string command = createZorCmd(hostType, host);
    LOG4CXX_INFO(logger(), "Starting: " << command << " on host: " << host << " type: " << hostType);
    int result = resources_.provisionAs(resource, command, containerEnvironment(), "", kWorkDir);
    if (result < 0)
        logFailure("provisionAs");
    return result;
}

} // namespace rs
