#pragma once
// Runs the real daemon binary (build/bin/rs) as a child process on an
// ephemeral port with its own storage directory, cluster file and password
// file, waits until it reports that it accepts requests, and stops it. The
// end-to-end tests and the benchmark drive the daemon through it.
//
// Threads: one thread drives it; two reader threads collect the child's
// standard output and standard error.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace rs::harness {

// A temporary directory removed with the object.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

// Accounts of the cluster's password file.
inline constexpr const char* kAdminUser = "admin";
inline constexpr const char* kAdminPassword = "s3cret-Admin";
inline constexpr const char* kServiceUser = "rsservice";
inline constexpr const char* kServicePassword = "svc-Pass-1";
inline constexpr const char* kKnownConsumer = "/apps/web";

// Cluster file, password file and storage directory of one daemon run.
class TestCluster {
public:
    TestCluster();
    const std::filesystem::path& root() const { return dir_.path(); }
    std::filesystem::path storageDir() const { return root() / "store"; }
    std::filesystem::path logFile() const { return root() / "rs.log"; }
    // The environment a daemon of this cluster runs with.
    std::map<std::string, std::string> environment() const;
    // Text of everything the daemon logged so far.
    std::string logText() const;

private:
    TempDir dir_;
};

struct RunOptions {
    std::string program {}; // empty: the daemon binary
    std::vector<std::string> args {}; // after the program name
    std::map<std::string, std::string> env {}; // added to (or replacing) the cluster's
    std::vector<std::string> unsetEnv {}; // removed from it
    std::optional<uid_t> runAsUser {}; // drop to this user (root only)
};

class DaemonProcess {
public:
    DaemonProcess() = default;
    ~DaemonProcess();
    DaemonProcess(const DaemonProcess&) = delete;
    DaemonProcess& operator=(const DaemonProcess&) = delete;

    static std::string binary();
    // A port nothing listens on right now.
    static int freePort();
    // The catalogue text the daemon writes to standard error once it serves.
    static std::string startedText();

    // Starts the binary with exactly the given environment.
    void start(const RunOptions& options, const std::map<std::string, std::string>& environment);
    // Waits until the daemon serves (true) or ended (false).
    bool waitUntilServing(std::chrono::seconds limit = std::chrono::seconds(60));
    // Waits for the exit status; nothing when the limit passed first.
    std::optional<int> waitForExit(std::chrono::seconds limit = std::chrono::seconds(60));
    // Asks the daemon to stop (SIGTERM) and waits for it.
    std::optional<int> stop();
    std::string standardOutput();
    std::string standardError();
    pid_t pid() const { return pid_; }

private:
    void collect(int fd, std::string& into);

    pid_t pid_ = -1;
    std::optional<int> status_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::string out_;
    std::string err_;
    int openStreams_ = 0;
    std::thread outReader_;
    std::thread errReader_;
};

// A daemon of its own cluster, serving on `port`.
struct ServingDaemon {
    TestCluster cluster;
    DaemonProcess process;
    int port = 0;

    // Starts it; false (with the daemon's output in `failure`) when it did not serve.
    bool start(RunOptions options = {});
    std::string failure;
};

} // namespace rs::harness
