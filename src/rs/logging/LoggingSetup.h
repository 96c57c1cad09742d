#pragma once
// Configures log4cxx for a daemon: process properties, then the XML or
// property configuration file when one exists, else a set-up of our own at
// INFO: standard error when it is the systemd journal, a rolling log file
// otherwise; then two watchdogs on the per-process override files
// confDir + "//log4j.properties." + pid (+ ".xml").
//
// Threads: configure() and shutdown() run on the main thread before other
// threads start and after they stopped. The watchdogs live on their own
// threads until shutdown() or destruction.

#include "rs/logging/KavPropertyWatchdog.h"
#include "rs/logging/LogDirectories.h"

#include <log4cxx/level.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

namespace kav {

class LoggingSetup {
public:
    static constexpr std::chrono::milliseconds kWatchDelay { 10000 };
    // Date, time with milliseconds and zone. log4cxx's strftime form has no
    // milliseconds (a "%Q" in it stays literal), so the date uses its own form.
    static constexpr const char* kDefaultPattern
        = "%d{yyyy-MM-dd HH:mm:ss.SSS z} %p [${log4cxx_pid}:%t] %c - %m%n";
    // The journal stamps time and process itself.
    static constexpr const char* kJournalPattern = "%p [%t] %c - %m%n";

    struct Options {
        std::string logPropertyFile; // may be empty
        std::string daemonName = "rs";
        std::string appName; // empty for this daemon
        std::chrono::milliseconds watchDelay = kWatchDelay;
        KavPropertyWatchdog::Observer onReconfigured; // tests observe the watchdogs through it
    };

    enum class Source { Xml, Properties, DefaultJournal, DefaultRollingFile, Basic };

    // A command's logging: standard error with the pattern, from the level
    // up (the tools, whose output their caller keeps).
    static bool configureStandardError(const std::string& pattern, const log4cxx::LevelPtr& level);

    // Whether standard error is the journal stream systemd announced in
    // JOURNAL_STREAM ("device:inode"); a redirected stderr is not.
    static bool standardErrorIsJournal(const char* journalStream);

    LoggingSetup() = default;
    ~LoggingSetup();
    LoggingSetup(const LoggingSetup&) = delete;
    LoggingSetup& operator=(const LoggingSetup&) = delete;

    // Configures from the process environment's directories.
    Source configure(const Options& options);
    // Same, with the directories given.
    Source configure(const Options& options, const LogDirectories& dirs);

    // Stops the watchdogs and shuts log4cxx down.
    void shutdown();

    const std::string& defaultLogFile() const { return defaultLogFile_; }
    const std::string& configFile() const { return configFile_; }
    std::vector<std::string> watchedFiles() const;

    // The default pattern with the process id in place of ${log4cxx_pid}.
    static std::string defaultPattern();

private:
    Source applyConfiguration(const std::string& configFile);
    void startWatchdogs(const std::string& confDir, const Options& options);

    std::string defaultLogFile_;
    std::string configFile_;
    std::vector<std::unique_ptr<KavPropertyWatchdog>> watchdogs_;
};

} // namespace kav
