#pragma once
// Watches one logging configuration file and reconfigures log4cxx from it
// whenever it appears or changes: with the XML configurator when its name
// ends in ".xml", with the property configurator otherwise.
//
// Threads: constructed and destroyed on the main thread; the checks and the
// reconfiguration run on log4cxx's watchdog thread (log4cxx's own locking
// makes reconfiguration safe for threads that log). The destructor stops and
// joins that thread. The optional observer runs on the watchdog thread after
// each reconfiguration.

#include <log4cxx/helpers/filewatchdog.h>

#include <chrono>
#include <functional>
#include <string>

namespace kav {

class KavPropertyWatchdog final : public log4cxx::helpers::FileWatchdog {
public:
    using Observer = std::function<void(const std::string& file)>;

    KavPropertyWatchdog(const std::string& file, std::chrono::milliseconds delay, Observer observer = {});
    KavPropertyWatchdog(const KavPropertyWatchdog&) = delete;
    KavPropertyWatchdog& operator=(const KavPropertyWatchdog&) = delete;

    const std::string& path() const { return path_; }

protected:
    void doOnChange() override;

private:
    std::string path_;
    Observer observer_;
};

} // namespace kav
