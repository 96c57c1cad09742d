#pragma once
// Test support for the embedded cluster: a scratch directory with a cluster
// file and state directory, made current through ZOR_CLUSTER_FILE, and a
// recorder of library callbacks that tests wait on (never sleep on).

#include "platform/zor/EmbeddedCluster.h"
#include "platform/zor/zor.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace zortest {

inline constexpr std::chrono::seconds kWait { 20 };

class ScratchCluster {
public:
    ScratchCluster()
    {
        char pattern[] = "/tmp/zortest.XXXXXX";
        dir_ = mkdtemp(pattern);
    }
    ~ScratchCluster()
    {
        unsetenv("ZOR_CLUSTER_FILE");
        zor::EmbeddedCluster::instance().reload();
        std::error_code ec;
        std::filesystem::remove_all(dir_, ec);
    }
    const std::string& dir() const { return dir_; }
    std::string stateDir() const { return dir_ + "/state"; }

    // Writes the file (state_dir first) and makes the library read it.
    void use(const std::string& body)
    {
        std::string file = dir_ + "/cluster.toml";
        std::ofstream(file) << "[cluster]\nstate_dir = \"" << stateDir() << "\"\n" << body;
        setenv("ZOR_CLUSTER_FILE", file.c_str(), 1);
        zor::EmbeddedCluster::instance().reload();
    }
    // Writes the text as it is (for malformed files).
    std::string useRaw(const std::string& text)
    {
        std::string file = dir_ + "/bad.toml";
        std::ofstream(file) << text;
        setenv("ZOR_CLUSTER_FILE", file.c_str(), 1);
        zor::EmbeddedCluster::instance().reload();
        return file;
    }

private:
    std::string dir_;
};

// Three linux hosts in "G3", one aix host; used by most tests.
inline const char* kThreeHosts = R"(
[params]
QEL_EVENT_MASK = "7"
[[hosts]]
name = "hostb"
type = "linux"
cpuf = 2.5
[[hosts]]
name = "hosta"
type = "linux"
[[hosts]]
name = "hostc"
type = "linux"
slots = 2
[[hosts]]
name = "aix1"
type = "aix"
[groups]
G3 = ["hostc", "hosta", "hostb"]
AIX = ["aix1"]
[[consumers]]
path = "/apps/web"
[[consumers]]
path = "/apps/db"
[[roles]]
user = "alice"
consumer = "/apps"
level = 2
[[roles]]
user = "bob"
consumer = "/apps/web"
level = 3
)";

// Waits for a predicate over state guarded by one mutex.
class Waiter {
public:
    template <class F> void update(F&& f)
    {
        // Notifies under the lock: a waiter that wakes may destroy the object.
        std::lock_guard lock(mutex_);
        f();
        cv_.notify_all();
    }
    template <class P> bool waitFor(P&& predicate)
    {
        std::unique_lock lock(mutex_);
        return cv_.wait_for(lock, kWait, predicate);
    }
    std::mutex& mutex() { return mutex_; }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
};

} // namespace zortest
