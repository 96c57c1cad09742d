#include "rs/logging/LoggingSetup.h"

#include "rs/logging/ProcessProperties.h"

#include <log4cxx/basicconfigurator.h>
#include <log4cxx/consoleappender.h>
#include <log4cxx/helpers/pool.h>
#include <log4cxx/logmanager.h>
#include <log4cxx/patternlayout.h>
#include <log4cxx/propertyconfigurator.h>
#include <log4cxx/rolling/rollingfileappender.h>
#include <log4cxx/xml/domconfigurator.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>

namespace kav {

namespace {

bool exists(const std::string& path)
{
    return !path.empty() && ::access(path.c_str(), F_OK) == 0;
}

// Files created while configuring get no group or other write permission.
class ScopedUmask {
public:
    explicit ScopedUmask(mode_t mask)
        : previous_(::umask(mask))
    {
    }
    ~ScopedUmask() { ::umask(previous_); }

private:
    mode_t previous_;
};

std::string defaultLogFileName(const LogDirectories& dirs, const LoggingSetup::Options& options)
{
    std::string file = dirs.logDir + "/" + options.daemonName + "." + localHostName();
    if (!options.appName.empty())
        file += "." + options.appName + ".";
    return file + ".log";
}

std::string configFileName(const LogDirectories& dirs, const LoggingSetup::Options& options)
{
    if (exists(options.logPropertyFile))
        return options.logPropertyFile;
    return dirs.confDir + "/" + options.daemonName + ".log4j.properties";
}

// Operations log entry and exit at DEBUG: more than an operator wants by default.
void attachToRoot(
    const log4cxx::AppenderPtr& appender, const log4cxx::LevelPtr& level = log4cxx::Level::getInfo())
{
    auto root = log4cxx::Logger::getRootLogger();
    root->addAppender(appender);
    root->setLevel(level);
}

bool configureRollingFile(const std::string& file)
{
    try {
        auto layout = std::make_shared<log4cxx::PatternLayout>(LoggingSetup::defaultPattern());
        auto appender = std::make_shared<log4cxx::rolling::RollingFileAppender>();
        appender->setLayout(layout);
        appender->setFile(file);
        appender->setAppend(true);
        appender->setMaxBackupIndex(10);
        appender->setMaxFileSize("100MB");
        log4cxx::helpers::Pool pool;
        appender->activateOptions(pool);
        attachToRoot(appender);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

} // namespace

LoggingSetup::~LoggingSetup()
{
    watchdogs_.clear();
}

std::string LoggingSetup::defaultPattern()
{
    std::string pattern = kDefaultPattern;
    static const std::string variable = "${log4cxx_pid}";
    pattern.replace(pattern.find(variable), variable.size(), std::to_string(::getpid()));
    return pattern;
}

LoggingSetup::Source LoggingSetup::configure(const Options& options)
{
    return configure(options, LogDirectories::fromEnvironment());
}

LoggingSetup::Source LoggingSetup::configure(const Options& options, const LogDirectories& dirs)
{
    setProcessProperties(options.appName);
    ScopedUmask mask(022);
    defaultLogFile_ = defaultLogFileName(dirs, options);
    configFile_ = configFileName(dirs, options);
    const Source source = applyConfiguration(configFile_);
    startWatchdogs(dirs.confDir, options);
    return source;
}

LoggingSetup::Source LoggingSetup::applyConfiguration(const std::string& configFile)
{
    if (exists(configFile + ".xml")) {
        log4cxx::xml::DOMConfigurator::configure(configFile + ".xml");
        return Source::Xml;
    }
    if (exists(configFile)) {
        log4cxx::PropertyConfigurator::configure(log4cxx::File(configFile));
        return Source::Properties;
    }
    if (standardErrorIsJournal(std::getenv("JOURNAL_STREAM"))
        && configureStandardError(kJournalPattern, log4cxx::Level::getInfo()))
        return Source::DefaultJournal;
    if (configureRollingFile(defaultLogFile_))
        return Source::DefaultRollingFile;
    log4cxx::BasicConfigurator::configure();
    return Source::Basic;
}

bool LoggingSetup::configureStandardError(const std::string& pattern, const log4cxx::LevelPtr& level)
{
    try {
        auto layout = std::make_shared<log4cxx::PatternLayout>(pattern);
        auto appender
            = std::make_shared<log4cxx::ConsoleAppender>(layout, log4cxx::ConsoleAppender::getSystemErr());
        log4cxx::helpers::Pool pool;
        appender->activateOptions(pool);
        attachToRoot(appender, level);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}

bool LoggingSetup::standardErrorIsJournal(const char* journalStream)
{
    struct stat info { };
    if (!journalStream || ::fstat(STDERR_FILENO, &info) != 0)
        return false;
    unsigned long long device = 0, inode = 0;
    return std::sscanf(journalStream, "%llu:%llu", &device, &inode) == 2 && device == info.st_dev
        && inode == info.st_ino;
}

void LoggingSetup::startWatchdogs(const std::string& confDir, const Options& options)
{
    const std::string base = confDir + "//log4j.properties." + std::to_string(::getpid());
    for (const auto& file : { base + ".xml", base }) {
        auto watchdog
            = std::make_unique<KavPropertyWatchdog>(file, options.watchDelay, options.onReconfigured);
        watchdog->start();
        watchdogs_.push_back(std::move(watchdog));
    }
}

std::vector<std::string> LoggingSetup::watchedFiles() const
{
    std::vector<std::string> files;
    for (const auto& watchdog : watchdogs_)
        files.push_back(watchdog->path());
    return files;
}

void LoggingSetup::shutdown()
{
    watchdogs_.clear();
    log4cxx::LogManager::shutdown();
}

} // namespace kav
