#include "rs/startup/KavGenericDaemon.h"

#include "common/Loggers.h"
#include "rs/events/EventNotification.h"
#include "rs/i18n/ErrorLine.h"
#include "rs/i18n/NarvI18n.h"
#include "rs/resmgr/KavQelUtils.h"
#include "rs/startup/OperatorNotice.h"
#include "rs/startup/VersionBanner.h"

#include <ace/ACE.h>
#include <ace/Init_ACE.h>
#include <ace/Log_Category.h>
#include <ace/Log_Msg.h>

#include <cstdio>
#include <iostream>
#include <memory>
#include <sys/resource.h>
#include <unistd.h>

namespace rs {

namespace {

const log4cxx::LoggerPtr& logger()
{
    return kav::loggers::get(kav::loggers::kDaemon);
}

std::string wordText(const std::optional<std::string>& word)
{
    return word ? *word : "NULL";
}

} // namespace

std::string& processLogPropertyFile()
{
    static std::string file;
    return file;
}

std::string& processDaemonName()
{
    static std::string name;
    return name;
}

KavGenericDaemon::~KavGenericDaemon() = default;

void KavGenericDaemon::closeInheritedHandles()
{
    if (::close_range(3, ~0u, 0) == 0)
        return;
    rlimit limit {};
    rlim_t last = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 ? limit.rlim_cur : 1024;
    for (rlim_t fd = 3; fd < last; ++fd)
        ::close(static_cast<int>(fd));
}

bool KavGenericDaemon::initApp()
{
    processDaemonName() = name_;
    closeInheritedHandles();
    // Blocked before logging starts its watchdog threads so that they inherit it.
    HangUpWatcher::blockHangUp();
    kav::LoggingSetup::Options options;
    options.logPropertyFile = processLogPropertyFile();
    options.daemonName = name_;
    logging_.configure(options);
    if (kav::NarvI18n::instance().init() < 0) {
        std::unique_ptr<kav::KavErrorInfo> error(kav::takeErrorInfo());
        tellOperator("warning",
            "the message catalogue cannot be opened ("
                + (error ? error->getDetail() : std::string("no detail"))
                + "): messages are shown by number only. Install " + kav::NarvI18n::kDataFileName
                + " in share/rs beside the program, or name it with " + kav::NarvI18n::kDataEnvVariable
                + ".");
    }
    logBanner();
    hangUpWatcher_.start([this] { onStopSignal(); });
    if (!initCommunicationLibrary())
        return false;
    if (kav::EventNotification::instance().init("") < 0) {
        std::unique_ptr<kav::KavErrorInfo> error(kav::takeErrorInfo());
        if (error)
            kav::logErrorLine(logger(), log4cxx::Level::getWarn(), *error);
    }
    LOG4CXX_DEBUG(logger(), "Exit KavGenericDaemon::initApp()");
    return true;
}

namespace {

// Every connection is a descriptor, and the driver sizes its reactor by the
// soft limit it finds: lift that to the hard limit before the driver starts.
void raiseDescriptorLimit()
{
    rlimit limit {};
    if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        ::setrlimit(RLIMIT_NOFILE, &limit);
    }
}

} // namespace

bool KavGenericDaemon::initCommunicationLibrary()
{
    ACE::init();
    raiseDescriptorLimit();
    if (startCommunicationLibrary(communicationWords_) != 0) {
        LOG4CXX_ERROR(logger(),
            "KavGenericDaemon::initCommunicationLibrary() failed in zephcomm::init("
                << communicationWords_.threadCount << ", " << wordText(communicationWords_.driverName) << ", "
                << wordText(communicationWords_.driverArgument) << ", "
                << wordText(communicationWords_.driverOptions) << ")");
        return false;
    }
    communicationStarted_ = true;
    ACE_LOG_MSG->priority_mask(LM_SHUTDOWN, ACE_Log_Msg::PROCESS);
    return true;
}

void KavGenericDaemon::onStopSignal()
{
    requestStop();
}

bool KavGenericDaemon::startup()
{
    std::unique_lock lock(stopMutex_);
    stopped_.wait(lock, [this] { return stop_; });
    return true;
}

void KavGenericDaemon::requestStop()
{
    std::lock_guard lock(stopMutex_);
    stop_ = true;
    stopped_.notify_all();
}

void KavGenericDaemon::fini()
{
    kav::EventNotification::instance().fini();
    if (communicationStarted_) {
        stopCommunicationLibrary();
        communicationStarted_ = false;
    }
    hangUpWatcher_.stop();
    kav::NarvI18n::instance().cleanup();
    logging_.shutdown();
    ACE::fini();
}

void KavGenericDaemon::usage(const char*) { }

void KavGenericDaemon::printVersion()
{
    std::cout << versionBanner(KavQelUtils::instance().isGridMode(), true) << std::flush;
}

void KavGenericDaemon::logBanner()
{
    bool grid = KavQelUtils::instance().isGridMode();
    LOG4CXX_DEBUG(logger(),
        std::string(grid ? "Entered QelGenericDaemon::initApp()" : "Entered KavGenericDaemon::initApp()"));
    LOG4CXX_INFO(logger(), versionBanner(grid, false));
}

} // namespace rs
