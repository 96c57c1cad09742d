#include "rs/startup/Daemon.h"

#include "common/Loggers.h"
#include "common/ResultCodes.h"
#include "interfaces/rpc/RpcSupport.h"
#include "rs/core/RepositoryServerManager.h"
#include "rs/core/RepositoryService.h"
#include "rs/deployment/operations/AppDeploymentServer.h"
#include "rs/events/EventNotification.h"
#include "rs/http/CountingResourceManager.h"
#include "rs/http/HttpServer.h"
#include "rs/http/ServiceStatus.h"
#include "rs/i18n/ErrorLine.h"
#include "rs/logging/AuditLog.h"
#include "rs/logging/CatalogueText.h"
#include "rs/logging/ConfParam.h"
#include "rs/logging/ProcessProperties.h"
#include "rs/repository/IndexCache.h"
#include "rs/repository/KavCacheFile.h"
#include "rs/repository/dplfileutils.h"
#include "rs/repository/operations/ModuleListCache.h"
#include "rs/repository/operations/RepositoryServer.h"
#include "rs/repository/recovery/RepositoryRecovery.h"
#include "rs/resmgr/KavQelUtils.h"
#include "rs/startup/ConfigurationCheck.h"
#include "rs/startup/DaemonContext.h"
#include "rs/startup/OperatorNotice.h"
#include "rs/startup/ResourceManagerBinding.h"
#include "rs/startup/VersionBanner.h"
#include "zephcomm/router/DriverLoader.h"
#include "zephcomm/wire/LargeBuffers.h"

#include <ace/UUID.h>
#include <systemd/sd-daemon.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <iostream>
#include <malloc.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace rs {

namespace {

// The parsed indexes and the list records built from them each get a share
// of the configured cache size (the file cache keeps the whole of it), so
// that what the repository keeps in memory follows that one setting. A
// value the file cache ignores leaves the shares of the default size.
void shareRepositoryCacheSize(int megabytes)
{
    if (megabytes <= 0 || megabytes > kav::KavFileCache::kMaxCacheSizeMb)
        return;
    const size_t share = (static_cast<size_t>(megabytes) << 20) / kav::IndexCache::kShareDivisor;
    kav::IndexCache::instance().setCapacity(share);
    rs::modules::ModuleListCache::instance().setCapacity(share);
}

// The parsed indexes and the list records go after the file cache's time-out
// too, so that an idle daemon holds none of them; their heap goes back at once.
void forgetUnusedIndexes(int timeoutSeconds)
{
    const auto since = std::chrono::steady_clock::now() - std::chrono::seconds(timeoutSeconds);
    const bool indexes = kav::IndexCache::instance().forgetUnusedSince(since);
    const bool lists = rs::modules::ModuleListCache::instance().forgetUnusedSince(since);
    if (indexes || lists)
        ::malloc_trim(0);
}

constexpr const char* kDeployClientName = "RSDEPLOY";
constexpr const char* kServiceUrlName = "RS_DEPLOY";
// How long after the last large transfer its buffers go back to the system.
constexpr std::chrono::seconds kLargeBuffersQuiet(3);
constexpr const char* kBadPortText
    = "Invalid value specified for RS port. Port must be a number in the range of 1 - 65535.";

const log4cxx::LoggerPtr& logger()
{
    return kav::loggers::get(kav::loggers::kDaemon);
}

std::string processUserName()
{
    if (const passwd* entry = ::getpwuid(::geteuid()))
        return entry->pw_name;
    return std::to_string(::geteuid());
}

std::string currentDirectory()
{
    char buffer[512];
    return ::getcwd(buffer, sizeof buffer) ? std::string(buffer) : std::string();
}

void raiseEvent(int32_t code, const std::string& s1, const std::string& s2, const std::string& s3)
{
    kav::EventNotification::instance().triggerEventInterface(code, s1, s2, s3, "", "");
    kav::clearErrorInfo(); // an event that cannot be raised must not hide the failure
}

} // namespace

Daemon::Daemon()
    : KavGenericDaemon("rs")
{
}

Daemon::~Daemon() = default;

bool Daemon::parseArgs(int argc, char* argv[])
{
    environmentWarnings_ = readEnvironment(config_, processEnvironment());
    const OptionsResult options = parseOptions(config_, argc, argv);
    switch (options.outcome) {
    case OptionsOutcome::ShowVersion:
        printVersion();
        std::exit(0);
    case OptionsOutcome::ShowHelp:
        std::cout << helpText(name()) << std::flush;
        std::exit(0);
    case OptionsOutcome::ShowUsage:
        std::cerr << name() << ": " << options.problem << std::endl;
        std::cout << usageLine(argv[0]) << std::flush;
        std::exit(0);
    case OptionsOutcome::Check:
        std::exit(runConfigurationCheck(config_, environmentWarnings_));
    case OptionsOutcome::Run:
        break;
    }
    if (!config_.logPropertyFile.empty())
        processLogPropertyFile() = config_.logPropertyFile;
    return true;
}

void Daemon::checkAndSetDefault()
{
    config_.logPropertyFile = processLogPropertyFile();
    DefaultSources sources { KavQelUtils::instance().isGridMode(), currentDirectory() };
    std::string logDir = applyDirectoryDefaults(config_, processEnvironment(), sources);
    if (!logDir.empty() && ::access(logDir.c_str(), F_OK) != 0)
        rsmanagerutils::assertPath(logDir); // a log directory that cannot be made only loses the file log
    processLogPropertyFile() = config_.logPropertyFile;
}

bool Daemon::initApp()
{
    int32_t result = KAV_GUARDED([this] {
        ACE_Utils::UUID_GENERATOR::instance()->init();
        checkAndSetDefault();
        KavGenericDaemon::initApp();
        LOG4CXX_DEBUG(logger(), "Deamon::initApp(): Starting Repository Service...");
        for (const auto& warning : environmentWarnings_)
            warnOperator(warning);
        checkConfiguration();
        checkResourceManagerConfiguration();
        shutdownEvent_ = std::make_unique<ACE_Auto_Event>();
        initService();
        kav::KavFileCache::instance()->setCacheSize(config_.cacheSize);
        shareRepositoryCacheSize(config_.cacheSize);
        kav::KavFileCache::instance()->setCacheTimeout(config_.cacheTimeout);
        if (config_.auditLog)
            initAuditLog();
        return 0;
    });
    if (result < 0)
        reportFailure(result);
    return true;
}

void Daemon::checkResourceManagerConfiguration()
{
    const EnvLookup env = processEnvironment();
    if (auto notice = missingClusterFileProblem(env))
        warnOperator(*notice);
    if (auto problem = clusterDescriptionProblem(env))
        KAV_THROW(kav::rc::ZOR_CALL_FAILED, *problem);
    if (auto problem = passwordFileProblem())
        warnOperator(*problem);
}

void Daemon::initAuditLog()
{
    auto sources = kav::audit::DirectorySources::collect(
        kav::resourceManagerConfParams(), KavQelUtils::instance().isGridMode());
    std::string why;
    if (!kav::audit::init(sources, &why))
        warnOperator(why);
}

void Daemon::initService()
{
    auto& service = RepositoryService::instance();
    resourceManager_ = makeResourceManagerAccess();
    prepareSideDoor();
    service.setResourceManager(resourceManager_.get());
    context_ = std::make_unique<DaemonContext>(service);
    service.setListenerFactory([this](const ListenerSettings& settings) {
        return makeAcceptorListener(settings, *context_,
            { { "IRepository", &RepositoryServer::serve },
                { "IAppDeployment", &AppDeploymentServer::serve } });
    });
    service.setShutdownEvent(shutdownEvent_.get());
    service.init(config_.port, config_.hostTimeout, kWorkerThreads);
    initResourceManager(kDeployClientName);
}

void Daemon::checkConfiguration()
{
    checkPort();
    checkStorageDir();
    RepositoryService::instance().setStorageDir(config_.storageDir);
    kav::RepositoryRecovery(config_.storageDir).run(); // undoes what a crash interrupted, before serving
}

void Daemon::checkPort()
{
    std::string why = kBadPortText;
    if (parsePort(config_.portText, config_.port)) {
        // Found now rather than when the listener opens, so that the reason is the system's.
        auto busy = portProblem(config_.port);
        if (!busy)
            return;
        why = *busy + ".";
    }
    std::string host = kav::localHostName();
    raiseEvent(kav::EventNotification::EVENT_NARV_RS_EXIT_PORT, config_.portText, host, why);
    KAV_THROW(kav::rc::BAD_PORT, why, { config_.portText, host, why });
}

void Daemon::checkStorageDir()
{
    const std::string& dir = config_.storageDir;
    std::string why = "no storage directory is set";
    if (!dir.empty()) {
        rsmanagerutils::assertPath(dir);
        auto problem = storageDirectoryProblem(dir);
        if (!problem)
            return;
        why = *problem;
    }
    std::string host = kav::localHostName();
    std::string user = processUserName();
    raiseEvent(kav::EventNotification::EVENT_NARV_RS_EXIT_STORAGE_DIR, dir, host, user);
    KAV_THROW(kav::rc::BAD_STORAGE_DIR, why, { dir, host, user });
}

bool Daemon::startup()
{
    LOG4CXX_DEBUG(logger(), "Entered Deamon::startup()");
    int32_t result = KAV_GUARDED([this] {
        RepositoryService::instance().startUp();
        zephcomm::wire::LargeBuffers::allocator().releaseWhenIdle(kLargeBuffersQuiet);
        registerServiceAddress();
        startSideDoor();
        raiseEvent(kav::EventNotification::EVENT_NARV_RS_STARTED, kav::localHostName(), config_.portText, "");
        std::cerr << kav::logText(kav::msg::STARTED) << std::endl;
        ::sd_notify(0, "READY=1"); // for a unit of Type=notify; nothing without systemd
        runLoop();
        ::sd_notify(0, "STOPPING=1");
        return 0;
    });
    if (result < 0)
        reportFailure(result);
    LOG4CXX_DEBUG(logger(), "Exit Deamon::startup()");
    return true;
}

void Daemon::registerServiceAddress()
{
    registerServiceUrl(kServiceUrlName, kav::localHostName() + ":" + config_.portText);
}

void Daemon::prepareSideDoor()
{
    http::SideDoorChoice choice = http::chooseSideDoor(kav::resourceManagerConfParams());
    if (!choice.problem.empty())
        warnOperator(choice.problem);
    if (!choice.settings)
        return;
    sideDoorSettings_ = std::move(choice.settings);
    counters_ = std::make_unique<kav::ServiceCounters>();
    zephcomm::DriverLoader::instance().setCounters(counters_.get());
    RepositoryService::instance().task().setCounters(counters_.get());
    kav::KavFileCache::instance()->setCounters(counters_.get());
    rpc::ResponseClient::countAnswersIn(&counters_->answers);
    resourceManager_
        = std::make_unique<http::CountingResourceManager>(std::move(resourceManager_), *counters_);
}

void Daemon::startSideDoor()
{
    if (!sideDoorSettings_)
        return;
    status_ = std::make_unique<http::ServiceStatus>(*context_, *resourceManager_, *counters_,
        [] { return RepositoryService::instance().task().queuedItems(); });
    sideDoor_ = std::make_unique<http::HttpServer>(*sideDoorSettings_, *status_);
    std::string why;
    if (!sideDoor_->start(why)) {
        sideDoor_.reset();
        warnOperator(why + ": the HTTP side door stays shut");
        return;
    }
    const std::string scheme = sideDoorSettings_->loopback ? "http" : "https";
    LOG4CXX_INFO(logger(),
        "The HTTP side door serves " << scheme << "://" << sideDoorSettings_->host << ":"
                                     << sideDoorSettings_->port << "/");
}

void Daemon::stopSideDoor()
{
    if (sideDoor_)
        sideDoor_->stop();
    sideDoor_.reset();
    status_.reset();
}

void Daemon::runLoop()
{
    for (;;) {
        ACE_Time_Value wait(kHousekeepingSeconds);
        if (shutdownEvent_->wait(&wait, 0) == 0) {
            RepositoryService::instance().setShutdownEvent(nullptr);
            return;
        }
        kav::KavFileCache::instance()->cleanupCache();
        forgetUnusedIndexes(kav::KavFileCache::instance()->timeout());
        RepositoryService::instance().cleanupPackageInstallers();
    }
}

void Daemon::onStopSignal()
{
    RepositoryService::instance().signalShutdown();
}

void Daemon::reportFailure(int32_t code)
{
    std::unique_ptr<kav::KavErrorInfo> error(kav::takeErrorInfo());
    if (!error)
        error = std::make_unique<kav::KavErrorInfo>(code, KAV_LOCATION, "", "");
    kav::logErrorLine(logger(), log4cxx::Level::getError(), *error);
    const std::string text = kav::logText(kav::rc::messageNumber(code), error->getParams());
    std::cerr << kav::logText(kav::msg::START_FAILED) << "\n" << text << "\n";
    // The detail is the reason in the operator's terms (file and line of a
    // cluster description, the system's text) unless the text says it already.
    if (!error->getDetail().empty() && text.find(error->getDetail()) == std::string::npos)
        std::cerr << name() << ": " << error->getDetail() << "\n";
    std::cerr << std::flush;
    kav::rethrowError(std::move(error));
}

void Daemon::fini()
{
    stopSideDoor();
    shutdownEvent_.reset();
    RepositoryService::instance().setShutdownEvent(nullptr);
    cleanupResourceManager();
    RepositoryService::instance().shutdown();
    KavGenericDaemon::fini();
}

void Daemon::printVersion()
{
    KavGenericDaemon::printVersion();
}

void Daemon::logBanner()
{
    KavGenericDaemon::logBanner();
}

} // namespace rs
