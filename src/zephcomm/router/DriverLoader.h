#pragma once
// The process's one transport driver: loaded by zephcomm::init with its
// thread count, name, argument and options, kept until zephcomm::fini.
//
// Threads: init and fini run on the main thread; instance(), driver() and
// options() may be called from any thread once init has returned.

#include "zephcomm/router/DriverOptions.h"

#include "common/ServiceCounters.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace zephcommdrv {
class Driver;
class Logger;
} // namespace zephcommdrv

namespace zephcomm {

// Resolves "$NAME" texts: the value of configuration parameter NAME, or none.
using ParameterLookup = std::function<std::optional<std::string>(const std::string& name)>;

struct DriverSettings {
    int threads = 0;
    std::string name; // empty: the default TCP driver
    std::string arg; // may be "$PARAMETER"
    std::string options; // may be "$PARAMETER"
};

class DriverLoader {
public:
    // The loader of the process (created on first use, never deleted).
    static DriverLoader& instance();

    // Loads the driver unless one is loaded. Returns 0 when a driver is
    // loaded, -1 otherwise (the failure is logged and left as the thread's
    // error information).
    int load(const DriverSettings& settings);
    // Stops and destroys the driver; every channel, acceptor and connector
    // must be gone.
    void unload();

    // The loaded driver, or null.
    zephcommdrv::Driver* driver() const;
    // A copy of the parsed options applied to every accepted driver channel.
    DriverOptions options() const;

    // Replaces the configuration parameter look-up (tests).
    void setParameterLookup(ParameterLookup lookup);

    // Where channels created from now on count their bytes and connections
    // (null: nowhere). Set at start-up; the counters outlive every channel.
    void setCounters(kav::ServiceCounters* counters) { counters_.store(counters); }
    kav::ServiceCounters* counters() const { return counters_.load(); }

private:
    DriverLoader();
    int fail(int32_t code, const std::string& detail, int line);
    std::optional<std::string> resolve(const std::string& text, std::string& error) const;

    mutable std::mutex lock_;
    std::unique_ptr<zephcommdrv::Logger> logger_;
    zephcommdrv::Driver* driver_ = nullptr;
    DriverSettings settings_;
    DriverOptions options_;
    ParameterLookup lookup_;
    std::atomic<kav::ServiceCounters*> counters_ { nullptr };
};

// Loads the process's driver (threads < 1: 4; null or empty name: TCP).
// Returns 0 when a driver is loaded, -1 otherwise.
int init(int threads = 0, const char* driverName = nullptr, const char* driverArg = nullptr,
    const char* driverOptions = nullptr);
// Unloads the driver.
void fini();

} // namespace zephcomm
